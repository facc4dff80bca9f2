#!/usr/bin/env bash
# Tests the two release packages together in a fresh 64-bit (WoW64) Wine prefix, as 64-bit Windows
# runs them: the 32-bit package's demo there (a 32-bit screen reader on 64-bit Windows), and the
# shared block across bitness: the 32-bit zel-borrow.exe borrows the display from the 64-bit
# driver, and the 64-bit one from the 32-bit driver.
#
#   tests/package/check_both.sh ZIP32 ZIP64 VERSION WIN64_BUILD
#
# WIN64_BUILD is a win64 development build folder: port_user.exe and zel-sim (host-tools) come
# from there. Exit status 0 when everything held; otherwise 1, with what failed.
set -uo pipefail
[ $# = 4 ] || { echo "usage: check_both.sh ZIP32 ZIP64 VERSION WIN64_BUILD" >&2; exit 2; }
zip32=$(realpath "$1") zip64=$(realpath "$2") version=$3 build=$(realpath "$4")
root=$(cd "$(dirname "$0")/../.." && pwd)
expect=$root/tests/tools/expect_output.sh
sim=$build/host-tools/sim/tools/zel-sim
port_user=$build/tests/tools/port_user.exe

# shellcheck source=package_steps.sh
. "$root/tests/package/package_steps.sh"
start_check "both packages" package-both

step "unpacking both packages"
mkdir "$work/unpacked"
for zip in "$zip32" "$zip64"; do
    python3 -m zipfile -e "$zip" "$work/unpacked" || { echo "FAILED: cannot unpack $zip"; exit 1; }
done
p32=$work/unpacked/zel-$version-win32
p64=$work/unpacked/zel-$version-win64

step "a fresh 64-bit Wine prefix"
"$root/tools/wine-prefix" "$prefix" win64 || { echo "FAILED: no Wine prefix"; exit 1; }
export ZEL_WINEPREFIX=$prefix ZEL_WINEARCH=win64

step "the 32-bit package's demo in the 64-bit prefix"
demo_with "$prefix" "$p32" 5 || fail "the 32-bit demo in the 64-bit prefix"

step "the 32-bit zel-borrow.exe borrows the display from the 64-bit driver"
borrow_with "$prefix" "$p64" "$p32" "$port_user" 6 || fail "32-bit zel-borrow, 64-bit driver"

step "the 64-bit zel-borrow.exe borrows the display from the 32-bit driver"
borrow_with "$prefix" "$p32" "$p64" "$port_user" 7 || fail "64-bit zel-borrow, 32-bit driver"

step "done"
[ $failed = 0 ] && echo "both packages: they work side by side in a 64-bit prefix"
exit $failed
