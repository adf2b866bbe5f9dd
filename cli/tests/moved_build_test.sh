#!/usr/bin/env bash
# A built tree copied elsewhere builds the copy's sources: the source tree
# and a built build/linux are copied (cp -a) to WORK, the copy's changelog
# gets another version, and `scripts/build build/linux` in the copy must
# make a program that says that version, leaving the original untouched.
# usage: moved_build_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2
built=$source_dir/build/linux
[ -f "$built/build.ninja" ] || { echo "build/linux is not built (bash scripts/build)"; exit 77; }
before=$(sha256sum "$built/bin/quellix-scan")
rm -rf "$work"
mkdir -p "$work/tree/build"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/tree" -xf -
cp -a "$built" "$work/tree/build/linux"
sed -i '1s/^quellix-scan ([^)]*)/quellix-scan (9.8.7-1)/' "$work/tree/cli/debian/changelog"
bash "$work/tree/scripts/build" build/linux >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
grep -q "configured for $source_dir" "$work/build.log" || { cat "$work/build.log"; echo "not configured again"; exit 1; }
version=$("$work/tree/build/linux/bin/quellix-scan" --version)
version=${version%%$'\n'*}
[ "$version" = "quellix-scan 9.8.7" ] || { cat "$work/build.log"; echo "the copy built old sources: $version"; exit 1; }
[ "$(sha256sum "$built/bin/quellix-scan")" = "$before" ] || { echo "the original build changed"; exit 1; }
rm -rf "$work"
echo "moved build ok"
