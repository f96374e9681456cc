#!/usr/bin/env bash
# check-exe.sh EXE [gui|console]: checks the form of a shipped Windows program: a GUI program (or a
# console one), stripped of its debug sections, importing no DLL that is not part of Windows, with
# its manifest and version resource. Prints one line a check and exits 1 if any fails.
set -uo pipefail
exe=$1
kind=${2:-gui}
objdump=i686-w64-mingw32-objdump
file -b "$exe" | grep -q 'PE32+' && objdump=x86_64-w64-mingw32-objdump
headers=$($objdump -p "$exe") || { echo "check-exe: cannot read $exe"; exit 1; }
sections=$($objdump -h "$exe" | awk '$1 ~ /^[0-9]+$/ {print $2}')
failed=0
check() {  # check WHAT COMMAND...
    if "${@:2}"; then echo "   ok   $1"; else echo "   FAIL $1"; failed=1; fi
}
# DLLs that every Windows has; a missing -static would add libwinpthread-1.dll or libstdc++-6.dll.
own='^(kernel32|user32|gdi32|shell32|msvcrt|advapi32|ole32|comctl32|ntdll)\.dll$'
foreign=$(echo "$headers" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | grep -v -E "$own")
subsystem=00000002
[ "$kind" = console ] && subsystem=00000003
check "$kind subsystem" grep -q -E "^Subsystem[[:space:]]+$subsystem" <<<"$headers"
check "no debug sections" test -z "$(grep -E '^\.(debug|zdebug)' <<<"$sections")"
check "only Windows' own DLLs${foreign:+ (also: $(echo $foreign))}" test -z "$foreign"
check "a version resource" grep -q -E '^[0-9a-f]{3}   Entry: ID: 0x000010,' <<<"$headers"
check "a manifest" grep -q -E '^[0-9a-f]{3}   Entry: ID: 0x000018,' <<<"$headers"
exit "$failed"
