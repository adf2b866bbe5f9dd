#!/usr/bin/env bash
# The import table of QuellixRemover.exe: entry points that older Windows
# versions lack must be bound at run time, never imported; only the system's
# own DLLs may be needed; the file is a GUI program of the build's kind.
#   program_imports_test.sh OBJDUMP EXE PROCESSOR
set -u
objdump=$1
exe=$2
processor=$3
dump=$("$objdump" -p "$exe") || { echo "FAIL objdump"; exit 1; }
header=$("$objdump" -f "$exe")
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

case "$processor" in
  x86_64) format=pei-x86-64 ;;
  *) format=pei-i386 ;;
esac
grep -q "file format $format" <<<"$header" || fail "not $format: $(grep 'file format' <<<"$header")"
grep -Eq 'Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' <<<"$dump" || fail "not a Windows GUI program"

# Every imported DLL must be one that every Windows system has.
dlls=$(grep -E '^[[:space:]]*DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)
[ -n "$dlls" ] || fail "no import table found"
for dll in $dlls; do
  case "$dll" in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | shell32.dll | advapi32.dll | msvcrt.dll) ;;
    *) fail "imports $dll" ;;
  esac
done
for dll in kernel32.dll user32.dll comctl32.dll shell32.dll advapi32.dll; do
  grep -qx "$dll" <<<"$dlls" || fail "does not import $dll (the dialogs or the privilege need it)"
done

# Import entries are lines "<vma> <hint> <name>" inside the import tables.
names=$(awk '/DLL Name:/ {inside = 1; next} inside && NF == 0 {inside = 0} inside && NF == 3 && $2 ~ /^[0-9]+$/ {print $3}' <<<"$dump")
forbidden='^(CreateToolhelp32Snapshot|Module32(First|Next)W?|Process32(First|Next)W?|EnumProcess.*|GetModuleFileNameExA|NtQuerySystemInformation|GetDiskFreeSpaceExA|MoveFileExA|MoveFileExW)$'
while read -r name; do fail "imports $name"; done < <(grep -E "$forbidden" <<<"$names")
# The dialogs' own entry points are imported, so the parsing above did see names.
for needed in DialogBoxParamA ShellExecuteA InitCommonControls CreateThread; do
  grep -qx "$needed" <<<"$names" || fail "does not import $needed"
done

echo "imports: $(echo $dlls)"
[ "$failures" -eq 0 ]
