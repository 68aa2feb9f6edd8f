#!/usr/bin/env bash
# Upload and download speed of TFTPSend next to curl and ncftpput, against one
# local vsftpd on a free loopback port (started here with a throwaway config
# and the test account that scripts/setup creates; needs root, like the
# vsftpd test fixture).
#
#   bench/ftp_upload_bench.sh [path/to/ftp_transfer_bench]
#
# Without a path, the benchmark program is built in build-rel (Release).
# Environment: SIZE_MB (default 256), RUNS (default 5), TOOL (the ftpupload
# executable; default: build-rel/ftpupload when the program is built here).
#
# Upload: the same SIZE_MB file is stored with ftp_transfer_bench (UploadFile,
# DirectFile, binary, passive), "curl -T" and ncftpput, the three alternating,
# RUNS times each (and the benchmark program once more with its zero-copy
# file send switched off, FTP_BENCH_PLAIN_SEND=1). Download: ftp_transfer_bench (DownloadFile, DirectFile)
# against curl. For each: the median wall time, client CPU time (user +
# system) and peak memory (maximum resident set size), and the ratios to the
# others. Finally the peak memory of ftp_transfer_bench for a small file, to
# show it does not grow with the file.
set -euo pipefail
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

SIZE_MB=${SIZE_MB:-256}
RUNS=${RUNS:-5}
ACCOUNT=ftpupload-test
PASSWORD=ftpupload-test-pw
repo=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "ftp_upload_bench: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "must run as root (vsftpd logs in a local account)"
for tool in vsftpd curl ncftpput /usr/bin/time python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done
id "$ACCOUNT" >/dev/null 2>&1 && [ -f "/etc/pam.d/$ACCOUNT" ] ||
  die "the account $ACCOUNT or its PAM service is missing (run scripts/setup)"

bin=${1:-}
if [ -z "$bin" ]; then
  cmake -S "$repo" -B "$repo/build-rel" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DZUD_BUILD_TESTS=OFF >/dev/null
  cmake --build "$repo/build-rel" --target ftp_transfer_bench ftpupload >/dev/null
  bin="$repo/build-rel/bench/ftp_transfer_bench"
  TOOL=${TOOL:-$repo/build-rel/ftpupload}
fi
TOOL=${TOOL:-}
[ -x "$bin" ] || die "no benchmark program at $bin"

# The server's directory and the local files live in memory (/dev/shm) when
# there is room: what is measured is then the clients, not the disk's
# write-back. BENCH_TMP chooses another place.
make_bench_work ftp-bench $(( (SIZE_MB * 6 + 64) * 1024 ))
mkdir -p "$work/root/ncftp" "$work/root/tool" "$work/empty" "$work/local" "$work/times"
chown -R "$ACCOUNT" "$work/root"

port=$(free_port)
write_vsftpd_conf "$work/vsftpd.conf" "$port" "$work/root" "$work/empty" xferlog_enable=NO
start_bench_vsftpd "$work/vsftpd.conf" "$port" || die "vsftpd did not start on port $port"

src="$work/local/data.bin"
head -c "$((SIZE_MB * 1024 * 1024))" /dev/urandom >"$src"
small="$work/local/small.bin"
head -c $((1024 * 1024)) /dev/urandom >"$small"
cp "$src" "$work/root/src.bin"
chown "$ACCOUNT" "$work/root/src.bin"
url="ftp://127.0.0.1:$port"

# Runs a command under /usr/bin/time; appends "wall user sys maxrss_kb" to
# the named series. The file system is synced first, so that no run pays for
# the write-back of the one before it (vsftpd's close of a 256 MiB file it
# truncated starts a flush that the next transfer would otherwise share).
measure() {
  local series=$1
  shift
  sync
  /usr/bin/time -f "%e %U %S %M" -o "$work/times/last" "$@" >/dev/null 2>"$work/times/err" ||
    die "$series failed: $(cat "$work/times/err")"
  cat "$work/times/last" >>"$work/times/$series"
}

upload_ours() { measure "$1" "$bin" upload 127.0.0.1 "$port" "$ACCOUNT" "$PASSWORD" "$2" /ours.bin; }
# The same client with the zero-copy file send switched off (every piece
# passes through a buffer), to show what that path costs and gains here.
upload_buffered() {
  FTP_BENCH_PLAIN_SEND=1 measure up-ours-buffered "$bin" upload 127.0.0.1 "$port" "$ACCOUNT" "$PASSWORD" "$src" /buffered.bin
}
# The tool itself, as a user runs it (passive, binary, into /tool/).
upload_tool() {
  [ -n "$TOOL" ] || return 0
  measure "$1" "$TOOL" /host:127.0.0.1 "/port:$port" "/user:$ACCOUNT" "/pass:$PASSWORD" /pasv /binary \
    /dir:/tool/ "$2"
}
upload_curl() { measure up-curl curl -sS --ftp-pasv -T "$src" -u "$ACCOUNT:$PASSWORD" "$url/curl.bin"; }
upload_ncftp() { measure up-ncftpput ncftpput -F -u "$ACCOUNT" -p "$PASSWORD" -P "$port" 127.0.0.1 /ncftp "$src"; }
download_ours() { measure down-ours "$bin" download 127.0.0.1 "$port" "$ACCOUNT" "$PASSWORD" /src.bin "$work/local/ours.out"; }
download_curl() { measure down-curl curl -sS --ftp-pasv -u "$ACCOUNT:$PASSWORD" -o "$work/local/curl.out" "$url/src.bin"; }

echo "ftp_upload_bench: ${SIZE_MB} MiB, $RUNS runs each, vsftpd on 127.0.0.1:$port, files in $(dirname "$work")"
for run in $(seq "$RUNS"); do
  rm -f "$work/root/ours.bin" "$work/root/buffered.bin" "$work/root/curl.bin" "$work/root/ncftp/data.bin" \
    "$work/root/tool/data.bin"
  upload_ours up-ours "$src"
  upload_tool up-tool "$src"
  upload_buffered
  upload_curl
  upload_ncftp
  rm -f "$work/local/ours.out" "$work/local/curl.out"
  download_ours
  download_curl
  if [ "$run" -eq 1 ]; then
    cmp -s "$src" "$work/root/ours.bin" || die "ftp_transfer_bench stored different bytes"
    cmp -s "$src" "$work/root/buffered.bin" || die "ftp_transfer_bench (buffered) stored different bytes"
    cmp -s "$src" "$work/root/curl.bin" || die "curl stored different bytes"
    cmp -s "$src" "$work/root/ncftp/data.bin" || die "ncftpput stored different bytes"
    [ -z "$TOOL" ] || cmp -s "$src" "$work/root/tool/data.bin" || die "ftpupload stored different bytes"
    cmp -s "$src" "$work/local/ours.out" || die "ftp_transfer_bench fetched different bytes"
    cmp -s "$src" "$work/local/curl.out" || die "curl fetched different bytes"
  fi
done
for run in $(seq "$RUNS"); do
  upload_ours up-ours-1MiB "$small"
  upload_tool up-tool-1MiB "$small"
  [ -z "$TOOL" ] || measure tool-usage "$TOOL"
done

# Median of a column expression over a series: wall, cpu (user + sys), rss (MB).
median() {
  local series=$1 what=$2
  awk -v what="$what" '{
      if (what == "wall") v = $1; else if (what == "cpu") v = $2 + $3; else v = $4 / 1024;
      print v }' "$work/times/$series" | sort -g | awk '{ a[NR] = $1 } END {
      if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

row() {
  printf "%-22s %9.3f %9.3f %9.1f\n" "$1" "$(median "$2" wall)" "$(median "$2" cpu)" "$(median "$2" rss)"
}
ratio() {
  local a b
  a=$(median "$2" "$4")
  b=$(median "$3" "$4")
  awk -v a="$a" -v b="$b" -v label="$1" -v what="$4" 'BEGIN {
      if (b > 0) printf "  %-34s %-5s %6.2f\n", label, what, a / b; else printf "  %-34s %-5s    n/a\n", label, what }'
}

echo
printf "%-22s %9s %9s %9s\n" "upload ${SIZE_MB} MiB" "wall s" "cpu s" "peak MB"
row "ftp_transfer_bench" up-ours
row "  buffered send" up-ours-buffered
[ -z "$TOOL" ] || row "ftpupload (the tool)" up-tool
row "curl -T" up-curl
row "ncftpput" up-ncftpput
echo "ratios (ftp_transfer_bench / other, median):"
for what in wall cpu rss; do ratio "to curl" up-ours up-curl "$what"; done
for what in wall cpu rss; do ratio "to ncftpput" up-ours up-ncftpput "$what"; done
if [ -n "$TOOL" ]; then
  for what in wall cpu rss; do ratio "tool to curl" up-tool up-curl "$what"; done
  for what in wall cpu rss; do ratio "tool to ncftpput" up-tool up-ncftpput "$what"; done
fi
for what in wall cpu; do ratio "buffered send to curl" up-ours-buffered up-curl "$what"; done
for what in wall cpu; do ratio "buffered send to ncftpput" up-ours-buffered up-ncftpput "$what"; done
echo
printf "%-22s %9s %9s %9s\n" "download ${SIZE_MB} MiB" "wall s" "cpu s" "peak MB"
row "ftp_transfer_bench" down-ours
row "curl" down-curl
echo "ratios (ftp_transfer_bench / other, median):"
for what in wall cpu rss; do ratio "to curl" down-ours down-curl "$what"; done
echo
printf "peak memory of ftp_transfer_bench uploads: %.1f MB for 1 MiB, %.1f MB for %s MiB\n" \
  "$(median up-ours-1MiB rss)" "$(median up-ours rss)" "$SIZE_MB"
if [ -n "$TOOL" ]; then
  printf "peak memory of ftpupload: %.1f MB printing its usage, %.1f MB for 1 MiB, %.1f MB for %s MiB\n" \
    "$(median tool-usage rss)" "$(median up-tool-1MiB rss)" "$(median up-tool rss)" "$SIZE_MB"
fi
