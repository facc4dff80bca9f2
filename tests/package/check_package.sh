#!/usr/bin/env bash
# Tests a release package as it ships: unpacked into an empty folder, its checksums and its
# files, zel.dll's export and import tables, and then, in a fresh Wine prefix, the version
# resource of each program read back with GetFileVersionInfoA, the demo run by the package's own
# zel-host.exe with its own zel.dll against the simulated serial display, and the package's
# zel-borrow.exe borrowing the display from that driver and handing it back.
#
#   tests/package/check_package.sh ZIP VERSION WIN32_BUILD
#
# WIN32_BUILD is a win32 build folder: the test programs file_version.exe and port_user.exe, and
# zel-sim from its native tools (host-tools), come from there; none of them is in the package.
# Exit status 0 when everything held; otherwise 1, with what failed.
set -uo pipefail
[ $# = 3 ] || { echo "usage: check_package.sh ZIP VERSION WIN32_BUILD" >&2; exit 2; }
zip=$(realpath "$1") version=$2 build=$(realpath "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
expect=$root/tests/tools/expect_output.sh
sim=$build/host-tools/sim/tools/zel-sim
file_version=$build/tests/wine/file_version.exe
port_user=$build/tests/tools/port_user.exe

work=$(mktemp -d "${TMPDIR:-/tmp}/zel-package-check.XXXXXX")
prefix=$work/prefix
cleanup() {
    # The prefix's Wine server ends by itself a few seconds after its last program.
    [ -d "$prefix" ] && WINEPREFIX=$prefix timeout 60 wineserver -w 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

failed=0
step() { echo "==== package check: $* ($SECONDS s)"; }
fail() { echo "FAILED: $*"; failed=1; }

step "unpacking $(basename "$zip") into an empty folder"
mkdir "$work/unpacked"
python3 -m zipfile -e "$zip" "$work/unpacked" || { echo "FAILED: cannot unpack $zip"; exit 1; }
package=$work/unpacked/zel-$version-win32
listing=$(cd "$work/unpacked" && find . -mindepth 1 | sort | tr '\n' ' ')
want="./zel-$version-win32 "
for file in README.txt SHA256SUMS host_interface.h zel-borrow.exe zel-host.exe zel.dll; do
    want+="./zel-$version-win32/$file "
done
[ "$listing" = "$want" ] || fail "the package holds: $listing"
(cd "$package" && sha256sum -c SHA256SUMS) || fail "the checksums do not match"
grep -q "ZEL $version for Windows" "$package/README.txt" ||
    fail "README.txt does not name version $version"

step "zel.dll's export and import tables"
"$root/tests/wine/check_dll_tables.sh" i686-w64-mingw32-objdump "$package/zel.dll" ||
    fail "zel.dll's tables"

step "a fresh Wine prefix"
"$root/tools/wine-prefix" "$prefix" || { echo "FAILED: no Wine prefix"; exit 1; }
export ZEL_WINEPREFIX=$prefix

step "the version resources"
for file in zel.dll zel-host.exe zel-borrow.exe; do
    "$root/tools/wine-run" "$file_version" "$package/$file" "$version" ||
        fail "the version resource of $file"
done

step "the demo with the package's zel-host.exe and zel.dll"
# "Hello from ZEL" in 8-dot computer braille, in the host's dot order, as tools/demo writes it.
cells="53 11 07 07 15 00 0b 17 15 0d 00 75 51 47"
"$expect" 0 "driver ZEL, version 0x300, 40 text cells, 2 status cells" \
    "display │⠀⠀│⡓⠑⠇⠇⠕⠀⠋⠗⠕⠍⠀⡵⡑⡇⠀⠀" \
    "key Routing 3" "key F1 0" "key SLDN 0" "closed" \
    -- "$sim" --wineprefix "$prefix" --port 5 --timeout 120 "wait cells $cells" "route 3" F1 SLDN \
    -- "$root/tools/wine-run" "$package/zel-host.exe" --timeout 120 open info "cells $cells" \
       "wait-key Routing 3" "wait-key F1" "wait-key SLDN" close ||
    fail "the demo from the package"

step "the package's zel-borrow.exe borrows the display from the package's driver"
host_line="53 11 07 07 15"
borrower_line=$(printf ' ff%.0s' $(seq 40))
"$expect" 0 "borrowed the display: port COM6, identification bytes 0x12 0x34" \
    "port user: wrote its line on COM6" "borrow: handed the display back" "host: key F1 0" \
    -- "$sim" --wineprefix "$prefix" --port 6 --timeout 300 "wait cells $host_line" \
       "wait cells $borrower_line" "wait cells $host_line" F1 \
    -- "$root/tests/tools/borrow_check.sh" --wine command "$package/zel-host.exe" \
       "$package/zel-borrow.exe" "$port_user" "$host_line" ||
    fail "zel-borrow from the package"

step "done"
[ $failed = 0 ] && echo "package check: zel-$version-win32.zip works as it ships"
exit $failed
