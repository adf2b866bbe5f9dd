#!/usr/bin/env bash
# Runs the system query tests in a Wine prefix of their own (its Windows
# version is changed by the tests) whose drive D: is a scratch folder. The
# folder's file system figures, as the host sees them, go along in
# QX_DRIVE_FIGURES: block size, total blocks, free blocks, blocks available.
# The child program is copied onto D: (the prefix has no drive that reaches
# the build folder).
#   run_with_drive.sh TEST_PROGRAM PROBE_PROGRAM WORK_DIR [gtest arguments]
set -eu
program=$1 probe=$2 work=$3
shift 3
repo=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work/d"
cp "$probe" "$work/d/sys_version_probe.exe"
prefix=$("$repo/cmake/wine-prefix" isolated "sys-$$" D:="$work/d")
sample() {
  while :; do
    stat -f -c '%S %b %f %a' "$work/d" > "$work/d/figures.tmp" && mv "$work/d/figures.tmp" "$work/d/figures.txt"
    sleep 0.05
  done
}
sample &
sampler=$!
cleanup() {
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  "$repo/cmake/wine-prefix" kill "$prefix"
  rm -rf "$prefix" "$work"
}
trap cleanup EXIT
while [ ! -f "$work/d/figures.txt" ]; do sleep 0.05; done
QX_WINEPREFIX=$prefix "$repo/cmake/wine-run" "$program" "$@"
