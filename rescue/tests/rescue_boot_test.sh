#!/usr/bin/env bash
# The rescue image end to end: scripts/rescue builds it, QEMU boots it with
# software emulation beside planted disks, and the report volume and the
# disks are read afterwards.
#   1. BIOS, the default entry: a Windows XP disk (C: the system volume, D: a
#      data volume named in its SYSTEM hive) and a report disk labelled
#      QXREPORT holding a signature list: every specimen and Run value is in
#      the report, the list is named, nothing on the Windows disk changed.
#   2. BIOS, the cleaning entry's command line, a hibernated Windows disk
#      added: the specimens are quarantined to the report disk, the Run values
#      that start them deleted; the clean file, the decoy and the clean values
#      stay; the hibernated disk is refused in the report and not one byte of
#      it changes.
#   3. The cleaning entry without a report disk: refused on the serial
#      console, the Windows disk unchanged.
#   4. UEFI with Debian's OVMF and Secure Boot enforced, where installed:
#      the default entry finds the same as the first boot.
# Exits 77 (skipped, saying why) where it cannot run: not root, no QEMU, no
# live-build, or no image and no network to fetch its packages.
# usage: rescue_boot_test.sh SOURCE_DIR FORGE_SPECIMEN PLANT_HIVES WORK_DIR
set -euo pipefail
src=$1 forge=$2 plant=$3 work=$4
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "not root (live-build makes a chroot; the disks are planted through ntfs-3g)"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86 is not installed (bash scripts/setup)"
command -v lb >/dev/null || skip "live-build is not installed (bash scripts/setup)"
for tool in mkntfs ntfs-3g mkfs.vfat mcopy sfdisk xorriso reglookup; do
  command -v "$tool" >/dev/null || skip "$tool is missing (bash scripts/setup)"
done
iso=$src/build/rescue/quellix-rescue.iso
if ! timeout 20 bash -c 'exec 3<>/dev/tcp/deb.debian.org/80' 2>/dev/null && [ ! -f "$iso" ]; then
  skip "no network to fetch the image's packages from deb.debian.org, and no image built before"
fi

rm -rf "$work"
mkdir -p "$work"
times=$work/times.txt
start=$(date +%s)
bash "$src/scripts/rescue" || fail "scripts/rescue did not build the image"
echo "build (or cached image) $(( $(date +%s) - start )) s, image $(( $(stat -c %s "$iso") / 1048576 )) MiB" | tee "$times"

# --- the disks ---------------------------------------------------------------
mib=1048576
signature=51584c31
c_offset=$mib d_offset=$((65 * mib))
mnt=$work/mnt
mkdir -p "$mnt"
# An NTFS file system made and filled as a file, then put in its disk.
ntfs_part() {  # FILE SIZE_MIB LABEL START_SECTOR
  truncate -s "$2M" "$1"
  mkntfs -F -Q -q -L "$3" -p "$4" -H 16 -S 63 "$1" >/dev/null 2>&1 || fail "mkntfs $1"
  ntfs-3g "$1" "$mnt" || fail "ntfs-3g $1"
}
put_part() {  # DISK PART START_BYTES
  umount "$mnt" 2>/dev/null || true
  dd if="$2" of="$1" bs=1M seek=$(($3 / mib)) conv=notrunc,sparse status=none
  rm -f "$2"
}
# Reads a partition of a disk back into FILE and mounts it read-only.
mount_part() {  # DISK START_BYTES SIZE_MIB FILE
  dd if="$1" of="$4" bs=1M skip=$(($2 / mib)) count="$3" status=none
  ntfs-3g -o ro "$4" "$mnt" || fail "ntfs-3g $4"
}

windows=$work/windows.img
truncate -s 100M "$windows"
printf 'label: dos\nlabel-id: 0x%s\nstart=2048, size=131072, type=7\nstart=133120, size=69632, type=7\n' "$signature" |
  sfdisk -q "$windows" >/dev/null
ntfs_part "$work/c.img" 64 WINXP 2048
mkdir -p "$mnt/WINDOWS/system32/config" "$mnt/Documents and Settings/alice/Local Settings/Temp" "$mnt/Temp"
"$forge" 0 "$mnt/WINDOWS/system32/row 0.exe" 11 >/dev/null
"$forge" 1 "$mnt/Documents and Settings/alice/Local Settings/Temp/row 1.exe" 12 >/dev/null
"$forge" --decoy 0 "$mnt/WINDOWS/system32/decoy.dll" 13 >/dev/null
head -c 66000 /dev/zero | tr '\0' n >"$mnt/WINDOWS/notepad.exe"
# A hiberfil.sys of zeros: Windows started again after hibernating.
head -c 8192 /dev/zero >"$mnt/hiberfil.sys"
# A harmless file only the report volume's signature list names.
head -c 3001 /dev/urandom >"$mnt/Temp/site-tool.bin"
site_row="$(sha256sum "$mnt/Temp/site-tool.bin" | cut -c1-64):3001:Test.Site.tool"
"$plant" "$work" "$signature" "$c_offset" "$d_offset" || fail "plant-hives"
cp "$work/SYSTEM" "$work/SOFTWARE" "$mnt/WINDOWS/system32/config/"
cp "$work/NTUSER.DAT" "$mnt/Documents and Settings/alice/NTUSER.DAT"
clean_sum=$(sha256sum <"$mnt/WINDOWS/notepad.exe") decoy_sum=$(sha256sum <"$mnt/WINDOWS/system32/decoy.dll")
put_part "$windows" "$work/c.img" "$c_offset"
ntfs_part "$work/d.img" 34 DATA 133120
mkdir -p "$mnt/tools"
"$forge" 2 "$mnt/tools/row 2.exe" 14 >/dev/null
echo "clean" >"$mnt/tools/readme.txt"
put_part "$windows" "$work/d.img" "$d_offset"
cp "$windows" "$work/windows.orig"

hibernated=$work/hibernated.img
truncate -s 40M "$hibernated"
printf 'label: dos\nlabel-id: 0x48494231\nstart=2048, type=7\n' | sfdisk -q "$hibernated" >/dev/null
ntfs_part "$work/h.img" 38 HIBER 2048
mkdir -p "$mnt/Temp"
{ printf 'hibr'; head -c 8188 /dev/zero; } >"$mnt/hiberfil.sys"
"$forge" 3 "$mnt/Temp/row 3.exe" 15 >/dev/null
put_part "$hibernated" "$work/h.img" "$mib"
hibernated_sum=$(sha256sum <"$hibernated")

new_report() {  # FILE
  truncate -s 64M "$1"
  printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q "$1" >/dev/null
  truncate -s 63M "$work/r.img"
  mkfs.vfat -n QXREPORT "$work/r.img" >/dev/null
  echo "$site_row" >"$work/signatures.list"
  MTOOLS_SKIP_CHECK=1 mcopy -i "$work/r.img" "$work/signatures.list" ::/signatures.list
  dd if="$work/r.img" of="$1" bs=1M seek=1 conv=notrunc status=none
  rm -f "$work/r.img"
}
# The report folder a boot wrote, copied out of the report disk.
read_report() {  # DISK DEST
  rm -rf "$2"
  mkdir -p "$2"
  MTOOLS_SKIP_CHECK=1 mcopy -s -n -i "$1@@$mib" ::/quellix-rescue "$2/" || fail "no quellix-rescue folder on the report disk"
  local runs
  runs=$(ls "$2/quellix-rescue")
  [ "$(echo "$runs" | wc -l)" -eq 1 ] || fail "expected one run folder, found: $runs"
  echo "$2/quellix-rescue/$runs"
}

# --- booting -------------------------------------------------------------------
qemu_common=(-accel tcg -m 1024 -display none -no-reboot -monitor none -nodefaults -vga std)
boot() {  # NAME SECONDS QEMU_ARGS...
  local name=$1 limit=$2 t0 status=0
  shift 2
  t0=$(date +%s)
  timeout "$limit" qemu-system-x86_64 "${qemu_common[@]}" -serial "file:$work/$name.serial" "$@" || status=$?
  echo "$name: boot to power-off $(( $(date +%s) - t0 )) s" | tee -a "$times"
  [ "$status" -eq 0 ] || { tail -n 40 "$work/$name.serial"; fail "$name: qemu exit status $status (124: did not power off in $limit s)"; }
}
disk() { echo "-drive" "file=$1,format=raw,if=virtio"; }

expect() {  # FILE PATTERN WHAT
  grep -qF -- "$2" "$1" || { echo "--- $1"; cat "$1"; fail "$3"; }
}
expect_re() {  # FILE REGEX WHAT
  grep -qE -- "$2" "$1" || { echo "--- $1"; cat "$1"; fail "$3"; }
}
refute() {  # FILE PATTERN WHAT
  if grep -qF -- "$2" "$1"; then echo "--- $1"; cat "$1"; fail "$3"; fi
}

# 1. BIOS, default entry: detection only.
report=$work/report1.img
new_report "$report"
boot bios-scan 900 -cdrom "$iso" -boot d $(disk "$windows") $(disk "$report")
run=$(read_report "$report" "$work/out1")
expect "$run/summary.txt" "mode: scan only" "the summary does not say the mode"
expect "$run/summary.txt" "vda1: ntfs, Windows system volume, drive C:" "C: was not recognised"
expect "$run/summary.txt" "vda2: ntfs, drive D:" "D: was not given its letter from the SYSTEM hive"
expect "$run/summary.txt" "signature list: signatures.list on the report volume, SHA-256 $(sha256sum <"$work/signatures.list" | cut -c1-64)" \
  "the signature list is not named"
for row in 'row 0.exe' 'row 1.exe' 'site-tool.bin'; do
  expect "$run/vda1.jsonl" "$row\",\"detection\"" "$row is not reported"
done
expect "$run/vda2.jsonl" 'row 2.exe","detection"' "D:'s specimen is not reported"
grep -h '"type":"run_value"' "$run"/vda*.jsonl >"$work/values1" || true
for value in WormM Worm1 WormD; do
  expect "$work/values1" "\"value\":\"$value\"" "Run value $value is not reported"
done
refute "$work/values1" '"action":"deleted"' "a detection-only boot deleted a Run value"
for value in KeepM ctfmon; do refute "$work/values1" "\"value\":\"$value\"" "clean Run value $value reported"; done
refute "$run/vda1.jsonl" 'decoy.dll","detection"' "the decoy is reported"
cmp -s "$windows" "$work/windows.orig" || fail "a detection-only boot changed the Windows disk"
echo "bios-scan: specimens, Run values and the list reported; nothing changed"

# 2. BIOS, the cleaning entry's command line (read from the image's menu),
#    the hibernated disk beside.
xorriso -osirrox on -indev "$iso" -extract /live/vmlinuz "$work/vmlinuz" \
  -extract /live/initrd.img "$work/initrd.img" -extract /isolinux/live.cfg "$work/live.cfg" >/dev/null 2>&1 ||
  fail "the kernel and menu could not be read from the image"
append=$(awk '/^label clean$/ { on = 1; next } /^label / { on = 0 } on && $1 == "append" { $1 = ""; print; exit }' "$work/live.cfg")
case " $append " in *" quellix.clean "*) ;; *) fail "the menu has no cleaning entry: $append" ;; esac
clean_boot=(-cdrom "$iso" -kernel "$work/vmlinuz" -initrd "$work/initrd.img" -append "$append")
report=$work/report2.img
new_report "$report"
boot bios-clean 900 "${clean_boot[@]}" $(disk "$windows") $(disk "$hibernated") $(disk "$report")
run=$(read_report "$report" "$work/out2")
expect "$run/summary.txt" "mode: clean" "the summary does not say the mode"
expect "$run/summary.txt" "vdb1: hibernated Windows: never written" "the hibernated disk is not refused in the report"
expect "$run/vdb1.jsonl" 'row 3.exe","detection"' "the hibernated disk's specimen is not reported"
[ "$(sha256sum <"$hibernated")" = "$hibernated_sum" ] || fail "the hibernated disk was written"
for row in 'row 0.exe' 'row 1.exe' 'site-tool.bin'; do
  expect_re "$run/vda1.jsonl" "$row\",\"detection\":\"[^\"]*\",\"action\":\"quarantined\"" "$row was not quarantined"
done
expect_re "$run/vda2.jsonl" 'row 2.exe","detection":"[^"]*","action":"quarantined"' "D:'s specimen was not quarantined"
[ "$(grep -c '"sha256"' "$run/quarantine/manifest.jsonl")" -eq 4 ] || fail "the quarantine's manifest does not hold four files"
grep -h '"type":"run_value"' "$run"/vda*.jsonl >"$work/values2" || true
for value in WormM Worm1 WormD; do
  expect "$work/values2" "\"value\":\"$value\"" "Run value $value was not deleted"
done
refute "$work/values2" '"would_delete"' "a cleaning boot only previewed a Run value"
[ -n "$(find "$run" -name '*.reg' -print -quit)" ] || fail "no .reg backup of the deleted values on the report disk"
mount_part "$windows" "$c_offset" 64 "$work/c.img"
for gone in "WINDOWS/system32/row 0.exe" "Documents and Settings/alice/Local Settings/Temp/row 1.exe" "Temp/site-tool.bin"; do
  [ ! -e "$mnt/$gone" ] || fail "$gone is still on C:"
done
[ "$(sha256sum <"$mnt/WINDOWS/notepad.exe")" = "$clean_sum" ] || fail "the clean file changed"
[ "$(sha256sum <"$mnt/WINDOWS/system32/decoy.dll")" = "$decoy_sum" ] || fail "the decoy changed"
reglookup -H -p /Microsoft/Windows/CurrentVersion/Run "$mnt/WINDOWS/system32/config/SOFTWARE" >"$work/software.after" 2>&1 || true
reglookup -H -p /Software/Microsoft/Windows/CurrentVersion/Run "$mnt/Documents and Settings/alice/NTUSER.DAT" >"$work/ntuser.after" 2>&1 || true
umount "$mnt"
expect "$work/software.after" "/KeepM," "the clean machine Run value went"
expect "$work/ntuser.after" "/ctfmon," "the clean profile Run value went"
refute "$work/software.after" "/WormM," "WormM is still in SOFTWARE"
refute "$work/software.after" "/WormD," "WormD is still in SOFTWARE"
refute "$work/ntuser.after" "/Worm1," "Worm1 is still in NTUSER.DAT"
mount_part "$windows" "$d_offset" 34 "$work/d.img"
[ ! -e "$mnt/tools/row 2.exe" ] || fail "D:'s specimen is still there"
[ "$(cat "$mnt/tools/readme.txt")" = clean ] || fail "D:'s clean file changed"
umount "$mnt"
rm -f "$work/c.img" "$work/d.img"
echo "bios-clean: specimens quarantined to the report disk, their Run values deleted, clean ones kept; hibernated disk refused"

# 3. The cleaning entry without a report disk.
cp "$work/windows.orig" "$windows"
boot bios-no-report 900 "${clean_boot[@]}" $(disk "$windows")
tr -d '\r' <"$work/bios-no-report.serial" >"$work/no-report.log"
expect "$work/no-report.log" "cleaning refused: nothing is changed without a record" "no refusal on the serial console"
cmp -s "$windows" "$work/windows.orig" || fail "a boot without a report volume changed the Windows disk"
echo "bios-no-report: refused on the serial console, nothing changed"

# 4. UEFI, Secure Boot enforced, where Debian's OVMF is installed.
code=/usr/share/OVMF/OVMF_CODE_4M.secboot.fd vars=/usr/share/OVMF/OVMF_VARS_4M.ms.fd
if [ -f "$code" ] && [ -f "$vars" ]; then
  cp "$vars" "$work/vars.fd"
  report=$work/report4.img
  new_report "$report"
  boot uefi-scan 900 -machine q35,smm=on -global driver=cfi.pflash01,property=secure,value=on \
    -drive "if=pflash,format=raw,unit=0,readonly=on,file=$code" -drive "if=pflash,format=raw,unit=1,file=$work/vars.fd" \
    -cdrom "$iso" -boot d $(disk "$windows") $(disk "$report")
  run=$(read_report "$report" "$work/out4")
  expect "$run/summary.txt" "firmware: UEFI, Secure Boot on" "the UEFI boot did not run with Secure Boot enforced"
  expect "$run/vda1.jsonl" 'row 0.exe","detection"' "the UEFI boot did not report C:'s specimen"
  expect "$run/vda2.jsonl" 'row 2.exe","detection"' "the UEFI boot did not report D:'s specimen"
  cmp -s "$windows" "$work/windows.orig" || fail "the UEFI detection-only boot changed the Windows disk"
  echo "uefi-scan: booted with Secure Boot enforced; the same specimens reported"
else
  echo "SKIPPED (part): UEFI boot: Debian's OVMF is not installed ($code)"
fi
cat "$times"
