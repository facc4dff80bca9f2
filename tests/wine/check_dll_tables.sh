#!/usr/bin/env bash
# Reads zel.dll's export and import tables and fails unless it exports exactly GetBrailleInterface,
# undecorated, at ordinal 1, and imports only DLLs that Windows maps from its own folder whatever
# the host's search order (its KnownDLLs); any other system DLL (hid.dll) the driver loads itself
# from the system folder.
set -euo pipefail
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' || true)
count=$(printf '%s\n' "$exports" | grep -c . || true)
if [ "$count" != 1 ] || ! printf '%s\n' "$exports" | grep -qE '\]\s+GetBrailleInterface$'; then
    echo "zel.dll must export GetBrailleInterface alone; its export names are:"
    printf '%s\n' "$exports"
    exit 1
fi
base=$(printf '%s\n' "$dump" | awk '/^Ordinal Base/ {print $3}')
if [ "$base" != 1 ] || ! printf '%s\n' "$dump" | grep -qE '^\s*\[\s*0\] \+base\[\s*1\]'; then
    echo "GetBrailleInterface must be at ordinal 1 (ordinal base is '$base')"
    exit 1
fi

known_dlls='^(kernel32|user32|msvcrt|advapi32|setupapi|ntdll|gdi32)\.dll$'
status=0
while read -r name; do
    lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    if ! [[ $lower =~ $known_dlls ]]; then
        echo "zel.dll imports $name, which the loader would look for in the host's folder first"
        status=1
    fi
done < <(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}')
[ $status = 0 ] && echo "one export, GetBrailleInterface at ordinal 1; imports only known DLLs"
exit $status
