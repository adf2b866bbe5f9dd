#!/usr/bin/env bash
# Runs the walker's Windows tests in a Wine prefix of their own: drive D: is a
# scratch tree built here on the host side (faster than from Windows, and the
# only way to plant a symbolic link), drive E: an empty folder.
#   run_with_drives.sh TEST_PROGRAM WORK_DIR [gtest arguments]
set -eu
program=$1 work=$2
shift 2
repo=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work/d/many" "$work/d/cycle/a/b" "$work/e"
# 100 000 empty files.
(cd "$work/d/many" && seq -f 'file%06g.bin' 1 100000 | xargs touch)
# A link in a\b back to a: a\b\upward\ is a\ again.
echo one > "$work/d/cycle/a/one.txt"
echo two > "$work/d/cycle/a/b/two.txt"
ln -s .. "$work/d/cycle/a/b/upward"
# A pair of directories linking to each other, a directory with two links
# back to itself (the walk would double at every level), and a link to a
# directory outside every drive, which must never be walked.
mkdir -p "$work/d/links/pair/a" "$work/d/links/pair/b" "$work/d/links/self" "$work/outside/inner"
echo one > "$work/d/links/pair/a/one.txt"
echo two > "$work/d/links/pair/b/two.txt"
echo self > "$work/d/links/self/self.txt"
echo secret > "$work/outside/secret.txt"
echo secret > "$work/outside/inner/deeper.txt"
ln -s ../b "$work/d/links/pair/a/to_b"
ln -s ../a "$work/d/links/pair/b/to_a"
ln -s . "$work/d/links/self/l1"
ln -s . "$work/d/links/self/l2"
ln -s "$(cd "$work/outside" && pwd)" "$work/d/links/outward"

prefix=$("$repo/cmake/wine-prefix" isolated "walker-$$" D:="$work/d" E:="$work/e")
cleanup() {
  "$repo/cmake/wine-prefix" kill "$prefix"
  rm -rf "$prefix" "$work"
}
trap cleanup EXIT
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" "$program" "$@"
