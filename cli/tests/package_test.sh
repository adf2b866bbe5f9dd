#!/usr/bin/env bash
# The Debian package: built by cpack from this build folder, it holds the
# program, its own man page (with the same long options as --help), the
# copyright file and the changelog, depends on libhivex and libguestfs, and
# lintian finds no error in it.
set -euo pipefail
build=$1 version=$2
arch=$(dpkg --print-architecture)
out=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$out"' EXIT
(cd "$build" && cmake --build . --target quellix-scan quellix-scan-man quellix-scan-changelog >/dev/null &&
  cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb="$out/quellix-scan_${version}_${arch}.deb"
[ -f "$deb" ] || { echo "no $deb:"; ls "$out"; exit 1; }
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/quellix-scan ./usr/share/man/man1/quellix-scan.1.gz ./usr/share/doc/quellix-scan/copyright \
         ./usr/share/doc/quellix-scan/changelog.gz; do
  grep -q " $f\$" <<<"$contents" || { echo "missing $f in:"; echo "$contents"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = quellix-scan ] || { echo "wrong package name"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q libhivex0 || { echo "no libhivex0 dependency: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
# --image opens disk images through libguestfs.
dpkg-deb -f "$deb" Depends | grep -q libguestfs0 || { echo "no libguestfs0 dependency: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
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
"$out/root/usr/bin/quellix-scan" --version | grep -qx "quellix-scan $version"
# lintian: no error (E:) lines. Warnings are shown, not fatal.
if command -v lintian >/dev/null; then
  report=$(lintian --no-cfg "$deb" 2>&1 || true)
  [ -z "$report" ] || echo "$report"
  if grep -q '^E: ' <<<"$report"; then echo "lintian found errors"; exit 1; fi
else
  echo "lintian is not installed (bash scripts/setup installs it)"; exit 1
fi
echo "package ok: $(basename "$deb")"
