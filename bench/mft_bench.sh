#!/usr/bin/env bash
# quellix-scan on an NTFS volume mounted with ntfs-3g, detection only: its
# default listing (read from the volume's MFT where it can) against its own
# folder-by-folder walk (--walk dirs) and fd with 8 and 32 threads over the
# same mount, cold; and against find, warm. The volume is FILES small files in
# folders of 1000 plus one forged specimen per signature row
# (bench/ntfs_volume.py files), made once and kept in WORK_DIR.
#
# Cold: before each run the volume is unmounted, the page cache dropped
# (sync; echo 3 > /proc/sys/vm/drop_caches) and the volume mounted again with
# ntfs-3g; the run alone is timed. Warm: the same mount, each command made
# once unmeasured first. Peak memory is the largest resident set of the
# command (/usr/bin/time -v; ntfs-3g's daemon is not counted). The ratios
# are each run's wall time over the other's, per FILES. Needs root and FUSE.
# fd is Debian's fd-find (command fdfind): apt-get install fd-find.
#
# usage: bench/mft_bench.sh BUILD_DIR WORK_DIR [FILES...]   (default 100000 1000000)
#   BUILD_DIR holds bin/quellix-scan and bin/forge-specimen
#   MFT_BENCH_RUNS=N   cold rounds per FILES (default 1; 0: warm only)
#   MFT_BENCH_MOUNT=rw|ro  how ntfs-3g mounts the volume (default rw, as a
#                      writing run needs; a read-only mount lists far faster
#                      warm, the kernel keeping what it read)
set -euo pipefail
build=${1:?usage: mft_bench.sh BUILD_DIR WORK_DIR [FILES...]}
work=${2:?usage: mft_bench.sh BUILD_DIR WORK_DIR [FILES...]}
shift 2
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100000 1000000)
runs=${MFT_BENCH_RUNS:-1}
mode=${MFT_BENCH_MOUNT:-rw}
case $mode in rw|ro) ;; *) echo "mft_bench.sh: MFT_BENCH_MOUNT is rw or ro" >&2; exit 2 ;; esac
here=$(cd "$(dirname "$0")" && pwd)
scan=$(realpath "$build/bin/quellix-scan")
forge=$(realpath "$build/bin/forge-specimen")
command -v fdfind >/dev/null || { echo "mft_bench.sh: no fdfind (apt-get install fd-find)" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "mft_bench.sh: needs root (ntfs-3g mounts, dropping the page cache)" >&2; exit 2; }
mkdir -p "$work"
work=$(realpath "$work")
mnt=$work/mnt
mkdir -p "$mnt"
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.1f", a - b }'; }

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg);" \
  "quellix-scan of $(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo '?'), $(fdfind --version), $(ntfs-3g --version 2>&1 | head -1), mounted $mode"

# Runs "$@" under /usr/bin/time -v; prints NAME: seconds, status, what it
# found, peak memory, and records the seconds in $work/NAME.s.
timed() {
  local name=$1; shift
  rm -f "$work/$name.jsonl"
  set +e
  /usr/bin/time -v -o "$work/$name.time" "$@" > "$work/$name.out" 2> "$work/$name.err"
  local status=$?
  set -e
  local wall rss seconds found
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/$name.time")
  seconds=$(echo "$wall" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/$name.time")
  echo "$seconds" > "$work/$name.s"
  if [ "${1##*/}" = quellix-scan ]; then
    found="$(sed -n 's/^Files examined: //p' "$work/$name.out") files, $(grep -c '(left in place)' "$work/$name.out" || true) detections"
    found="$found; $(grep -o '"type":"walk".*"reason":"[^"]*' "$work/$name.jsonl" 2>/dev/null | sed 's/.*"reason":"//' | head -1 || true)"
  else
    found="$(wc -l < "$work/$name.out") files listed"
  fi
  echo "$name: $seconds s, exit status $status, $found, peak $((rss / 1024)) MiB"
}

mounted() { ntfs-3g -o "$mode" "$image" "$mnt"; }
unmounted() { if mountpoint -q "$mnt"; then umount "$mnt"; fi; }
cold() {
  local name=$1; shift
  unmounted
  sync
  echo 3 > /proc/sys/vm/drop_caches
  mounted
  timed "$name" "$@"
  unmounted
}
warm() {
  local name=$1; shift
  rm -f "$work/$name.jsonl"
  "$@" > /dev/null 2>&1 || true
  timed "$name" "$@"
}
ratio() { awk -v a="$(cat "$work/$1.s")" -v b="$(cat "$work/$2.s")" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
faster() { awk -v a="$(cat "$work/$1.s")" -v b="$(cat "$work/$2.s")" 'BEGIN { print (a <= b) ? "'"$1"'" : "'"$2"'" }'; }

trap unmounted EXIT
for files in "${sizes[@]}"; do
  image=$work/ntfs-$files.raw
  if [ ! -f "$image.rows" ]; then
    started=$(now)
    python3 "$here/ntfs_volume.py" files "$image" "$forge" "$files"
    echo "volume of $files files made in $(since "$started") s"
  fi
  echo "## $files files (+ $(wc -l < "$image.rows") specimens)"
  for ((round = 1; round <= runs; round++)); do
    q=$files-$round
    cold "cold-quellix-scan-$q" "$scan" --quiet --json "$work/cold-quellix-scan-$q.jsonl" "$mnt"
    cold "cold-quellix-scan-walk-dirs-$q" "$scan" --quiet --walk dirs --json "$work/cold-quellix-scan-walk-dirs-$q.jsonl" "$mnt"
    cold "cold-fd-j8-$q" fdfind -u -j 8 -t f -S +0b . "$mnt"
    cold "cold-fd-j32-$q" fdfind -u -j 32 -t f -S +0b . "$mnt"
    fd=$(faster "cold-fd-j8-$q" "cold-fd-j32-$q")
    echo "  cold: quellix-scan / the faster fd ($fd) = $(ratio "cold-quellix-scan-$q" "$fd") (target at most 0.3);" \
      "quellix-scan / its --walk dirs = $(ratio "cold-quellix-scan-$q" "cold-quellix-scan-walk-dirs-$q") (target at most 0.5)"
  done
  mounted
  warm "warm-quellix-scan-$files" "$scan" --quiet --json "$work/warm-quellix-scan-$files.jsonl" "$mnt"
  warm "warm-quellix-scan-walk-dirs-$files" "$scan" --quiet --walk dirs --json "$work/warm-quellix-scan-walk-dirs-$files.jsonl" "$mnt"
  warm "warm-find-$files" find "$mnt" -type f -printf '%s\n'
  echo "  warm: quellix-scan / find = $(ratio "warm-quellix-scan-$files" "warm-find-$files") (target at most 1.0)"
  unmounted
done
