#!/usr/bin/env bash
# The tool's main job on a built-in demo: a Wine prefix whose fixed drives are
# its own C: and a demo drive D: holding forged worm files, decoys, clean
# files, Run values and a live forged "Worm.Mail.Drimo.qd" process; then
# QuellixRemover.exe runs there.
#   With a display ($DISPLAY set, QX_DEMO_HEADLESS unset) the window opens for
#   you: press Scan, read the results, open About, press Exit.
#   Without one it runs under Xvfb, presses Scan itself, prints the rows and the
#   summary read from the window, and saves screenshots in build/demo/ui/.
# Needs the builds of scripts/build (QX_WINE_ARCH picks the Windows build, see cmake/wine-env).
# The window speaks the system language Wine starts in: your locale, or
# QX_DEMO_LOCALE (zh_CN.UTF-8, en_US.UTF-8, zh_TW.UTF-8, ja_JP.UTF-8).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$root/build/demo/ui
source "$root/ui/demo/demo_common.sh"

if [ -z "${DISPLAY:-}" ] || [ -n "${QX_DEMO_HEADLESS:-}" ]; then
  if [ -z "${QX_DEMO_IN_XVFB:-}" ]; then
    export QX_DEMO_HEADLESS=1 QX_DEMO_IN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
  fi
fi

demo_pick_build
demo_locale=${QX_DEMO_LOCALE:-}
mkdir -p "$work"
demo_plant
demo_prefix demo
trap demo_stop EXIT
echo "== demo drive D: ($drive)"
(cd "$drive" && find . -type f | sort | sed 's|^\./|   D:\\|; s|/|\\|g')
echo "== Run values before"
demo_run_values
demo_start_resident
echo "== live forged process started: D:\\Resident\\mailer.exe"

if [ -z "${QX_DEMO_HEADLESS:-}" ]; then
  echo "== QuellixRemover.exe is open on your display ($arch build): press Scan"
  demo_wine 'C:\Quellix\QuellixRemover.exe' || true
else
  shots=$work/screenshots
  rm -rf "$shots"; mkdir -p "$shots"
  echo "== QuellixRemover.exe under Xvfb ($arch build), in a Wine desktop"
  demo_virtual_desktop 800x600
  demo_wine 'C:\Quellix\QuellixRemover.exe' &
  demo_driver wait
  demo_shot "$shots/1-ready.png"
  echo "== pressing Scan; the rows and the summary as the window shows them:"
  demo_driver scan
  demo_shot "$shots/2-summary.png"
  demo_driver dismiss >/dev/null
  sleep 0.5
  demo_shot "$shots/3-results.png"
  echo "== About box:"
  demo_driver about
  demo_shot "$shots/4-about.png" about
  demo_driver close-about
  sleep 0.5
  demo_driver exit
  sleep 1
  echo "== screenshots in $shots"
  ls "$shots"
fi

echo "== Run values after"
demo_run_values || true
echo "== files left on D:"
(cd "$drive" && find . -type f | sort | sed 's|^\./|   D:\\|; s|/|\\|g')
