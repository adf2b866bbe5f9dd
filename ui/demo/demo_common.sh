# Shared by run_demo.sh and make_screenshots.sh (sourced): a Wine prefix whose
# fixed drives are its own C: and a demo drive D: with a small tree of forged
# worm files, look-alike decoys, clean files, Run values and a live forged
# "Worm.Mail.Drimo.qd" process; the program and the driver that presses its
# buttons. No real malware: every worm file is forged by forge-specimen.
#
# Expects: root (the repository), work (a scratch folder for this demo).
# Sets: arch, windows_build, prefix, drive.

# The build and its Wine loader are cmake/wine-env's choice (QX_WINE_ARCH
# forces it).
demo_pick_build() {
  source "$root/cmake/wine-env"
  arch=$QX_WINE_ARCH
  windows_build=$QX_WINDOWS_BUILD
  forge=${QX_FORGE:-$root/build/host/bin/forge-specimen}
  for needed in "$windows_build/bin/QuellixRemover.exe" "$windows_build/bin/ui_demo_driver.exe" \
                "$windows_build/bin/scan_sleeper.exe" "$forge"; do
    [ -x "$needed" ] || [ -f "$needed" ] || { echo "demo: missing $needed (build first: bash scripts/build)" >&2; return 1; }
  done
}

# Row number of a detection name in the signature table.
demo_row() { "$forge" --list | awk -F'\t' -v name="$1" '$2 == name {print $1; exit}'; }

demo_plant() {
  drive=$work/drive
  rm -rf "$drive"
  mkdir -p "$drive/Users/Demo/Documents" "$drive/Users/Demo/Downloads" "$drive/Users/Demo/Mail" \
           "$drive/Games" "$drive/Temp" "$drive/Resident"
  echo "Dear Ann, the photos are on the way." >"$drive/Users/Demo/Documents/letter.txt"
  echo "Nothing to see here." >"$drive/Users/Demo/Mail/readme.txt"
  "$forge" "$(demo_row Worm.Quellix.c)" "$drive/Users/Demo/Downloads/holiday-photos.exe" 11
  "$forge" "$(demo_row Worm.Quellix.c.dll2)" "$drive/Users/Demo/Downloads/plugin.dll" 12
  "$forge" "$(demo_row Vbs.Worm.Quellix.ar)" "$drive/Users/Demo/Mail/attachment.vbs" 13
  "$forge" "$(demo_row Junk.Worm.Quellix)" "$drive/Temp/svchost32.exe" 14
  # Same sizes and first bytes as worm files, but harmless: never touched.
  "$forge" --decoy "$(demo_row Worm.Quellix.c)" "$drive/Games/setup.exe" 21
  "$forge" --decoy "$(demo_row Worm.Quellix.ay)" "$drive/Games/data.bin" 22
  # A program that only sleeps, padded to carry the resident worm's signature.
  "$forge" --pad "$(demo_row Worm.Mail.Drimo.qd)" "$windows_build/bin/scan_sleeper.exe" "$drive/Resident/mailer.exe"
}

demo_prefix() {
  prefix=$("$root/cmake/wine-prefix" isolated "$1" "D:=$drive") || return 1
  mkdir -p "$prefix/drive_c/Quellix"
  cp "$windows_build/bin/QuellixRemover.exe" "$windows_build/bin/ui_demo_driver.exe" "$prefix/drive_c/Quellix/"
  # The dialogs ask for SimSun; this machine has WenQuanYi Zen Hei, whose
  # "Sharp" face has hand-made bitmaps for the dialogs' 12-pixel size.
  # Wine rewrites its font settings the first time a program starts in a new
  # system language: let the driver (a user32 program) start once before.
  demo_wine 'C:\Quellix\ui_demo_driver.exe' >/dev/null || true
  # A UTF-16 file carries the Chinese name intact whatever the locale.
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"SimSun"="%s"\r\n"宋体"="%s"\r\n' \
    'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    "${QX_DEMO_FONT:-WenQuanYi Zen Hei Sharp}" "${QX_DEMO_FONT:-WenQuanYi Zen Hei Sharp}" |
    iconv -f UTF-8 -t UTF-16 >"$prefix/drive_c/Quellix/fonts.reg"
  demo_wine regedit /S 'C:\Quellix\fonts.reg'
  demo_wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v HolidayPhotos /t REG_SZ \
    /d 'D:\Users\Demo\Downloads\holiday-photos.exe' /f >/dev/null
  demo_wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Mailer /t REG_SZ \
    /d '"D:\Resident\mailer.exe" -silent' /f >/dev/null
  demo_wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Notes /t REG_SZ \
    /d 'C:\windows\notepad.exe' /f >/dev/null
}

# Every program of the prefix in one Wine desktop window, which draws the
# windows' frames itself (Xvfb has no window manager).
demo_virtual_desktop() {
  demo_wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null
  demo_wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d "$1" /f >/dev/null
}

# demo_locale, when set, is the Unix locale Wine starts in (the system language).
demo_wine() {
  (cd "$prefix/drive_c" && env ${demo_locale:+LANG=$demo_locale LC_ALL=$demo_locale} \
    QX_WINEPREFIX="$prefix" "$root/cmake/wine-run" "$@" 2>/dev/null)
}

demo_start_resident() {
  demo_wine 'D:\Resident\mailer.exe' &
  sleep 2
}

demo_driver() { demo_wine 'C:\Quellix\ui_demo_driver.exe' "$@" | tr -d '\r'; }

demo_run_values() {
  demo_wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' | tr -d '\r' | grep REG_SZ
}

# Screenshot of the main dialog or the About box (the whole screen when the
# window is not found).
demo_shot() {
  local file=$1 which=${2:-main} rect
  rect=$(demo_driver rect "$which")
  import -window root "$file.full.png" 2>/dev/null
  if [ -n "$rect" ]; then
    set -- $rect
    convert "$file.full.png" -crop "${3}x${4}+${1}+${2}" +repage "$file"
    rm -f "$file.full.png"
  else
    mv "$file.full.png" "$file"
  fi
}

demo_stop() { "$root/cmake/wine-prefix" kill "$prefix"; }
