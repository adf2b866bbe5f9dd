#!/usr/bin/env bash
# Driver of the whole-run tests: run_scan_tests.sh TEST_PROGRAM WORKDIR [GTEST ARGS]
# 1. A prefix whose drives are C: (its own system files) and D:, E: (empty
#    test folders): every test of the program; the system files must come
#    through unchanged (content, size, last-write time, mode, DOS attributes).
# 2. A prefix whose only drive is a network drive: the no-fixed-drive test.
# 3. A prefix whose D: holds directory links planted here: to each other, to
#    themselves, to a folder outside every drive, and one far down.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/scan/tests/prefix_guard.sh"
program=$1 work=$2
shift 2

rm -rf "$work"
mkdir -p "$work/d" "$work/e"
# Wine links the user's folders (Desktop, Documents, ...) in drive_c to the
# host's home directory; a scan of C: must not walk out through them.
seal() {
  find "$1/drive_c" -type l | while read -r link; do
    rm -f "$link" && mkdir -p "$link"
  done
  if find "$1/drive_c" -type l | grep -q .; then echo "FAIL: links left in $1/drive_c" >&2; exit 1; fi
}
prefix=$("$repo/cmake/wine-prefix" isolated scan-run "D:=$work/d" "E:=$work/e")
seal "$prefix"
nofixed=""
linked=""
cleanup() {
  "$repo/cmake/wine-prefix" kill "$prefix"
  [ -n "$nofixed" ] && "$repo/cmake/wine-prefix" kill "$nofixed"
  [ -n "$linked" ] && "$repo/cmake/wine-prefix" kill "$linked"
  return 0
}
trap cleanup EXIT

# The program and its helpers run from C:\qxtest, so that their own paths are
# ordinary drive paths.
install_program() {
  mkdir -p "$1/drive_c/qxtest"
  cp "$program" "$(dirname "$program")"/scan_sleeper.exe "$(dirname "$program")"/scan_file_holder.exe \
     "$1/drive_c/qxtest/"
}
install_program "$prefix"
installed='C:\qxtest\'$(basename "$program")

prefix_snapshot "$prefix" "$work"
status=0
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" "$installed" "$@" || status=$?
"$repo/cmake/wine-prefix" kill "$prefix"
prefix_unchanged "$prefix" "$work" || status=1

# Every drive a network drive: mountmgr reads the types when the prefix starts.
nofixed=$("$repo/cmake/wine-prefix" isolated scan-nofixed)
seal "$nofixed"
QX_WINEPREFIX=$nofixed "$repo/cmake/wine-run" reg add 'HKLM\Software\Wine\Drives' /v c: /d network /f >/dev/null
"$repo/cmake/wine-prefix" kill "$nofixed"
install_program "$nofixed"
QX_SCAN_NO_FIXED_DRIVE=1 QX_WINEPREFIX=$nofixed "$repo/cmake/wine-run" "$installed" \
  --gtest_filter='NoFixedDrive.*' || status=$?

mkdir -p "$work/links/pair/a" "$work/links/pair/b" "$work/links/self" "$work/outside"
ln -s ../b "$work/links/pair/a/to_b"
ln -s ../a "$work/links/pair/b/to_a"
ln -s . "$work/links/self/l1"
ln -s . "$work/links/self/l2"
ln -s "$(cd "$work/outside" && pwd)" "$work/links/outward"
# Four parts of 60 characters down, a link to pair/b and a plain folder:
# paths through them pass MAX_PATH, the folders stay short enough to walk.
deep=$work/links/deep
for c in k l m n; do deep=$deep/$(head -c 60 /dev/zero | tr '\0' "$c"); done
mkdir -p "$deep/plain"
ln -s "$(cd "$work/links/pair/b" && pwd)" "$deep/to_b"
linked=$("$repo/cmake/wine-prefix" isolated scan-linked "D:=$work/links")
seal "$linked"
install_program "$linked"
QX_SCAN_LINKED_DRIVE=1 QX_WINEPREFIX=$linked "$repo/cmake/wine-run" "$installed" \
  --gtest_filter='LinkedDrive.*' || status=$?
rm -rf "$work/links/deep"
exit $status
