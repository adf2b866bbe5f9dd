#!/usr/bin/env bash
# cmake/wine-ctest on hand-written CTest files: a test refused once by Wine's
# start-up is run again and passes, and the output says so; a test that
# fails once for another reason fails at once (it would pass a second
# time); a test refused twice fails.
# usage: wine_ctest_test.sh WORK_DIR
set -euo pipefail
wine_ctest=$(cd "$(dirname "$0")/../cmake" && pwd)/wine-ctest
work=$1
rm -rf "$work"
# case NAME TEST_LINES...: a folder whose CTestTestfile.cmake holds the lines.
case_dir() {
  local dir=$work/$1; shift
  mkdir -p "$dir"
  printf '%s\n' "$@" >"$dir/CTestTestfile.cmake"
  echo "$dir"
}
# A command that fails its first FAILS runs (printing WORDS) and then passes;
# each run leaves a line in RUNS.
step() { echo "add_test($1 bash -c \"echo run >>'$work/$1.runs'; [ \\\$(wc -l <'$work/$1.runs') -gt $2 ] || { echo '$3'; exit 1; }\")"; }
refusal='wine client error:0: recvmsg: Connection reset by peer'
expect() {  # expect STATUS DIR TEXT...
  local want=$1 dir=$2; shift 2
  local got=0 out
  out=$(cd "$dir" && "$wine_ctest" --output-on-failure 2>&1) || got=$?
  if { [ "$want" = 0 ] && [ "$got" != 0 ]; } || { [ "$want" != 0 ] && [ "$got" = 0 ]; }; then
    echo "$out"; echo "$dir: exit $got, expected $([ "$want" = 0 ] && echo 0 || echo 'a failure')"; exit 1
  fi
  for text in "$@"; do grep -qF -- "$text" <<<"$out" || { echo "$out"; echo "$dir: no \"$text\""; exit 1; }; done
}
expect 0 "$(case_dir refused 'add_test(fine true)' "$(step refused_once 1 "$refusal")")" \
  "wine-ctest: running refused_once again: Wine refused its start"
[ "$(wc -l <"$work/refused_once.runs")" -eq 2 ] || { echo "refused_once did not run twice"; exit 1; }
expect 1 "$(case_dir flaky 'add_test(fine true)' "$(step flaky_once 1 'a wrong answer')")" \
  "wine-ctest: flaky_once failed on its own merits"
[ "$(wc -l <"$work/flaky_once.runs")" -eq 1 ] || { echo "flaky_once ran again"; exit 1; }
expect 1 "$(case_dir twice "$(step refused_twice 2 "$refusal")")" "wine-ctest: running refused_twice again"
[ "$(wc -l <"$work/refused_twice.runs")" -eq 2 ] || { echo "refused_twice did not run exactly twice"; exit 1; }
rm -rf "$work"
echo "wine-ctest ok"
