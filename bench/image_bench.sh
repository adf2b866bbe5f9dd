#!/usr/bin/env bash
# quellix-scan --image beside the way it replaces: mounting the same NTFS
# image with ntfs-3g (as root) and scanning the mount. One NTFS file system
# of FILES small files (whole disk, no partition table, no Windows folder:
# --image then scans every NTFS file system it finds) plus one forged
# specimen per signature row. Needs root (for the ntfs-3g mount) and FUSE.
#
# usage: bench/image_bench.sh BUILD_DIR WORK_DIR [FILES]
#   BUILD_DIR holds bin/quellix-scan and bin/forge-specimen
# Prints seconds: the appliance's --image run and the mount + scan + unmount.
set -euo pipefail
build=${1:?usage: image_bench.sh BUILD_DIR WORK_DIR [FILES]}
work=${2:?usage: image_bench.sh BUILD_DIR WORK_DIR [FILES]}
files=${3:-100000}
scan=$build/bin/quellix-scan
forge=$build/bin/forge-specimen
export LIBGUESTFS_BACKEND_SETTINGS=${LIBGUESTFS_BACKEND_SETTINGS:-force_tcg}
mkdir -p "$work"
image=$work/ntfs-$files.raw
mnt=$work/mnt
mkdir -p "$mnt"
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.3f", a - b }'; }

if [ ! -f "$image.done" ]; then
  started=$(now)
  rm -f "$image"
  truncate -s 3G "$image"
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
  touch "$image.done"
  echo "image of $files files made in $(since "$started") s"
fi

sync
started=$(now)
set +e
"$scan" --quiet --image "$image" > "$work/image.out" 2> "$work/image.err"
status=$?
set -e
echo "--image: $(since "$started") s, exit status $status, $(grep -c '(left in place)' "$work/image.out") detections"
grep -E "Files examined|Time:" "$work/image.out" | sed 's/^/  /'

# Cold as far as this machine allows: the page cache is dropped when
# permitted.
sync
echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || echo "(page cache not dropped: not permitted here)"
started=$(now)
ntfs-3g -o ro "$image" "$mnt"
set +e
"$scan" --quiet "$mnt" > "$work/mount.out" 2> "$work/mount.err"
status=$?
set -e
umount "$mnt"
echo "ntfs-3g + quellix-scan: $(since "$started") s, exit status $status, $(grep -c '(left in place)' "$work/mount.out") detections"
grep -E "Files examined|Time:" "$work/mount.out" | sed 's/^/  /'
