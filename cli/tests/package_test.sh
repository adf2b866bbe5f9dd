#!/usr/bin/env bash
# The Debian package: built by cpack from this build folder, it holds the
# program and its man page, depends on libhivex and libguestfs, and the man
# page is the program's --help.
set -euo pipefail
build=$1 version=$2
arch=$(dpkg --print-architecture)
out=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb="$out/quellix-scan_${version}_${arch}.deb"
[ -f "$deb" ] || { echo "no $deb:"; ls "$out"; exit 1; }
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/quellix-scan ./usr/share/man/man1/quellix-scan.1.gz; do
  grep -q " $f\$" <<<"$contents" || { echo "missing $f in:"; echo "$contents"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = quellix-scan ] || { echo "wrong package name"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libhivex0 || { echo "no libhivex0 dependency: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
# --image opens disk images through libguestfs.
dpkg-deb -f "$deb" Depends | grep -q libguestfs0 || { echo "no libguestfs0 dependency: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
dpkg-deb -x "$deb" "$out/root"
page=$(zcat "$out/root/usr/share/man/man1/quellix-scan.1.gz")
for text in '.TH QUELLIX-SCAN "1"' '\fB\-\-quarantine\fR DIR' '\fB\-\-image\fR FILE' 'restore' 'Exit status' "quellix-scan $version"; do
  grep -qiF -- "$text" <<<"$page" || { echo "man page lacks $text"; exit 1; }
done
"$out/root/usr/bin/quellix-scan" --version | grep -qx "quellix-scan $version"
echo "package ok: $(basename "$deb")"
