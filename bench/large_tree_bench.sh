#!/usr/bin/env bash
# Very large trees: time and peak memory of ftpupload /recursive /sync on
# a tree of FILES small files (default 100,000, in about FILES / 95 folders,
# two levels deep) against a throwaway vsftpd on loopback: the first deploy
# into an empty folder, then a run with nothing changed. Then a dry run of
# DRY_FILES empty files (default 1,000,000) into an empty folder, whose plan
# (one line a file) goes to /dev/null.
#
#   bench/large_tree_bench.sh
#
# Environment: FILES, DRY_FILES (0 leaves the dry run out), PARALLEL (sessions
# of the deploy, default 4), ZUD_TOOL (default build/release/ftpupload),
# BENCH_TMP (where the trees and the server's folder live, default /dev/shm
# when it has room, else /tmp). Needs root, like the vsftpd test fixture.
#
# Reported per step: wall time, CPU time (user + system), peak memory
# (maximum resident set size) from /usr/bin/time, and the exit status; the
# first deploy is compared with the tree (file count and bytes).
set -euo pipefail
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

FILES=${FILES:-100000}
DRY_FILES=${DRY_FILES:-1000000}
PARALLEL=${PARALLEL:-4}
repo=$(cd "$(dirname "$0")/.." && pwd)
tool=${ZUD_TOOL:-$repo/build/release/ftpupload}
die() { echo "large_tree_bench: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "must run as root (vsftpd logs in a local account)"
[ -x "$tool" ] || die "no tool at $tool (build it, or set ZUD_TOOL)"
for t in vsftpd /usr/bin/time python3; do command -v "$t" >/dev/null || die "$t is missing"; done

# A hundred thousand data connections in seconds leave more closed ports
# waiting out TIME_WAIT than vsftpd's passive range and the client's ports
# hold (vsftpd then fails: "500 OOPS: vsf_sysutil_bind"). The bench runs in
# a network namespace of its own whose loopback drops them at once instead,
# leaving the machine's settings alone.
if [ -z "${LARGE_TREE_NETNS:-}" ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
  exec env LARGE_TREE_NETNS=1 unshare -n bash -c \
    'ip link set lo up && sysctl -qw net.ipv4.tcp_max_tw_buckets=256 && exec "$0" "$@"' "$0" "$@"
fi

# Small files take a page each on tmpfs: the tree, the server's copy and the
# dry run's inodes.
make_bench_work large-tree $(( FILES * 12 + DRY_FILES * 2 + 65536 ))
mkdir -p "$work/root" "$work/empty"
chown ftpupload-test "$work/root"

# FILES files of 100 to 2,000 bytes, 95 to a folder, folders 20 to a parent.
make_tree() {  # dir, files, empty (1: no content)
  python3 - "$1" "$2" "$3" <<'PY'
import os, random, sys
root, count, empty = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
rng = random.Random(7)
for i in range(count):
    folder = os.path.join(root, "part%03d" % (i // 1900), "dir%04d" % (i // 95))
    if i % 95 == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%07d.html" % i), "wb") as f:
        if not empty:
            f.write(rng.randbytes(rng.randint(100, 2000)))
PY
}

port=$(free_port)
write_vsftpd_conf "$work/vsftpd.conf" "$port" "$work/root" "$work/empty" \
  max_clients=0 max_per_ip=0 xferlog_enable=NO
start_bench_vsftpd "$work/vsftpd.conf" "$port" >/dev/null 2>&1 || die "vsftpd did not start on port $port"

login=(/host:127.0.0.1 "/port:$port" /user:ftpupload-test /pass:ftpupload-test-pw /pasv /binary
       /recursive /sync /mkdir /quiet)
printf "%-34s %9s %9s %9s %7s\n" "step" "wall s" "cpu s" "peak MB" "status"
run() {  # label, arguments...
  local label=$1 status=0
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$tool" "${login[@]}" "$@" >/dev/null 2>"$work/stderr" ||
    status=$?
  # The last line: /usr/bin/time puts "Command exited with ..." before it.
  read -r wall user sys rss < <(tail -n 1 "$work/time")
  printf "%-34s %9.2f %9.2f %9.1f %7s\n" "$label" "$wall" "$(echo "$user + $sys" | bc)" \
    "$(echo "scale=1; $rss / 1024" | bc)" "$status"
  # The first failures say why; the last lines what came of it.
  [ "$status" -eq 0 ] || { head -n 3 "$work/stderr"; echo ...; tail -n 2 "$work/stderr"; } >&2
}

echo "making a tree of $FILES files" >&2
make_tree "$work/site" "$FILES" 0
run "deploy $FILES files" "/parallel:$PARALLEL" /dir:/site "$work/site/"
stored=$(find "$work/root/site" -type f ! -name '.*' | wc -l)
[ "$stored" -eq "$FILES" ] || echo "warning: the server holds $stored files of $FILES" >&2
run "nothing changed, $FILES files" "/parallel:$PARALLEL" /dir:/site "$work/site/"

if [ "$DRY_FILES" -gt 0 ]; then
  echo "making a tree of $DRY_FILES empty files" >&2
  rm -rf "$work/site" "$work/root/site"
  install -d -o ftpupload-test "$work/root/target"
  make_tree "$work/dry" "$DRY_FILES" 1
  run "dry run, $DRY_FILES files" /dryrun /dir:/target "$work/dry/"
fi
