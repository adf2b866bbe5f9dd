#!/usr/bin/env bash
# quellix-scan --image, detection only (read in this process: qemu-nbd and
# The Sleuth Kit), on one NTFS file system of FILES small files (whole disk,
# no partition table, no Windows folder: every NTFS file system is scanned)
# plus one forged specimen per signature row, as a raw image and as qcow2;
# beside it the way it replaces, mounting the raw image with ntfs-3g and
# scanning the mount. Each run is made once first, so that the image is in
# the page cache: the times are warm. Then each again cold, the page cache
# dropped just before (as root; said and skipped where it cannot be), the
# ntfs-3g way timed from its mount to its unmount, as one would use it on
# a disk just brought in. Peak memory is the largest resident set of the
# scanner or a process it waited for (qemu-nbd), from /usr/bin/time -v
# (ntfs-3g's own daemon is not counted). Needs root (ntfs-3g) and FUSE.
#
# usage: bench/image_bench.sh BUILD_DIR WORK_DIR [FILES]
#   BUILD_DIR holds bin/quellix-scan and bin/forge-specimen
set -euo pipefail
build=${1:?usage: image_bench.sh BUILD_DIR WORK_DIR [FILES]}
work=${2:?usage: image_bench.sh BUILD_DIR WORK_DIR [FILES]}
files=${3:-100000}
scan=$build/bin/quellix-scan
forge=$build/bin/forge-specimen
mkdir -p "$work"
image=$work/ntfs-$files.raw
qcow2=$work/ntfs-$files.qcow2
mnt=$work/mnt
mkdir -p "$mnt"
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.3f", a - b }'; }

if [ ! -f "$image.done" ]; then
  started=$(now)
  rm -f "$image" "$qcow2"
  # Room for the files (at most 4 KiB each) and their records.
  truncate -s "$(( files / 256 + 1024 > 3072 ? files / 256 + 1024 : 3072 ))M" "$image"
  mkntfs -F -Q -q "$image"
  ntfs-3g "$image" "$mnt"
  python3 - "$mnt" "$files" <<'PY'
import os, sys, random
root, count = sys.argv[1], int(sys.argv[2])
random.seed(1)
per = 1000
for i in range(count):
    folder = os.path.join(root, "Data", "d%03d" % (i // per))
    if i % per == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%06d.bin" % i), "wb") as f:
        f.write(os.urandom(random.randint(64, 4096)))
PY
  mkdir -p "$mnt/WINDOWS/system32"
  rows=$("$forge" --list | wc -l)
  for ((r = 0; r < rows; r++)); do "$forge" "$r" "$mnt/WINDOWS/system32/row $r.exe" "$r"; done
  umount "$mnt"
  qemu-img convert -f raw -O qcow2 "$image" "$qcow2"
  touch "$image.done"
  echo "image of $files files made in $(since "$started") s"
fi

# One measured run of "$@" after an unmeasured one; prints its seconds,
# status, detections and peak memory. measure_cold: one run, the page
# cache dropped first.
measure() {
  local name=$1; shift
  "$@" > "$work/$name.out" 2> "$work/$name.err" || true
  timed "$name" "$@"
}
can_drop=0
if [ "$(id -u)" -eq 0 ] && sync && (echo 3 > /proc/sys/vm/drop_caches) 2>/dev/null; then can_drop=1; fi
measure_cold() {
  local name=$1; shift
  if [ "$can_drop" -ne 1 ]; then
    echo "$name: not measured: the page cache cannot be dropped here (needs root and a writable /proc/sys/vm)"
    return
  fi
  sync
  echo 3 > /proc/sys/vm/drop_caches
  timed "$name" "$@"
}
timed() {
  local name=$1; shift
  set +e
  /usr/bin/time -v -o "$work/$name.time" "$@" > "$work/$name.out" 2> "$work/$name.err"
  local status=$?
  set -e
  local wall rss
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/$name.time")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/$name.time")
  echo "$name: $wall (m:ss), exit status $status, $(grep -c '(left in place)' "$work/$name.out") detections, peak $((rss / 1024)) MiB"
  grep -E "Files examined|Time:" "$work/$name.out" | sed 's/^/  /'
}

measure "image-raw" "$scan" --quiet --image "$image"
measure "image-qcow2" "$scan" --quiet --image "$qcow2"
ntfs-3g -o ro "$image" "$mnt"
measure "ntfs-3g-mount" "$scan" --quiet "$mnt"
umount "$mnt"

measure_cold "cold-image-raw" "$scan" --quiet --image "$image"
measure_cold "cold-image-qcow2" "$scan" --quiet --image "$qcow2"
# The mount belongs to this way of reading: timed with it.
measure_cold "cold-ntfs-3g-mount-and-scan" sh -c \
  'ntfs-3g -o ro "$1" "$2" || exit 2; "$3" --quiet "$2"; s=$?; umount "$2"; exit $s' sh "$image" "$mnt" "$scan"
