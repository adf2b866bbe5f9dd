#!/usr/bin/env bash
# Driver of the end-to-end tests of quellix-scan.exe:
#   quellix_scan_win32_test.sh TEST_PROGRAM WORKDIR [GTEST ARGS]
# A prefix of its own whose drives are C: (its own system files) and D:, E:
# (empty test folders); the programs run from C:\qxtest. The system files
# must come through unchanged.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
program=$1 work=$2
shift 2
bin=$(dirname "$program")

rm -rf "$work"
mkdir -p "$work/d" "$work/e"
prefix=$("$repo/cmake/wine-prefix" isolated quellix-scan "D:=$work/d" "E:=$work/e")
trap '"$repo/cmake/wine-prefix" kill "$prefix"' EXIT
mkdir -p "$prefix/drive_c/qxtest"
cp "$program" "$bin/quellix-scan.exe" "$bin/scan_sleeper.exe" "$bin/scan_file_holder.exe" "$prefix/drive_c/qxtest/"

python3 "$repo/scan/tests/snapshot_tree.py" "$prefix/drive_c/windows" >"$work/system-before.txt"
status=0
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" 'C:\qxtest\'"$(basename "$program")" "$@" || status=$?
"$repo/cmake/wine-prefix" kill "$prefix"
python3 "$repo/scan/tests/snapshot_tree.py" "$prefix/drive_c/windows" >"$work/system-after.txt"
if ! diff "$work/system-before.txt" "$work/system-after.txt" >"$work/system-diff.txt"; then
  echo "FAIL: the scans changed the prefix's system files:" >&2
  head -20 "$work/system-diff.txt" >&2
  status=1
fi
if find "$prefix/drive_c" -type l | grep -q .; then
  echo "FAIL: Wine linked drive_c out to the host during the run" >&2
  status=1
fi
exit $status
