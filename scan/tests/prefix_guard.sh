# Sourced by the scripts that run test programs in a Wine prefix of their
# own (they set `repo`): the prefix's Windows folder must come through the
# runs unchanged, and its drive_c must never link out to the host.

# Records the Windows folder of prefix $1 in folder $2.
prefix_snapshot() {
  python3 "$repo/scan/tests/snapshot_tree.py" "$1/drive_c/windows" >"$2/system-before.txt"
}

# 0 when prefix $1's Windows folder is as prefix_snapshot found it (in $2)
# and drive_c holds no link; else says what is wrong and returns 1.
prefix_unchanged() {
  local prefix=$1 work=$2 ok=0
  if find "$prefix/drive_c" -type l | grep -q .; then
    echo "FAIL: Wine linked drive_c out to the host during the run" >&2
    ok=1
  fi
  python3 "$repo/scan/tests/snapshot_tree.py" "$prefix/drive_c/windows" >"$work/system-after.txt"
  if ! diff "$work/system-before.txt" "$work/system-after.txt" >"$work/system-diff.txt"; then
    echo "FAIL: the runs changed the prefix's Windows folder:" >&2
    head -20 "$work/system-diff.txt" >&2
    ok=1
  else
    echo "system drive: $(wc -l <"$work/system-before.txt") files under C:\\windows unchanged"
  fi
  return $ok
}
