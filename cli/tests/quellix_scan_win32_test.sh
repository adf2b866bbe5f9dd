#!/usr/bin/env bash
# Driver of the end-to-end tests of quellix-scan.exe:
#   quellix_scan_win32_test.sh TEST_PROGRAM WORKDIR [GTEST ARGS]
# A prefix of its own whose drives are C: (its own system files) and D:, E:
# (empty test folders); the programs run from C:\qxtest. The system files
# must come through unchanged. Then one row under three locales: it reads
# the same in each, only the console's code page differs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/scan/tests/prefix_guard.sh"
program=$1 work=$2
shift 2
bin=$(dirname "$program")

rm -rf "$work"
mkdir -p "$work/d" "$work/e"
prefix=$("$repo/cmake/wine-prefix" isolated quellix-scan "D:=$work/d" "E:=$work/e")
trap '"$repo/cmake/wine-prefix" kill "$prefix"' EXIT
mkdir -p "$prefix/drive_c/qxtest"
cp "$program" "$bin/quellix-scan.exe" "$bin/scan_sleeper.exe" "$bin/scan_file_holder.exe" "$bin/forge-specimen.exe" \
   "$prefix/drive_c/qxtest/"

prefix_snapshot "$prefix" "$work"
status=0
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" 'C:\qxtest\'"$(basename "$program")" "$@" || status=$?
"$repo/cmake/wine-prefix" kill "$prefix"
# Wine takes the system language and the console's code page from the Unix
# locale (LC_ALL wins, even where the host lacks the locale). The rows read
# the same in every locale, as the Linux scanner's do; only the code page
# of the console differs.
while read -r locale codepage want; do
  mkdir -p "$work/d/lang"
  QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" 'C:\qxtest\forge-specimen.exe' 0 'D:\lang\w.exe' 1 </dev/null >/dev/null 2>&1
  code=0
  env -u LC_CTYPE -u LC_MESSAGES LANG="$locale" LC_ALL="$locale" QX_WINEPREFIX=$prefix \
    "$repo/cmake/wine-run" 'C:\qxtest\quellix-scan.exe' --no-memory --remove 'D:\lang' </dev/null >"$work/lang.txt" 2>/dev/null ||
    code=$?
  "$repo/cmake/wine-prefix" kill "$prefix" </dev/null
  shown=$(iconv -f "$codepage" -t UTF-8 <"$work/lang.txt" | tr -d '\r' | head -1)
  if [ "$code" = 1 ] && [ "$shown" = "D:\lang\w.exe: Worm.Quellix.c ($want)" ] && [ ! -e "$work/d/lang/w.exe" ]; then
    echo "ok   $locale: $shown"
  else
    echo "FAIL $locale: exit $code, first line '$shown', want status '$want' in $codepage" >&2
    status=1
  fi
done <<'TABLE'
zh_CN.UTF-8 CP936 removed
ja_JP.UTF-8 CP932 removed
en_US.UTF-8 CP437 removed
TABLE

prefix_unchanged "$prefix" "$work" || status=1
exit $status
