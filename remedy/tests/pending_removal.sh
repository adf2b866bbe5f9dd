#!/usr/bin/env bash
# Deletion at the next restart, end to end, in a Wine prefix of its own: the
# probe registers the deletion of files it holds open, the prefix restarts
# (wineboot -r carries out the registered operations), the probe checks that
# they are gone. Usage: pending_removal.sh PROBE.exe
set -eu
probe=$1
cmake_dir=$(cd "$(dirname "$0")/../../cmake" && pwd)
prefix=$("$cmake_dir/wine-prefix" isolated remedy-pending)
cleanup() {
  "$cmake_dir/wine-prefix" kill "$prefix"
  rm -rf "$prefix"
}
trap cleanup EXIT

QX_WINEPREFIX=$prefix "$cmake_dir/wine-run" "$probe" register
QX_WINEPREFIX=$prefix "$cmake_dir/wine-run" wineboot -r
WINEPREFIX=$prefix wineserver -w
QX_WINEPREFIX=$prefix "$cmake_dir/wine-run" "$probe" check
