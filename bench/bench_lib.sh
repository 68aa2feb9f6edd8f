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
