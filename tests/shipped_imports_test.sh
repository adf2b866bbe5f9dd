#!/usr/bin/env bash
# What the shipped programs import, read from their import tables:
#   shipped_imports_test.sh OBJDUMP PROCESSOR ALLOW_LIST KIND EXE [KIND EXE ...]
# KIND is gui or console. For every program:
# - the file is a PE file of the build's processor and the subsystem of KIND;
# - nothing bound at run time (absent from some supported Windows) is imported;
# - i686 (the shipped build): every imported function is in ALLOW_LIST, whose
#   entries were each checked to be exported by Windows 95 and NT 4.0, and the
#   header asks for subsystem and OS version 4.0, which both start;
# - i686: code is loaded at run time only through LoadSystemLibrary, which
#   turns WOW64 file system redirection back on around the load (the scan
#   thread has it off), or by the runtime's start-up before main.
# The x86_64 build has its own runtime's imports and needs Windows XP x64
# anyway: the allow-list and versions apply to the i686 build only.
set -u
objdump=$1 processor=$2 allow_list=$3
shift 3
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# Entry points that the code binds at run time because some supported system
# lacks them: importing one would keep the program from starting there.
runtime_bound='^(CreateToolhelp32Snapshot|(Module|Process|Thread)32(First|Next)W?|EnumProcess.*|GetModuleFileNameEx[AW]|GetModuleInformation|GetProcessId|NtQuerySystemInformation|NtQueryInformationProcess|GetDiskFreeSpaceEx[AW]|MoveFileEx[AW]|IsWow64Process|Wow64(Disable|Revert)Wow64FsRedirection|GetSystemWow64Directory[AW]|CheckTokenMembership)$'

# The allow-list as "dll!Function" lines, the DLL in lower case:
# "[KERNEL32.dll]" starts a DLL's group, "Name  # note" is one function,
# "!Name  # note" one known to be missing (listed with its note in $missing).
read_list() {
  awk -v want="$1" '
    { note = ""; if (match($0, /#.*/)) note = substr($0, RSTART + 1); sub(/#.*/, "")
      gsub(/[[:space:]]+/, " "); sub(/^ /, ""); sub(/ $/, ""); sub(/^ /, "", note) }
    $0 == "" { next }
    /^\[.*\]$/ { dll = tolower(substr($0, 2, length($0) - 2)); next }
    dll == "" { next }
    want == "allowed" && $1 !~ /^!/ { print dll "!" $1 }
    want == "missing" && $1 ~ /^!/ { print dll "!" substr($1, 2) "\t" note }' "$allow_list"
}
allowed=$(read_list allowed)
missing=$(read_list missing)
[ -n "$allowed" ] || fail "empty allow-list $allow_list"

case "$processor" in
  x86_64) format=pei-x86-64 ;;
  *) format=pei-i386 ;;
esac

while [ $# -ge 2 ]; do
  kind=$1 exe=$2
  shift 2
  name=$(basename "$exe")
  dump=$("$objdump" -p "$exe") || { fail "$name: objdump"; continue; }
  grep -q "file format $format" <<<"$dump" || fail "$name: not $format: $(grep -m1 'file format' <<<"$dump")"
  case "$kind" in
    gui) grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' <<<"$dump" || fail "$name: not a Windows GUI program" ;;
    console) grep -Eq '^Subsystem[[:space:]]+0+3[[:space:]]+\(Windows CUI\)' <<<"$dump" || fail "$name: not a console program" ;;
    *) fail "$name: unknown kind $kind" ;;
  esac

  # "DLL Name: X" opens a DLL's table; its entries are "<vma> <hint> <name>",
  # an entry by ordinal "<vma> <ordinal>" alone.
  imports=$(awk '
    /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
    dll != "" && NF == 0 { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && NF == 3 && $2 ~ /^[0-9]+$/ { print dll "!" $3; next }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && NF == 2 && $2 ~ /^[0-9]+$/ { print dll "!#" $2 }' <<<"$dump" | sort -u)
  [ -n "$imports" ] || { fail "$name: no import table found"; continue; }
  grep -q '^kernel32\.dll!' <<<"$imports" || fail "$name: no KERNEL32 import read (objdump output not understood)"

  while read -r entry; do
    fail "$name imports $entry, which the code binds at run time"
  done < <(grep -E "$runtime_bound" <<<"$(sed 's/^[^!]*!//' <<<"$imports")")

  if [ "$processor" != x86_64 ]; then
    while read -r entry; do
      case "$entry" in
        *'!#'*) fail "$name imports $entry by ordinal" ;;
        *)
          known=$(awk -F'\t' -v e="$entry" '$1 == e {print $2; exit}' <<<"$missing")
          if [ -n "$known" ]; then
            fail "$name imports $entry, which Windows 95 or NT 4.0 lacks ($known)"
          else
            fail "$name imports $entry, not in $(basename "$allow_list"): check that Windows 95 and NT 4.0 export it, then add it"
          fi ;;
      esac
    done < <(comm -23 <(echo "$imports") <(sort -u <<<"$allowed"))
    # Who calls LoadLibrary*, read from the code and the symbol table.
    nm=${objdump%objdump}nm
    slots=$("$nm" "$exe" | awk '$3 ~ /^__imp__LoadLibrary(Ex)?[AW]@/ {print "0x" substr($1, match($1, /[1-9a-f]/))}')
    if [ -n "$slots" ]; then
      callers=$("$objdump" -d "$exe" | awk -v re="$(paste -sd'|' <<<"$slots")" '
        /^[0-9a-f]+ <.*>:$/ { fn = $2; gsub(/[<>:]/, "", fn) }
        $0 ~ "\\*(" re ")$" || $0 ~ "[ ,](" re ")(,|$)" { print fn }' | sort -u)
      [ -n "$callers" ] || fail "$name: LoadLibrary is imported but no caller was found (objdump output not understood)"
      while read -r caller; do
        case "$caller" in
          __Z17LoadSystemLibraryPKc | ___gcc_register_frame) ;;
          *) fail "$name: $caller loads code itself: load through LoadSystemLibrary (WOW64 redirection)" ;;
        esac
      done <<<"$callers"
    fi
    for field in MajorSubsystemVersion:4 MinorSubsystemVersion:0 MajorOSystemVersion:4 MinorOSystemVersion:0; do
      got=$(awk -v f="${field%%:*}" '$1 == f {print $2; exit}' <<<"$dump")
      [ "$got" = "${field#*:}" ] || fail "$name: ${field%%:*} is '$got', want ${field#*:}"
    done
  fi
  echo "$name: $(wc -l <<<"$imports") imports from $(sed 's/!.*//' <<<"$imports" | sort -u | tr '\n' ' ')"
done
[ $# -eq 0 ] || fail "odd argument: $1"
[ "$failures" -eq 0 ]
