#!/usr/bin/env bash
# Screenshots for the README, in each of the four languages: the main window
# after a run with detections, and the About box. Each language gets a fresh
# demo prefix and drive (the run removes the forged worm files), with Wine
# started in that language's locale, under Xvfb.
#   make_screenshots.sh [OUTPUT_DIR]     default docs/screenshots
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "${1:-$root/docs/screenshots}" && cd "${1:-$root/docs/screenshots}" && pwd)
work=$root/build/demo/screenshots
source "$root/ui/demo/demo_common.sh"

if [ -z "${QX_DEMO_IN_XVFB:-}" ]; then
  export QX_DEMO_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

demo_pick_build
mkdir -p "$work"
trap 'demo_stop 2>/dev/null || true' EXIT
while read -r tag locale; do
  # QX_SCREENSHOT_ONLY=TAG makes one language only.
  [ -z "${QX_SCREENSHOT_ONLY:-}" ] || [ "$QX_SCREENSHOT_ONLY" = "$tag" ] || continue
  echo "== $tag ($locale)"
  demo_locale=$locale
  demo_plant
  demo_prefix "screenshots-$tag"
  demo_virtual_desktop 800x600
  demo_start_resident
  demo_wine 'C:\Quellix\QuellixRemover.exe' &
  demo_driver wait
  demo_driver scan | tail -3
  demo_driver dismiss >/dev/null
  sleep 0.5
  demo_shot "$out/main-$tag.png"
  demo_driver about >/dev/null
  demo_shot "$out/about-$tag.png" about
  demo_driver close-about
  sleep 0.3
  demo_driver exit
  sleep 1
  demo_stop
done <<'LANGUAGES'
zh_CN zh_CN.UTF-8
en_US en_US.UTF-8
zh_TW zh_TW.UTF-8
ja_JP ja_JP.UTF-8
LANGUAGES
ls -l "$out"
