#!/usr/bin/env bash
# Runs the hosted-dialog tests as a user meets the program: in a Wine prefix
# whose fixed drives are its own C: and a test drive D:, under an X server of
# their own (a 24-bit screen, so that the link's colours read back exactly,
# and no other test moving the mouse), with the system language of each run.
#   program_dialog_test.sh TEST_EXE RECORDER_EXE WORK_DIR
set -u
test_exe=$1
recorder=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ -z "${QX_OWN_DISPLAY:-}" ]; then
  export QX_OWN_DISPLAY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

rm -rf "$work"
mkdir -p "$work/drive"
# One prefix per build folder, so two builds can run this test at once.
name=ui-dialog-$(printf '%s' "$work" | md5sum | cut -c1-8)
prefix=$("$root/cmake/wine-prefix" isolated "$name" "D:=$work/drive") || exit 1
trap '"$root/cmake/wine-prefix" kill "$prefix"' EXIT
mkdir -p "$prefix/drive_c/qx"
cp "$test_exe" "$prefix/drive_c/qx/dialog_test.exe"
cp "$recorder" "$prefix/drive_c/qx/url_recorder.exe"

run() {
  (cd "$prefix/drive_c" && QX_WINEPREFIX=$prefix "$root/cmake/wine-run" "$@")
}
# A new system language needs a new wineserver.
restart() { "$root/cmake/wine-prefix" kill "$prefix"; }

# The prefix's web browser records what it is asked to open instead.
run reg add 'HKCR\http\shell\open\command' /ve /t REG_SZ \
  /d '"C:\qx\url_recorder.exe" C:\qx\shell-request.txt "%1"' /f >/dev/null || exit 1

# run_test FILTER [VAR=VALUE ...]: one group of tests with its environment.
# A program that crashes under Wine can still end with status 0, so the
# group passes only when GoogleTest itself said so.
run_test() {
  local filter=$1 log=$work/last-run.log status; shift
  (cd "$prefix/drive_c" && env "$@" QX_WINEPREFIX="$prefix" \
    timeout 150 "$root/cmake/wine-run" 'C:\qx\dialog_test.exe' --gtest_filter="$filter") >"$log" 2>&1
  status=$?
  tr -d '\r' <"$log" | grep -v 'setlocale'
  [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log"
}

# A crash prints its backtrace and ends instead of waiting on a dialog.
run reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null || exit 1

failures=0
check() {
  local name=$1; shift
  echo "== $name"
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

check "state table, real scan of C: and D:" \
  run_test 'MainDialogScan.*' 'QX_TEST_DRIVE=D:\' LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8
while read -r locale index; do
  restart
  check "texts in $locale" run_test 'MainDialogTexts.*' LANG="$locale" LC_ALL="$locale" QX_EXPECT_LANGUAGE="$index"
done <<'TABLE'
zh_CN.UTF-8 0
en_US.UTF-8 1
zh_TW.UTF-8 2
ja_JP.UTF-8 3
TABLE
restart
check "About box" run_test 'AboutBox.*' 'QX_SHELL_RECORD=C:\qx\shell-request.txt' LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8

echo "$failures failed"
[ "$failures" -eq 0 ]
