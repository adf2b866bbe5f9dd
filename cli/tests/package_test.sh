#!/usr/bin/env bash
# The Debian package: built by cpack from this build folder, it holds the
# program, its own man page (with the same long options as --help), the
# copyright file, the changelog and the documents, depends on libhivex and
# suggests libguestfs, its version is the changelog's, and lintian finds no error and
# no hardening tag in it (with -I: its informational tags too).
# usage: package_test.sh BUILD_DIR VERSION DEBIAN_REVISION
set -euo pipefail
build=$1 version=$2 revision=$3
[ -f "$build/CMakeCache.txt" ] || { echo "$build is not configured (bash scripts/build)"; exit 77; }
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
arch=$(dpkg --print-architecture)
out=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$out"' EXIT
(cd "$build" && cmake --build . --target quellix-scan quellix-scan-man quellix-scan-changelog >/dev/null &&
  cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb="$out/quellix-scan_${version}-${revision}_${arch}.deb"
[ -f "$deb" ] || { echo "no $deb:"; ls "$out"; exit 1; }
contents=$(dpkg-deb -c "$deb")
doc=./usr/share/doc/quellix-scan
for f in ./usr/bin/quellix-scan ./usr/share/man/man1/quellix-scan.1.gz $doc/copyright $doc/changelog.Debian.gz \
         $doc/README.md $doc/json-lines.md $doc/fleet.md $doc/quellix-scan.yml $doc/merge_runs.py; do
  grep -q " $f\$" <<<"$contents" || { echo "missing $f in:"; echo "$contents"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = quellix-scan ] || { echo "wrong package name"; exit 1; }
[ "$(dpkg-deb -f "$deb" Version)" = "$version-$revision" ] || { echo "version $(dpkg-deb -f "$deb" Version)"; exit 1; }
# The version comes from the changelog's newest entry, which is its first line.
head -1 "$source_dir/cli/debian/changelog" | grep -qF "quellix-scan ($version-$revision) " ||
  { echo "the changelog's first entry is not $version-$revision"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libhivex0 || { echo "no libhivex0 dependency: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
# --image loads libguestfs when it is used: suggested, not a dependency,
# and not among the program's needed libraries.
! grep -q guestfs <<<"$(dpkg-deb -f "$deb" Depends)" || { echo "depends on libguestfs: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
grep -qx libguestfs0 <<<"$(dpkg-deb -f "$deb" Suggests)" || { echo "does not suggest libguestfs0"; exit 1; }
dpkg-deb -f "$deb" Maintainer | grep -qv localhost || { echo "maintainer: $(dpkg-deb -f "$deb" Maintainer)"; exit 1; }
dpkg-deb -x "$deb" "$out/root"
page=$(zcat "$out/root/usr/share/man/man1/quellix-scan.1.gz")
for text in '.TH QUELLIX-SCAN 1' "quellix-scan $version" '.SH "EXIT STATUS"' '.SH FILES' '.SH EXAMPLES' \
            '.SH "SEE ALSO"' 'manifest.jsonl' '.reg'; do
  grep -qF -- "$text" <<<"$page" || { echo "man page lacks $text"; exit 1; }
done
# Every long option of --help but quellix-scan.exe's ([exe]) is in the page
# (roff writes '-' as '\-').
help=$("$out/root/usr/bin/quellix-scan" --help)
options=$(grep -E '^ +(-., )?--[a-z]' <<<"$help" | grep -vE '^ +(-., )?--[a-z-]+( [A-Z=]+)? +\[exe\]' |
  grep -oE -- '--[a-z][a-z-]*' | sort -u)
[ "$(wc -l <<<"$options")" -ge 15 ] || { echo "too few options read from --help: $options"; exit 1; }
for option in $options; do
  grep -qF -- "${option//-/\\-}" <<<"$page" || { echo "man page lacks $option"; exit 1; }
done
grep -qx "quellix-scan $version" <<<"$("$out/root/usr/bin/quellix-scan" --version)" ||
  { echo "--version does not say $version"; exit 1; }
# Without libguestfs (hidden in a mount namespace, where one can be made):
# a mounted volume is still scanned, a detection-only --image reads the
# image in process (this one holds no file system: not examined), and a
# writing --image says what to install.
lib=$(ldconfig -p | awk '/libguestfs\.so\.0 /{found = $NF} END {print found}')
if [ -n "$lib" ] && unshare -m true 2>/dev/null; then
  mkdir -p "$out/vol" && echo clean >"$out/vol/boot.ini" && truncate -s 1M "$out/disk.img"
  hidden=$(unshare -m bash -c 'mount --bind /dev/null "$(readlink -f "$1")" || exit 1
    "$2" --quiet "$3" >/dev/null; echo "volume $?"; "$2" --image "$4" 2>&1; echo "image $?"
    "$2" --remove --backup "$5" --image "$4" 2>&1; echo "writing image $?"' \
    _ "$lib" "$out/root/usr/bin/quellix-scan" "$out/vol" "$out/disk.img" "$out/backup")
  detecting=${hidden%%image 2*}
  grep -qx 'volume 0' <<<"$hidden" && grep -qx 'image 2' <<<"$hidden" &&
    grep -q 'no NTFS or FAT file system' <<<"$detecting" && ! grep -q libguestfs <<<"$detecting" &&
    grep -qx 'writing image 2' <<<"$hidden" && grep -q 'install the libguestfs0 package' <<<"$hidden" ||
    { echo "without libguestfs: $hidden"; exit 1; }
else
  echo "not checked here: a run without libguestfs (no mount namespace)"
fi
# The man page of the source tree reads sensibly unbuilt: no placeholder.
grep -q '@[A-Z_]*@' "$source_dir/cli/quellix-scan.1" && { echo "a placeholder in cli/quellix-scan.1"; exit 1; }
# Hardening, seen in the shipped program itself.
program="$out/root/usr/bin/quellix-scan"
grep -q 'BIND_NOW' <<<"$(readelf -d "$program")" || { echo "not bound at start (-z now)"; exit 1; }
! grep -q 'NEEDED.*libguestfs' <<<"$(readelf -d "$program")" || { echo "linked to libguestfs"; exit 1; }
grep -q 'GNU_RELRO' <<<"$(readelf -lW "$program")" || { echo "no RELRO"; exit 1; }
grep -q 'DYN (Position-Independent' <<<"$(readelf -hW "$program")" || { echo "not position-independent"; exit 1; }
grep -q '__mem[a-z]*_chk@' <<<"$(readelf -sW --dyn-syms "$program")" || { echo "no fortified call"; exit 1; }
# lintian: no error (E:) lines and no hardening tag at any level (-I shows
# the informational ones). Other warnings are shown, not fatal.
if command -v lintian >/dev/null; then
  report=$(lintian --no-cfg -I "$deb" 2>&1 || true)
  [ -z "$report" ] || echo "$report"
  if grep -q '^E: ' <<<"$report"; then echo "lintian found errors"; exit 1; fi
  if grep -q 'hardening' <<<"$report"; then echo "lintian found hardening missing"; exit 1; fi
else
  echo "lintian is not installed (bash scripts/setup installs it)"; exit 1
fi
echo "package ok: $(basename "$deb")"
