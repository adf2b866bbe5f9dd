#!/usr/bin/env bash
# Driver of the WOW64 test: the shipped i686 programs on 64-bit Windows.
#   wow64_test.sh TEST_PROGRAM WORKDIR [GTEST ARGS]
# A 64-bit prefix of its own (C:, and D:, E: as empty test folders) in which
# the i686 test program, quellix-scan.exe and the sleeper run as 32-bit
# processes under WOW64 (Wine redirects System32 for them as Windows does).
# Afterwards nothing in the prefix's Windows folder may differ from before.
# Only a kernel that runs 32-bit code can run them: elsewhere the test says
# so and ends with status 77, which CTest reports as skipped.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$repo/scan/tests/prefix_guard.sh"
program=$1 work=$2
shift 2
bin=$(dirname "$program")
skipped=77

# The 32-bit loader; QX_WOW64_LOADER32 names another (to see this path taken).
loader32=${QX_WOW64_LOADER32:-/usr/lib/wine/wine}
if ! "$loader32" --version >/dev/null 2>&1; then
  echo "SKIPPED: $loader32 does not run here: this kernel does not execute 32-bit programs," \
       "so there is no WOW64 to test (it runs where 32-bit code runs, e.g. through scripts/test)"
  exit $skipped
fi
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "SKIPPED: no 64-bit Wine loader (/usr/lib/wine/wine64): no 64-bit prefix can be made"
  exit $skipped
fi
for file in "$program" "$bin/quellix-scan.exe" "$bin/scan_sleeper.exe" "$bin/wow64_probe.dll"; do
  [ -f "$file" ] || { echo "FAIL: $file is not built" >&2; exit 1; }
done

# The programs are i686 whatever CTest says: the prefix is 64-bit.
export QX_WINE_ARCH=win64
source "$repo/cmake/wine-env"
rm -rf "$work"
mkdir -p "$work/d" "$work/e"
prefix=$("$repo/cmake/wine-prefix" isolated wow64 "D:=$work/d" "E:=$work/e") || exit 1
trap '"$repo/cmake/wine-prefix" kill "$prefix"' EXIT
for folder in system32 syswow64; do
  [ -d "$prefix/drive_c/windows/$folder" ] ||
    { echo "FAIL: $prefix has no windows/$folder: not a 64-bit prefix" >&2; exit 1; }
done
mkdir -p "$prefix/drive_c/qxtest"
cp "$program" "$bin/quellix-scan.exe" "$bin/scan_sleeper.exe" "$bin/wow64_probe.dll" "$prefix/drive_c/qxtest/"

prefix_snapshot "$prefix" "$work"
status=0
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" 'C:\qxtest\'"$(basename "$program")" "$@" || status=$?
"$repo/cmake/wine-prefix" kill "$prefix"

# Seen from outside Windows: every planted file is gone, every other file of
# the Windows folder is as it was.
left=$(find "$prefix/drive_c" -iname 'qxwow_*')
if [ -n "$left" ]; then
  echo "FAIL: planted files left behind: $left" >&2
  status=1
fi
prefix_unchanged "$prefix" "$work" || status=1
exit $status
