#!/usr/bin/env bash
# Smoke test of the benchmark program on a 200-file tree: every Windows
# contender visits the same files, the file pass and the straightforward
# check detect the two forged specimens (and the program puts them back),
# and the probe reads a 1536-byte candidate once.
# usage: smoke_test.sh BENCH_EXE WORK_DIR
set -euo pipefail
bench=$1; work=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

rm -rf "$work"; mkdir -p "$work"
python3 "$here/make_tree.py" "$work/tree" 200 - 7 > /dev/null
prefix=$("$root/cmake/wine-prefix" isolated bench-smoke "D:=$work/tree")
trap '"$root/cmake/wine-prefix" kill "$prefix"; rm -rf "$prefix"' EXIT
mkdir -p "$prefix/drive_c/qx-bench"
cp "$bench" "$prefix/drive_c/qx-bench/bench.exe"

display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a)
run_bench() {
  (cd "$prefix/drive_c/qx-bench" &&
   QX_WINEPREFIX=$prefix "${display[@]}" "$root/cmake/wine-run" 'C:\qx-bench\bench.exe' "$@") | tr -d '\r'
}
run_bench files 1 --forge 0 1 'D:\specimen-a.bin' --forge 1 2 'D:\dir000_0\specimen-b.bin' > "$work/files.txt"
run_bench probe 5 > "$work/probe.txt"

fail() { echo "FAIL: $*"; cat "$work/files.txt" "$work/probe.txt"; exit 1; }
files=$(grep '^run ' "$work/files.txt" | sed 's/.* files=\([0-9]*\).*/\1/' | sort -u)
[ "$(echo "$files" | wc -l)" -eq 1 ] || fail "contenders visited different numbers of files: $files"
[ "$files" -gt 200 ] || fail "only $files files visited"
for contender in walk pass report check; do
  grep -q "^run contender=$contender " "$work/files.txt" || fail "no $contender run"
done
for contender in pass check; do
  grep -q "^run contender=$contender .* detections=2 " "$work/files.txt" || fail "$contender did not detect 2"
done
printf 'row contender=pass\tD:\\specimen-a.bin\tWorm.Quellix.c\tDeleted\n' > "$work/expected.txt"
printf 'row contender=pass\tD:\\dir000_0\\specimen-b.bin\tWorm.Quellix.c.dll2\tDeleted\n' >> "$work/expected.txt"
grep '^row contender=pass' "$work/files.txt" | diff "$work/expected.txt" - || fail "rows of the file pass"
[ -f "$work/tree/specimen-a.bin" ] && [ -f "$work/tree/dir000_0/specimen-b.bin" ] || fail "specimens not put back"
grep -q '^probe contender=checkfile .* bytes_per_call=1536 reads_per_call=1 .* matched=0' "$work/probe.txt" ||
  fail "probe of CheckFile"
echo "bench smoke test passed: $files files"
