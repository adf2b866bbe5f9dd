#!/usr/bin/env bash
# Measurement run (not part of the default tests):
#   run_scan_bench.sh BENCH_PROGRAM WORKDIR [FILES]
# Generates (once) a drive of FILES files (default 100000) and runs the
# measurement program in a prefix whose drives are C: and that drive.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
program=$1 work=$2 files=${3:-100000}

drive=$work/drive-$files
if [ ! -f "$drive.ready" ]; then
  rm -rf "$drive"
  mkdir -p "$drive"
  python3 "$here/make_bench_drive.py" "$drive" "$files"
  touch "$drive.ready"
fi
prefix=$("$repo/cmake/wine-prefix" isolated scan-bench "D:=$drive")
trap '"$repo/cmake/wine-prefix" kill "$prefix"' EXIT
if find "$prefix/drive_c" -type l | grep -q .; then
  echo "refusing to run: $prefix/drive_c links out to the host" >&2
  exit 1
fi
mkdir -p "$prefix/drive_c/qxtest"
cp "$program" "$prefix/drive_c/qxtest/"
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" 'C:\qxtest\'"$(basename "$program")"
