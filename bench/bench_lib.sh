# Shared by the benchmark scripts: sourced, not run.

# Writes the configuration of a throwaway vsftpd for a benchmark to FILE:
# listening on 127.0.0.1:PORT in the foreground, the test account that
# scripts/setup makes (ftpupload-test, its own PAM service) chrooted to ROOT
# with write access, EMPTY as its secure chroot, passive ports 40000-59999,
# active mode allowed, no anonymous login, no syslog. Every further argument
# is one more "key=value" line (logging, TLS).
write_vsftpd_conf() {  # file, port, root, empty, extra lines...
  local file=$1 port=$2 root=$3 empty=$4
  shift 4
  {
    cat <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$root
chroot_local_user=YES
allow_writeable_chroot=YES
pam_service_name=ftpupload-test
userlist_enable=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=$empty
pasv_enable=YES
pasv_min_port=40000
pasv_max_port=59999
port_enable=YES
connect_from_port_20=NO
anonymous_enable=NO
syslog_enable=NO
CONF
    if [ $# -gt 0 ]; then printf '%s\n' "$@"; fi
  } >"$file"
}

# Makes a throwaway CA (DIR/ca.pem) and a certificate for 127.0.0.1 signed by
# it (DIR/server.pem, key DIR/server.key), EC keys, valid for a day.
make_bench_certificates() {  # dir, CA name
  local dir=$1 ca_name=$2
  local key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  openssl req -x509 "${key[@]}" -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 1 \
    -subj "/CN=$ca_name" 2>/dev/null
  openssl req -new "${key[@]}" -keyout "$dir/server.key" -out "$dir/server.csr" \
    -subj /CN=127.0.0.1 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 1 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
}

# Makes the benchmark's work folder in memory (/dev/shm, or BENCH_TMP) when
# it has NEED_KB free, else in /tmp, as the global `work`; on exit the
# throwaway vsftpd ($vsftpd_pid, when one was started) is stopped and the
# folder removed.
make_bench_work() {  # name prefix, need_kb
  local base=${BENCH_TMP:-/dev/shm}
  if [ ! -w "$base" ] || [ "$(df -Pk "$base" | awk 'NR == 2 { print $4 }')" -lt "$2" ]; then
    base=/tmp
  fi
  work=$(mktemp -d "$base/$1.XXXXXX")
  vsftpd_pid=""
  trap bench_cleanup EXIT
  chmod 755 "$work"
}
bench_cleanup() {
  if [ -n "$vsftpd_pid" ]; then kill "$vsftpd_pid" 2>/dev/null || true; wait "$vsftpd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}

# A free TCP port on 127.0.0.1.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts vsftpd with CONF as $vsftpd_pid and waits up to 5 s for PORT;
# false when it does not answer.
start_bench_vsftpd() {  # conf, port
  vsftpd "$1" &
  vsftpd_pid=$!
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}
