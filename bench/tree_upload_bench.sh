#!/usr/bin/env bash
# Folder upload: ftpupload /recursive next to lftp (mirror -R) and ncftpput
# (-R), against vsftpd and pyftpdlib, each reached (a) directly on loopback
# and (b) through bench/delay_proxy, which holds every byte DELAY_MS (default
# 10) in each direction, so that a round trip costs 20 ms as it would to a
# distant server. Then over FTPS, directly only (the proxy cannot read an
# encrypted PASV reply), ftpupload /tls next to lftp with ftp:ssl-force and
# ftp:ssl-protect-data (ncftpput has no TLS): vsftpd (require_ssl_reuse;
# "vsftpd-tls"), pyftpdlib's TLS handler ("pyftpdlib-tls"), and the servers
# shared hosts run, from the packages scripts/setup unpacks into
# build/ftp-daemons: ProFTPD with mod_tls's defaults (TLS 1.3, data
# connections must resume the control connection's session; "proftpd-tls")
# and Pure-FTPd with -Y 2 ("pureftpd-tls"); each with a certificate from a CA
# made here. Their users
# have quick crypt(3) password hashes (a host's Pure-FTPd hashes with argon2id:
# seconds a login).
#
#   bench/tree_upload_bench.sh
#
# Sync (MODES holds "sync"): ftpupload /recursive /sync /parallel:4 next to
# lftp mirror -R --only-newer -P 4, four steps on one target: a fresh upload,
# a re-sync after touching 20 files (their time changes, not their content),
# a re-sync with nothing changed, and a re-sync of a fresh checkout (the site
# copied with cp -r: every time new, the same bytes, as a CI job sees it).
# Each tool works on its own copy of the site; STOR commands are counted in
# the server's log, so that a file sent that did not change shows. Beside
# them, the time to read the checkout's files once (cat), the floor for any
# tool that looks at their content.
#
# Sessions (MODES holds "parallel"): a fresh ftpupload /recursive /sync with
# each session count of PARALLEL (default "1 4") in turn, on a fresh target.
# SLOW_LOGIN=yes gives Pure-FTPd's user pure-pw's own password hash (argon2id:
# seconds of CPU a login, as hosts keep it); SETTLE_S (default 0) waits after
# each of these runs, for a server still hashing the password of a login the
# tool gave up. SERVERS may also name "pureftpd" (Pure-FTPd without TLS).
#
# Race (MODES holds "race"): one fresh deploy of the site by each tool of
# RACE_TOOLS (default "ftpupload lftp rclone") into its own empty folder:
# ftpupload /recursive /sync /parallel:RACE_PARALLEL (default 4; "auto" or
# "auto:N" let it find the host's limit), lftp mirror -R -P 4 and rclone copy
# --transfers 4 (its FTP backend given on the command line, no config file),
# each compared with the site; the table gives each tool's time as a multiple
# of lftp's, and for ftpupload the sessions line of its summary. With
# VSFTPD_MAX_PER_IP=N vsftpd allows N sessions per client (max_per_ip; 0, no
# limit, by default), as many hosts do. For the issue's figures:
#   MODES=race PATHS=proxy SERVERS=vsftpd FILES=300 bench/tree_upload_bench.sh
#   MODES=race PATHS=proxy SERVERS=vsftpd RACE_PARALLEL=auto VSFTPD_MAX_PER_IP=6 \
#     bench/tree_upload_bench.sh
#
# Environment: MODES ("upload sync" by default), FILES (default 2000), RUNS (default 1: a delayed upload of
# 2,000 files takes minutes), SERVERS ("vsftpd pyftpdlib vsftpd-tls
# pyftpdlib-tls proftpd-tls pureftpd-tls" by default), DELAY_MS, PATHS ("direct proxy" by default;
# "direct" alone for a quick run), TOOLS ("ftpupload lftp ncftpput" by
# default), BUILD (build dir holding
# bench/delay_proxy, default build/release; the proxy is built there when
# missing), ZUD_TOOL (the tool, default build/release/ftpupload; its rows say
# n/a while it knows no /recursive), RUN_TIMEOUT (seconds per upload, default
# 3600), BENCH_TMP (where the site and the servers' directories live, default
# /dev/shm). Needs root, like the vsftpd test fixture (vsftpd logs in the test
# account that scripts/setup makes).
#
# The site is made once per invocation and is the same every time: FILES files
# from 200 bytes to MAX_KIB (default 2 MiB), most of them small, about
# SITE_MIB (default 60) MiB per 2,000 files,
# in FILES * 120 / 2000 folders up to four levels deep, each folder holding at
# least one file. Every upload starts from an empty target directory and is
# compared with the site afterwards (diff -r); a tool whose upload fails or
# differs is reported as failed (upload mode: with the figures of its failed
# runs and how many of RUNS failed).
#
# Reported per server, path and tool (medians over RUNS): wall time, CPU time
# (user + system) and peak memory (maximum resident set size) from
# /usr/bin/time; commands per file, counted in the server's own log (vsftpd's
# log_ftp_protocol lines, pyftpdlib's "<-" debug lines, ProFTPD's ExtendedLog;
# Pure-FTPd logs commands to syslog only: n/a) over the run, divided by FILES;
# and, behind the proxy, round trips per file as the proxy counts
# them: the turns on the control connection (a client sending after the server
# has spoken, i.e. having waited for a reply) plus the data connections
# opened, divided by FILES. The proxy's own listener completes a data
# connection's TCP handshake at once, so that handshake costs no delay for
# any tool even though it is counted as a round trip.
set -euo pipefail
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

FILES=${FILES:-2000}
RUNS=${RUNS:-1}
DELAY_MS=${DELAY_MS:-10}
PATHS=${PATHS:-direct proxy}
RUN_TIMEOUT=${RUN_TIMEOUT:-3600}
SLOW_LOGIN=${SLOW_LOGIN:-no}
SITE_MIB=${SITE_MIB:-60}
MAX_KIB=${MAX_KIB:-2048}
SETTLE_S=${SETTLE_S:-0}
ACCOUNT=ftpupload-test
PASSWORD=ftpupload-test-pw
PYTHON=/usr/bin/python3
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build/release}
case $build in /*) ;; *) build=$repo/$build ;; esac
proxy_bin=$build/bench/delay_proxy
TOOL=${ZUD_TOOL:-$repo/build/release/ftpupload}
servers_dir=$repo/build/ftp-daemons
read -r -a servers <<<"${SERVERS:-vsftpd pyftpdlib vsftpd-tls pyftpdlib-tls proftpd-tls pureftpd-tls}"

die() { echo "tree_upload_bench: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "must run as root (vsftpd logs in a local account)"
for tool in vsftpd lftp ncftpput /usr/bin/time timeout "$PYTHON"; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done
"$PYTHON" -c 'import pyftpdlib' 2>/dev/null || die "pyftpdlib is missing (scripts/setup installs it)"
id "$ACCOUNT" >/dev/null 2>&1 && [ -f "/etc/pam.d/$ACCOUNT" ] ||
  die "the account $ACCOUNT or its PAM service is missing (run scripts/setup)"
if [ ! -x "$proxy_bin" ]; then
  [ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$repo" -B "$build" -G Ninja -DZUD_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target delay_proxy >/dev/null
fi
[ -x "$proxy_bin" ] || die "no delay proxy at $proxy_bin"
for server in "${servers[@]}"; do
  case $server in
    proftpd-tls) [ -x "$servers_dir/usr/sbin/proftpd" ] || die "no ProFTPD in $servers_dir (run scripts/setup)" ;;
    pureftpd | pureftpd-tls) [ -x "$servers_dir/usr/sbin/pure-ftpd" ] || die "no Pure-FTPd in $servers_dir (run scripts/setup)" ;;
    vsftpd | pyftpdlib | vsftpd-tls | pyftpdlib-tls) ;;
    *) die "unknown server $server" ;;
  esac
done

# The tool's rows are n/a until it takes /recursive.
tool_ready=no
if [ -x "$TOOL" ]; then
  case $("$TOOL" /recursive /quiet 2>&1 || true) in
    *"unknown switch"*) ;;
    *) tool_ready=yes ;;
  esac
fi

base=${BENCH_TMP:-/dev/shm}
need_kb=$(( (FILES * 31 * 4 + 65536) ))
if [ ! -w "$base" ] || [ "$(df -Pk "$base" | awk 'NR == 2 { print $4 }')" -lt "$need_kb" ]; then
  base=/tmp
fi
work=$(mktemp -d "$base/tree-bench.XXXXXX")
server_pid=""
proxy_pid=""
stop() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop "$proxy_pid"
  stop "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
chmod 755 "$work"
mkdir -p "$work/root" "$work/empty" "$work/times" "$work/results"

# The site: sizes 200 * R^(u^p) for evenly spread u (R = 2 MiB / 200), p found
# so that the mean is 60 MiB / 2000; folders hang below a random earlier
# folder of depth < 4.
"$PYTHON" - "$work/site" "$FILES" "$SITE_MIB" "$MAX_KIB" <<'EOF'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rng = random.Random(20240607)
low, high = 200, int(sys.argv[4]) << 10
target_mean = (float(sys.argv[3]) * (1 << 20)) / 2000
us = [(i + 0.5) / files for i in range(files)]
def sizes(p):
    return [int(low * (high / low) ** (u ** p)) for u in us]
lo, hi = 1.0, 50.0
for _ in range(60):
    mid = (lo + hi) / 2
    if sum(sizes(mid)) / files > target_mean: lo = mid
    else: hi = mid
size_list = sizes(hi)
size_list[0], size_list[-1] = low, high
rng.shuffle(size_list)
folders = [("", 0)]
for k in range(max(1, round(files * 120 / 2000))):
    parent, depth = rng.choice([f for f in folders if f[1] < 4])
    folders.append((os.path.join(parent, "dir%03d" % k), depth + 1))
os.makedirs(root)
for path, _ in folders[1:]:
    os.makedirs(os.path.join(root, path))
# Every folder gets a file first; the rest land anywhere.
homes = [f[0] for f in folders[1:]][:files]
homes += [rng.choice(folders)[0] for _ in range(files - len(homes))]
exts = [".html", ".css", ".js", ".png", ".jpg", ".json"]
for i, (home, size) in enumerate(zip(homes, size_list)):
    name = "file%04d%s" % (i, exts[i % len(exts)])
    with open(os.path.join(root, home, name), "wb") as out:
        out.write(rng.randbytes(size))
EOF
site_bytes=$(du -sb --apparent-size "$work/site" | awk '{ print $1 }')
folder_count=$(( $(find "$work/site" -type d | wc -l) - 1 ))

wait_port() {
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

# FTPS servers: a CA and a certificate for 127.0.0.1 signed by it, made once;
# the account's password as a crypt(3) hash for the servers' own user files.
make_tls_material() {
  [ -s "$work/ca.pem" ] && return 0
  make_bench_certificates "$work" tree-bench-CA
  password_hash=$(openssl passwd -6 "$PASSWORD")
}
account_ids() { echo "$(id -u "$ACCOUNT"):$(id -g "$ACCOUNT")"; }

# Starts one server on a free port; sets port, server_pid, server_log and
# server_count (a command that prints how many commands the log holds).
start_vsftpd() {  # extra vsftpd.conf lines...
  port=$(free_port)
  server_log=$work/vsftpd.log
  : >"$server_log"
  write_vsftpd_conf "$work/vsftpd.conf" "$port" "$work/root" "$work/empty" \
    max_clients=0 "max_per_ip=${VSFTPD_MAX_PER_IP:-0}" xferlog_enable=YES xferlog_std_format=NO log_ftp_protocol=YES \
    "vsftpd_log_file=$server_log" "$@"
  vsftpd "$work/vsftpd.conf" &
  server_pid=$!
  server_count() { grep -c 'FTP command: ' "$server_log" || true; }
  server_stores() { grep -c 'FTP command: Client "[^"]*", "STOR ' "$server_log" || true; }
  wait_port "$port" || die "vsftpd did not start on port $port"
}
start_pyftpdlib() {  # extra arguments of pyftpd_server.py...
  port=$(free_port)
  server_log=$work/pyftpd.log
  : >"$server_log"
  "$PYTHON" "$repo/tests/support/pyftpd_server.py" --host 127.0.0.1 --port "$port" \
    --dir "$work/root" --user "$ACCOUNT" --password "$PASSWORD" --log "$server_log" "$@" &
  server_pid=$!
  server_count() { grep -c '] <- ' "$server_log" || true; }
  server_stores() { grep -c '] <- STOR ' "$server_log" || true; }
  wait_port "$port" || die "pyftpdlib did not start on port $port"
}

start_vsftpd-tls() {
  make_tls_material
  # As the test fixture has it: TLS required, data sessions resumed.
  start_vsftpd ssl_enable=YES "rsa_cert_file=$work/server.pem" "rsa_private_key_file=$work/server.key" \
    force_local_logins_ssl=YES force_local_data_ssl=YES require_ssl_reuse=YES ssl_ciphers=HIGH
}
start_pyftpdlib-tls() {
  make_tls_material
  start_pyftpdlib --certfile "$work/server.pem" --keyfile "$work/server.key"
}
start_proftpd-tls() {
  make_tls_material
  port=$(free_port)
  server_log=$work/proftpd.log
  : >"$server_log"
  echo "$ACCOUNT:$password_hash:$(account_ids)::$work/root:/bin/false" >"$work/proftpd.passwd"
  echo "$ACCOUNT:x:$(id -g "$ACCOUNT"):" >"$work/proftpd.group"
  chmod 600 "$work/proftpd.passwd"
  cat >"$work/proftpd.conf" <<CONF
ServerType standalone
Port $port
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
ModulePath $servers_dir/usr/lib/proftpd
LoadModule mod_tls.c
PidFile $work/proftpd.pid
ScoreboardFile $work/proftpd.scoreboard
DelayEngine off
ControlsEngine off
User $ACCOUNT
Group $ACCOUNT
AuthOrder mod_auth_file.c
AuthUserFile $work/proftpd.passwd
AuthGroupFile $work/proftpd.group
RequireValidShell off
DefaultRoot ~
PassivePorts 40000 59999
WtmpLog off
UseLastlog off
UseReverseDNS off
AllowOverwrite on
MaxInstances 100
SystemLog $server_log
LogFormat bench "%a %r -> %s"
ExtendedLog $server_log ALL bench
TLSEngine on
TLSRequired on
TLSECCertificateFile $work/server.pem
TLSECCertificateKeyFile $work/server.key
TLSVerifyClient off
TLSLog $work/proftpd-tls.log
CONF
  # In the foreground it also writes its messages to standard error.
  "$servers_dir/usr/sbin/proftpd" -n -c "$work/proftpd.conf" 2>>"$work/proftpd.out" &
  server_pid=$!
  server_count() { grep -c ' -> [0-9]' "$server_log" || true; }
  server_stores() { grep -c ' STOR .* -> [0-9]' "$server_log" || true; }
  wait_port "$port" || die "ProFTPD did not start on port $port: $(tail -n 5 "$server_log")"
}
start_pureftpd() {  # extra pure-ftpd arguments...
  make_tls_material
  port=$(free_port)
  server_log=$work/pureftpd.log
  : >"$server_log"
  rm -f "$work/pureftpd.passwd"
  if [ "$SLOW_LOGIN" = yes ]; then
    # As hosts keep it: pure-pw's own hash (argon2id, seconds of CPU a login).
    printf '%s\n%s\n' "$PASSWORD" "$PASSWORD" | "$servers_dir/usr/bin/pure-pw" useradd "$ACCOUNT" \
      -u "$(id -u "$ACCOUNT")" -g "$(id -g "$ACCOUNT")" -d "$work/root" -f "$work/pureftpd.passwd" >/dev/null
  else
    echo "$ACCOUNT:$password_hash:$(account_ids)::$work/root/./::::::::::::" >"$work/pureftpd.passwd"
  fi
  "$servers_dir/usr/bin/pure-pw" mkdb "$work/pureftpd.pdb" -f "$work/pureftpd.passwd" >/dev/null
  "$servers_dir/usr/sbin/pure-ftpd" --bind "127.0.0.1,$port" --login "puredb:$work/pureftpd.pdb" \
    --noanonymous --dontresolve --passiveportrange 40000:59999 --maxclientsnumber 100 \
    --maxclientsperip 100 --altlog "w3c:$server_log" "$@" &
  server_pid=$!
  # Commands go to syslog only; the transfer log counts the stores.
  server_count() { echo n/a; }
  server_stores() { grep -c ' STOR ' "$server_log" || true; }
  wait_port "$port" || die "Pure-FTPd did not start on port $port"
}
start_pureftpd-tls() {
  make_tls_material
  start_pureftpd --tls 2 --certfile "$work/server.pem,$work/server.key"
}
is_tls() { [[ $1 == *-tls ]]; }
# The paths and tools that apply to a server, and the TLS settings for it.
server_paths() { if is_tls "$1"; then echo direct; else echo "$PATHS"; fi; }
server_tools() {
  local tool
  for tool in "${tools[@]}"; do
    is_tls "$1" && [ "$tool" = ncftpput ] && continue
    echo "$tool"
  done
}
use_tls_for() {
  if is_tls "$1"; then
    tls_switches=(/tls "/cacert:$work/ca.pem")
    lftp_ssl="set ftp:ssl-force yes; set ftp:ssl-protect-data yes; set ssl:ca-file $work/ca.pem; \
set ssl:verify-certificate yes"
  else
    tls_switches=()
    lftp_ssl="set ftp:ssl-allow no"
  fi
}

# Starts the proxy in front of the server; sets proxy_pid and proxy_port.
start_proxy() {
  "$proxy_bin" --delay-ms "$DELAY_MS" --stats "$work/proxy.stats" 127.0.0.1 "$port" >"$work/proxy.port" &
  proxy_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/proxy.port" ] && break
    sleep 0.02
  done
  proxy_port=$(head -n 1 "$work/proxy.port")
  [ -n "$proxy_port" ] || die "the delay proxy did not start"
}
stop_proxy() {
  stop "$proxy_pid"
  proxy_pid=""
}

# The client commands, in cmd, for port $1. Each leaves the tree in
# root/<target> (ncftpput: root/<target>/site).
# With TLS (tls_switches and lftp_ssl, set per server): the certificate is
# verified against the bench's CA.
tls_switches=()
lftp_ssl="set ftp:ssl-allow no"
command_ftpupload() {
  cmd=("$TOOL" /host:127.0.0.1 "/port:$1" "/user:$ACCOUNT" "/pass:$PASSWORD" /pasv /quiet /recursive
    "${tls_switches[@]}" /dir:/ftpupload-run site/)
}
# Few retries and a timeout, so that a failing lftp ends instead of
# reconnecting for ever; cmd:fail-exit makes a failed mirror its exit status.
command_lftp() {
  cmd=(lftp -u "$ACCOUNT,$PASSWORD" -p "$1" -e "set cmd:fail-exit yes; set net:max-retries 2; \
set net:reconnect-interval-base 1; set net:timeout 60; set xfer:clobber on; \
set ftp:passive-mode on; $lftp_ssl; mirror -R site /lftp-run; quit" 127.0.0.1)
}
command_ncftpput() { cmd=(ncftpput -R -m -u "$ACCOUNT" -p "$PASSWORD" -P "$1" 127.0.0.1 /ncftp-run site); }

declare -A target=([ftpupload]=ftpupload-run [lftp]=lftp-run [ncftpput]=ncftp-run)
declare -A landed=([ftpupload]=ftpupload-run [lftp]=lftp-run [ncftpput]=ncftp-run/site)

# Runs the client command that command_fn sets for a port, directly or
# through a fresh proxy, timed; then compares local_tree with remote_tree
# (the sync's state file aside) and appends "wall user sys rss commands
# round_trips stores" to results/<key>, or marks the key failed.
timed_run() {
  local key=$1 via=$2 local_tree=$3 remote_tree=$4 command_fn=$5 use_port=$port
  chown -R "$ACCOUNT" "$work/root"
  if [ "$via" = proxy ]; then
    rm -f "$work/proxy.port" "$work/proxy.stats"
    start_proxy
    use_port=$proxy_port
  fi
  local before before_stores ok=yes
  before=$(server_count)
  before_stores=$(server_stores)
  "$command_fn" "$use_port"
  # timeout outside, so that the peak memory is the client's own; on expiry it
  # signals its whole process group, the client included.
  (cd "$work" && timeout "$RUN_TIMEOUT" /usr/bin/time -f "%e %U %S %M" -o "$work/times/last" \
    "${cmd[@]}") >"$work/times/out" 2>"$work/times/err" || ok=no
  local trips=-
  if [ "$via" = proxy ]; then
    stop_proxy
    trips=$(awk '$1 == "turns" || $1 == "data_connections" { n += $2 } END { print n + 0 }' "$work/proxy.stats")
  fi
  sleep 0.2  # the server's session process writes its last log lines after the client has gone
  local commands=n/a stores=$(( $(server_stores) - before_stores ))
  [ "$before" = n/a ] || commands=$(( $(server_count) - before ))
  if [ "$ok" = yes ] && ! diff -r -x '.htftpupload-sync*' "$local_tree" "$remote_tree" >"$work/times/diff" 2>&1; then
    ok=no
    echo "tree_upload_bench: $key: the uploaded tree differs: $(head -n 3 "$work/times/diff")" >&2
  elif [ "$ok" = no ]; then
    echo "tree_upload_bench: $key failed: $(tail -n 3 "$work/times/err")" >&2
  fi
  if [ "$ok" = yes ]; then
    echo "$(tail -n 1 "$work/times/last") $commands $trips $stores" >>"$work/results/$key"
  else
    # The time a failed run took, for what it is worth beside the others.
    echo "$(tail -n 1 "$work/times/last") $commands $trips $stores" >>"$work/results/$key.failed"
  fi
}

# One upload into a fresh target.
upload() {
  local key=$1 tool=$2 via=$3
  rm -rf "${work:?}/root/${target[$tool]}"
  mkdir "$work/root/${target[$tool]}"
  timed_run "$key" "$via" "$work/site" "$work/root/${landed[$tool]}" "command_$tool"
}

# How a table names a path: direct, or the proxy's delay.
path_label() { if [ "$1" = direct ]; then echo direct; else echo "delayed ${DELAY_MS}+${DELAY_MS} ms"; fi; }

# Median of one column of a result series.
median() {
  awk -v col="$2" '{ if (col == "cpu") v = $2 + $3; else if (col == "rss") v = $4 / 1024;
      else if (col == "wall") v = $1; else if (col == "commands") v = $5; else v = $6;
      print v }' "$1" | sort -g | awk '{ a[NR] = $1 } END {
      if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# The commands' median, or n/a for a server without a command log.
commands_median() {
  if [ "$(awk '{ print $5; exit }' "$1")" = n/a ]; then echo n/a; else median "$1" commands; fi
}

# ---- Sync ---------------------------------------------------------------------------

command_sync_ftpupload() {
  cmd=("$TOOL" /host:127.0.0.1 "/port:$1" "/user:$ACCOUNT" "/pass:$PASSWORD" /pasv /quiet /recursive
    /sync /parallel:4 "${tls_switches[@]}" /dir:/ftpupload-sync "site-ftpupload/")
}
command_sync_lftp() {
  cmd=(lftp -u "$ACCOUNT,$PASSWORD" -p "$1" -e "set cmd:fail-exit yes; set net:max-retries 2; \
set net:reconnect-interval-base 1; set net:timeout 60; set xfer:clobber on; \
set ftp:passive-mode on; $lftp_ssl; mirror -R --only-newer -P 4 site-lftp /lftp-sync; quit" \
    127.0.0.1)
}
declare -A sync_target=([ftpupload]=ftpupload-sync [lftp]=lftp-sync)

# One sync step of tool on its own site copy and target.
sync_step() {
  local key=$1 tool=$2 via=$3
  timed_run "sync-$key" "$via" "$work/site-$tool" "$work/root/${sync_target[$tool]}" \
    "command_sync_$tool"
}

# fresh, touch20 and nothing for each tool, on a fresh target and site copy.
sync_series() {
  local server=$1 via=$2 tool
  for tool in ftpupload lftp; do
    [ "$tool" != ftpupload ] || [ "$tool_ready" = yes ] || continue
    rm -rf "${work:?}/site-$tool" "${work:?}/root/${sync_target[$tool]}"
    cp -a "$work/site" "$work/site-$tool"
    mkdir "$work/root/${sync_target[$tool]}"
    echo "tree_upload_bench: sync $server $via $tool" >&2
    sync_step "$server-$via-$tool-fresh" "$tool" "$via"
    # Whole seconds later, so that every tool sees the new times.
    sleep 1.1
    local picked
    mapfile -t picked < <(find "$work/site-$tool" -type f | sort)
    touch "${picked[@]:0:20}"
    sync_step "$server-$via-$tool-touch20" "$tool" "$via"
    sync_step "$server-$via-$tool-nothing" "$tool" "$via"
    # A fresh checkout: cp without -p gives every file a new time.
    rm -rf "${work:?}/checkout"
    mv "$work/site-$tool" "$work/checkout"
    cp -r "$work/checkout" "$work/site-$tool"
    sync_step "$server-$via-$tool-checkout" "$tool" "$via"
  done
}

# ---- Sessions ------------------------------------------------------------------------

read -r -a session_counts <<<"${PARALLEL:-1 4}"
command_parallel_ftpupload() {
  cmd=("$TOOL" /host:127.0.0.1 "/port:$1" "/user:$ACCOUNT" "/pass:$PASSWORD" /pasv /quiet /recursive
    /sync "/parallel:$sessions" "${tls_switches[@]}" /dir:/ftpupload-par site/)
}
# A fresh sync with each session count, on a fresh target.
parallel_series() {
  local server=$1 via=$2
  for sessions in "${session_counts[@]}"; do
    rm -rf "${work:?}/root/ftpupload-par"
    mkdir "$work/root/ftpupload-par"
    echo "tree_upload_bench: parallel $server $via $sessions" >&2
    timed_run "par-$server-$via-$sessions" "$via" "$work/site" "$work/root/ftpupload-par" \
      command_parallel_ftpupload
    # The server may still be busy with logins given up (password hashes).
    sleep "$SETTLE_S"
  done
}

# ---- Race ------------------------------------------------------------------------------

RACE_PARALLEL=${RACE_PARALLEL:-4}
read -r -a race_tools <<<"${RACE_TOOLS:-ftpupload lftp rclone}"
command_race_ftpupload() {
  cmd=("$TOOL" /host:127.0.0.1 "/port:$1" "/user:$ACCOUNT" "/pass:$PASSWORD" /pasv /quiet /recursive
    /sync "/parallel:$RACE_PARALLEL" "${tls_switches[@]}" /dir:/race-ftpupload site/)
}
command_race_lftp() {
  cmd=(lftp -u "$ACCOUNT,$PASSWORD" -p "$1" -e "set cmd:fail-exit yes; set net:max-retries 2; \
set net:reconnect-interval-base 1; set net:timeout 60; set xfer:clobber on; \
set ftp:passive-mode on; $lftp_ssl; mirror -R -P 4 site /race-lftp; quit" 127.0.0.1)
}
command_race_rclone() {
  cmd=(rclone --config /dev/null copy site
    ":ftp,host=127.0.0.1,port=$1,user=$ACCOUNT,pass=$rclone_pass:/race-rclone" --transfers 4)
}
# One fresh deploy by each tool; ftpupload's sessions line is kept.
race_series() {
  local server=$1 via=$2 tool
  for tool in "${race_tools[@]}"; do
    [ "$tool" != ftpupload ] || [ "$tool_ready" = yes ] || continue
    rm -rf "${work:?}/root/race-$tool"
    mkdir "$work/root/race-$tool"
    echo "tree_upload_bench: race $server $via $tool" >&2
    timed_run "race-$server-$via-$tool" "$via" "$work/site" "$work/root/race-$tool" \
      "command_race_$tool"
    if [ "$tool" = ftpupload ]; then
      grep -h 'sessions\? at once' "$work/times/err" >>"$work/results/race-$server-$via-sessions" || true
    fi
  done
}

# Reading every file of a fresh copy of the site once, in the page cache as
# a checkout's files are: median wall seconds of five.
read_once_seconds() {
  rm -rf "${work:?}/readonce"
  cp -r "$work/site" "$work/readonce"
  local i
  for i in 1 2 3 4 5; do
    /usr/bin/time -f "%e" -o "$work/times/read" \
      sh -c "find '$work/readonce' -type f -print0 | xargs -0 cat >/dev/null"
    cat "$work/times/read"
  done | sort -g | awk '{ a[NR] = $1 } END { print a[3] }'
}

read -r -a modes <<<"${MODES:-upload sync}"
has_mode() { [[ " ${modes[*]} " == *" $1 "* ]]; }

read -r -a tools <<<"${TOOLS:-ftpupload lftp ncftpput}"
if has_mode race && [[ " ${race_tools[*]} " == *" rclone "* ]]; then
  command -v rclone >/dev/null || die "rclone is missing (scripts/setup installs it)"
  rclone_pass=$(rclone obscure "$PASSWORD")
fi
started=$(date +%s)
echo "tree_upload_bench: $FILES files, $folder_count folders, $site_bytes bytes; $RUNS run(s) each;" \
  "proxy delay ${DELAY_MS} ms each way; files in $base; ftpupload /recursive: $tool_ready" >&2
for server in "${servers[@]}"; do
  "start_$server"
  use_tls_for "$server"
  for run in $(seq "$RUNS"); do
    for via in $(server_paths "$server"); do
      if has_mode upload; then
        for tool in $(server_tools "$server"); do
          [ "$tool" != ftpupload ] || [ "$tool_ready" = yes ] || continue
          echo "tree_upload_bench: $server $via $tool run $run" >&2
          upload "$server-$via-$tool" "$tool" "$via"
        done
      fi
      if has_mode sync; then sync_series "$server" "$via"; fi
      if has_mode parallel && [ "$tool_ready" = yes ]; then parallel_series "$server" "$via"; fi
      if has_mode race; then race_series "$server" "$via"; fi
    done
  done
  stop "$server_pid"
  server_pid=""
done

if has_mode upload; then
echo "### Folder upload: $FILES files, $folder_count folders, $(awk -v b="$site_bytes" 'BEGIN { printf "%.1f", b / 1048576 }') MiB"
echo
echo "Median of $RUNS run(s). Delayed: through bench/delay_proxy, ${DELAY_MS} ms each way."
echo "Commands per file from the server's log; round trips per file from the proxy"
echo "(control-connection turns plus data connections, over $FILES files)."
echo
echo "| server | path | tool | result | wall s | CPU s | peak MiB | commands/file | round trips/file |"
echo "| --- | --- | --- | --- | ---: | ---: | ---: | ---: | ---: |"
for server in "${servers[@]}"; do
  for via in $(server_paths "$server"); do
    path=$(path_label "$via")
    for tool in $(server_tools "$server"); do
      key=$server-$via-$tool
      if [ "$tool" = ftpupload ] && [ "$tool_ready" = no ]; then
        echo "| $server | $path | $tool | n/a (no /recursive) | n/a | n/a | n/a | n/a | n/a |"
      elif [ -e "$work/results/$key.failed" ] || [ ! -s "$work/results/$key" ]; then
        r=$work/results/$key.failed
        if [ -s "$r" ] && [ "$(awk '{ print NF; exit }' "$r")" -ge 4 ]; then
          printf "| %s | %s | %s | failed (%s of %s runs) | %.2f | %.2f | %.1f | | |\n" "$server" "$path" \
            "$tool" "$(wc -l <"$r")" "$RUNS" "$(median "$r" wall)" "$(median "$r" cpu)" "$(median "$r" rss)"
        else
          echo "| $server | $path | $tool | failed | | | | | |"
        fi
      else
        r=$work/results/$key
        trips=-
        [ "$via" = direct ] || trips=$(awk -v n="$(median "$r" trips)" -v f="$FILES" 'BEGIN { printf "%.2f", n / f }')
        per_file=$(commands_median "$r")
        [ "$per_file" = n/a ] || per_file=$(awk -v n="$per_file" -v f="$FILES" 'BEGIN { printf "%.2f", n / f }')
        printf "| %s | %s | %s | complete | %.2f | %.2f | %.1f | %s | %s |\n" "$server" "$path" "$tool" \
          "$(median "$r" wall)" "$(median "$r" cpu)" "$(median "$r" rss)" "$per_file" "$trips"
      fi
    done
  done
done
echo
fi

if has_mode sync; then
  echo "### Sync: $FILES files; ftpupload /sync /parallel:4 vs lftp mirror -R --only-newer -P 4"
  echo
  echo "Median of $RUNS run(s). STOR: stores counted in the server's log (touch20 changes"
  echo "the time of 20 files, not their content; checkout is the site copied with cp -r, every"
  echo "time new and the same bytes). Reading the checkout's files once (cat): $(read_once_seconds) s."
  echo
  echo "| server | path | step | tool | result | wall s | CPU s | peak MiB | commands | round trips | STOR |"
  echo "| --- | --- | --- | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |"
  for server in "${servers[@]}"; do
    for via in $(server_paths "$server"); do
      path=$(path_label "$via")
      for step in fresh touch20 nothing checkout; do
        for tool in ftpupload lftp; do
          r=$work/results/sync-$server-$via-$tool-$step
          if [ -e "$r.failed" ] || [ ! -s "$r" ]; then
            echo "| $server | $path | $step | $tool | failed | | | | | | |"
            continue
          fi
          stores=$(awk '{ print $7 }' "$r" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
          printf "| %s | %s | %s | %s | complete | %.2f | %.2f | %.1f | %s | %s | %s |\n" "$server" "$path" \
            "$step" "$tool" "$(median "$r" wall)" "$(median "$r" cpu)" "$(median "$r" rss)" \
            "$(commands_median "$r")" "$(median "$r" trips)" "$stores"
        done
      done
    done
  done
  echo
fi
if has_mode parallel; then
  echo "### Sessions: $FILES files; a fresh ftpupload /recursive /sync /parallel:N"
  echo
  echo "Median of $RUNS run(s), each session count in turn on one server.${SLOW_LOGIN:+ Pure-FTPd: slow logins (argon2id).}"
  echo
  echo "| server | path | sessions | result | wall s | CPU s | peak MiB |"
  echo "| --- | --- | ---: | --- | ---: | ---: | ---: |"
  for server in "${servers[@]}"; do
    for via in $(server_paths "$server"); do
      path=$(path_label "$via")
      for sessions in "${session_counts[@]}"; do
        r=$work/results/par-$server-$via-$sessions
        if [ -e "$r.failed" ] || [ ! -s "$r" ]; then
          echo "| $server | $path | $sessions | failed | | | |"
          continue
        fi
        printf "| %s | %s | %s | complete | %.2f | %.2f | %.1f |\n" "$server" "$path" "$sessions" \
          "$(median "$r" wall)" "$(median "$r" cpu)" "$(median "$r" rss)"
      done
    done
  done
  echo
fi
if has_mode race; then
  echo "### Race: $FILES files, a fresh deploy each; ftpupload /sync /parallel:$RACE_PARALLEL," \
    "lftp mirror -R -P 4, rclone copy --transfers 4"
  echo
  echo "Median of $RUNS run(s); vsftpd max_per_ip=${VSFTPD_MAX_PER_IP:-0} (0: no limit)." \
    "x lftp: wall time over lftp's."
  echo
  echo "| server | path | tool | result | wall s | x lftp | CPU s | peak MiB | sessions |"
  echo "| --- | --- | --- | --- | ---: | ---: | ---: | ---: | --- |"
  for server in "${servers[@]}"; do
    for via in $(server_paths "$server"); do
      path=$(path_label "$via")
      lftp_wall=""
      r=$work/results/race-$server-$via-lftp
      [ -e "$r.failed" ] || [ ! -s "$r" ] || lftp_wall=$(median "$r" wall)
      for tool in "${race_tools[@]}"; do
        r=$work/results/race-$server-$via-$tool
        if [ -e "$r.failed" ] || [ ! -s "$r" ]; then
          echo "| $server | $path | $tool | failed | | | | | |"
          continue
        fi
        wall=$(median "$r" wall)
        ratio=n/a
        [ -z "$lftp_wall" ] || ratio=$(awk -v a="$wall" -v b="$lftp_wall" 'BEGIN { printf "%.2f", a / b }')
        sessions=""
        if [ "$tool" = ftpupload ]; then
          sessions=$(tail -n 1 "$work/results/race-$server-$via-sessions" 2>/dev/null | sed 's/^[^:]*: //')
          [ -n "$sessions" ] || sessions="/parallel:$RACE_PARALLEL"
        fi
        printf "| %s | %s | %s | complete | %.2f | %s | %.2f | %.1f | %s |\n" "$server" "$path" "$tool" \
          "$wall" "$ratio" "$(median "$r" cpu)" "$(median "$r" rss)" "$sessions"
      done
    done
  done
  echo
fi
echo "Whole benchmark: $(( $(date +%s) - started )) s."
