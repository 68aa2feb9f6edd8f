#!/usr/bin/env bash
# FTPS upload speed of the ftpupload tool next to curl, and the cost of TLS
# support for a plain upload.
#
#   bench/ftps_upload_bench.sh [path/to/ftpupload [path/to/older/ftpupload]]
#
# Without a path the tool is built in build-rel (Release). Needs root, like
# the vsftpd test fixture (vsftpd logs in the test account scripts/setup
# makes). Environment: SIZE_MB (default 256), RUNS (default 5), STARTS
# (default 40).
#
# 1. A local vsftpd with TLS required for logins and data and session reuse
#    required (its default), certificate from a CA made here with openssl.
#    The same SIZE_MB file is stored with "ftpupload /tls /cacert /pasv
#    /binary" and "curl --ssl-reqd --cacert -T", alternating, RUNS times each:
#    the median wall time, client CPU time (user + system) and peak memory
#    (maximum resident set size) of each, and their ratios.
# 2. A second, plain vsftpd: a 1 KiB plain upload (no TLS switch) and the
#    usage text (/?: start-up and exit alone), STARTS times each with the
#    tool, and with the older build when one is given (e.g. one made before
#    TLS support): median wall time and peak memory, so that the start-up
#    cost of a run that does not use TLS can be compared.
set -euo pipefail
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

SIZE_MB=${SIZE_MB:-256}
RUNS=${RUNS:-5}
STARTS=${STARTS:-40}
ACCOUNT=ftpupload-test
PASSWORD=ftpupload-test-pw
repo=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "ftps_upload_bench: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "must run as root (vsftpd logs in a local account)"
for tool in vsftpd curl openssl /usr/bin/time python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done
id "$ACCOUNT" >/dev/null 2>&1 && [ -f "/etc/pam.d/$ACCOUNT" ] ||
  die "the account $ACCOUNT or its PAM service is missing (run scripts/setup)"

bin=${1:-}
baseline=${2:-}
if [ -z "$bin" ]; then
  cmake -S "$repo" -B "$repo/build-rel" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DZUD_BUILD_TESTS=OFF -DZUD_BUILD_BENCH=OFF >/dev/null
  cmake --build "$repo/build-rel" --target ftpupload >/dev/null
  bin="$repo/build-rel/ftpupload"
fi
[ -x "$bin" ] || die "no tool at $bin"
[ -z "$baseline" ] || [ -x "$baseline" ] || die "no older tool at $baseline"

# Server directory and local files in memory when there is room: what is
# measured is then the clients, not the disk.
base=${BENCH_TMP:-/dev/shm}
need_kb=$(( (SIZE_MB * 3 + 64) * 1024 ))
if [ ! -w "$base" ] || [ "$(df -Pk "$base" | awk 'NR == 2 { print $4 }')" -lt "$need_kb" ]; then
  base=/tmp
fi
work=$(mktemp -d "$base/ftps-bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/root" "$work/plain-root" "$work/empty" "$work/local" "$work/times"
chown -R "$ACCOUNT" "$work/root" "$work/plain-root"

make_bench_certificates "$work" ftps-bench-CA

start_vsftpd() {  # name, root, port, extra config
  write_vsftpd_conf "$work/$1.conf" "$3" "$2" "$work/empty" xferlog_enable=NO "$4"
  vsftpd "$work/$1.conf" &
  pids+=($!)
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$3") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  die "vsftpd ($1) did not start on port $3"
}

port=$(free_port)
start_vsftpd tls "$work/root" "$port" "ssl_enable=YES
rsa_cert_file=$work/server.pem
rsa_private_key_file=$work/server.key
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH"
plain_port=$(free_port)
start_vsftpd plain "$work/plain-root" "$plain_port" ""

src="$work/local/data.bin"
head -c "$((SIZE_MB * 1024 * 1024))" /dev/urandom >"$src"
small="$work/local/small.bin"
head -c 1024 /dev/urandom >"$small"

# Runs a command under /usr/bin/time; appends "wall user sys maxrss_kb" to
# the named series (wall to the microsecond: start-up is a few ms). Synced
# first so no run pays for the previous write-back.
measure() {
  local series=$1
  shift
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%U %S %M" -o "$work/times/last" "$@" >"$work/times/out" 2>"$work/times/err" ||
    die "$series failed: $(cat "$work/times/out" "$work/times/err")"
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(cat "$work/times/last")" |
    awk '{ printf "%.6f %s %s %s\n", $1 / 1e6, $2, $3, $4 }' >>"$work/times/$series"
}

upload_ours() {
  measure up-ours "$bin" /host:127.0.0.1 "/port:$port" "/user:$ACCOUNT" "/pass:$PASSWORD" \
    /tls "/cacert:$work/ca.pem" /pasv /binary /dir:/ours "$src"
}
upload_curl() {
  measure up-curl curl -sS --ssl-reqd --cacert "$work/ca.pem" --ftp-pasv -T "$src" \
    -u "$ACCOUNT:$PASSWORD" "ftp://127.0.0.1:$port/curl/data.bin"
}
plain_start() {  # series, tool
  measure "$1" "$2" /host:127.0.0.1 "/port:$plain_port" "/user:$ACCOUNT" "/pass:$PASSWORD" \
    /pasv /binary "$small"
}

echo "ftps_upload_bench: ${SIZE_MB} MiB, $RUNS runs each, vsftpd (TLS) on 127.0.0.1:$port, files in $base"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
mkdir -p "$work/root/ours" "$work/root/curl"
chown "$ACCOUNT" "$work/root/ours" "$work/root/curl"
for run in $(seq "$RUNS"); do
  rm -f "$work/root/ours/data.bin" "$work/root/curl/data.bin"
  upload_ours
  upload_curl
  if [ "$run" -eq 1 ]; then
    cmp -s "$src" "$work/root/ours/data.bin" || die "ftpupload stored different bytes"
    cmp -s "$src" "$work/root/curl/data.bin" || die "curl stored different bytes"
  fi
done
for _ in $(seq "$STARTS"); do
  plain_start start-ours "$bin"
  measure usage-ours "$bin" /?
  if [ -n "$baseline" ]; then
    plain_start start-older "$baseline"
    measure usage-older "$baseline" /?
  fi
done

# Median over a series: wall, cpu (user + sys) or rss (MB).
median() {
  local series=$1 what=$2
  awk -v what="$what" '{
      if (what == "wall") v = $1; else if (what == "cpu") v = $2 + $3; else v = $4 / 1024;
      print v }' "$work/times/$series" | sort -g | awk '{ a[NR] = $1 } END {
      if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
row() {
  printf "%-26s %9.4f %9.3f %9.1f\n" "$1" "$(median "$2" wall)" "$(median "$2" cpu)" "$(median "$2" rss)"
}
ratio() {
  awk -v a="$(median "$2" "$4")" -v b="$(median "$3" "$4")" -v label="$1" -v what="$4" 'BEGIN {
      if (b > 0) printf "  %-20s %-5s %6.2f\n", label, what, a / b; else printf "  %-20s %-5s    n/a\n", label, what }'
}

echo
printf "%-26s %9s %9s %9s\n" "FTPS upload ${SIZE_MB} MiB" "wall s" "cpu s" "peak MB"
row "ftpupload /tls" up-ours
row "curl --ssl-reqd -T" up-curl
echo "ratios (ftpupload / curl, median):"
for what in wall cpu rss; do ratio "to curl" up-ours up-curl "$what"; done
echo
printf "%-26s %9s %9s %9s\n" "plain runs" "wall s" "cpu s" "peak MB"
row "1 KiB upload" start-ours
[ -z "$baseline" ] || row "  older build" start-older
row "usage text (/?)" usage-ours
[ -z "$baseline" ] || row "  older build" usage-older
if [ -n "$baseline" ]; then
  echo "ratios (ftpupload / older build, median):"
  for what in wall rss; do ratio "1 KiB upload" start-ours start-older "$what"; done
  for what in wall rss; do ratio "usage text" usage-ours usage-older "$what"; done
fi
