#!/usr/bin/env bash
# Tests a release package as it ships: unpacked into an empty folder, its checksums and its
# files, zel.dll's export and import tables, and then, in a fresh Wine prefix, the version
# resource of each program read back with GetFileVersionInfoA, the demo run by the package's own
# zel-host.exe with its own zel.dll against the simulated serial display, and the package's
# zel-borrow.exe borrowing the display from that driver and handing it back.
#
#   tests/package/check_package.sh ZIP VERSION WINDOWS_BUILD
#
# WINDOWS_BUILD is a development build folder of the package's kind (win32 or win64, as its
# wine-arch file says): the test programs file_version.exe and port_user.exe, and zel-sim from its
# native tools (host-tools), come from there; none of them is in the package. The prefix is of the
# same kind. Exit status 0 when everything held; otherwise 1, with what failed.
set -uo pipefail
[ $# = 3 ] || { echo "usage: check_package.sh ZIP VERSION WINDOWS_BUILD" >&2; exit 2; }
zip=$(realpath "$1") version=$2 build=$(realpath "$3")
arch=win32
[ -f "$build/wine-arch" ] && arch=$(cat "$build/wine-arch")
objdump=i686-w64-mingw32-objdump
[ "$arch" = win64 ] && objdump=x86_64-w64-mingw32-objdump
root=$(cd "$(dirname "$0")/../.." && pwd)
expect=$root/tests/tools/expect_output.sh
sim=$build/host-tools/sim/tools/zel-sim
file_version=$build/tests/wine/file_version.exe
port_user=$build/tests/tools/port_user.exe

# shellcheck source=package_steps.sh
. "$root/tests/package/package_steps.sh"
start_check "package check" package-check

step "unpacking $(basename "$zip") into an empty folder"
mkdir "$work/unpacked"
python3 -m zipfile -e "$zip" "$work/unpacked" || { echo "FAILED: cannot unpack $zip"; exit 1; }
package=$work/unpacked/zel-$version-$arch
listing=$(cd "$work/unpacked" && find . -mindepth 1 | sort | tr '\n' ' ')
want="./zel-$version-$arch "
for file in README.txt SHA256SUMS host_interface.h zel-borrow.exe zel-host.exe zel.dll; do
    want+="./zel-$version-$arch/$file "
done
[ "$listing" = "$want" ] || fail "the package holds: $listing"
(cd "$package" && sha256sum -c SHA256SUMS) || fail "the checksums do not match"
grep -q "ZEL $version for Windows" "$package/README.txt" ||
    fail "README.txt does not name version $version"

step "zel.dll's export and import tables"
"$root/tests/wine/check_dll_tables.sh" "$objdump" "$package/zel.dll" ||
    fail "zel.dll's tables"
python3 "$root/tests/pe/check_hardening.py" "$package/zel.dll" "$package/zel-host.exe" \
    "$package/zel-borrow.exe" || fail "the binaries' hardening"

step "a fresh Wine prefix ($arch)"
"$root/tools/wine-prefix" "$prefix" "$arch" || { echo "FAILED: no Wine prefix"; exit 1; }
export ZEL_WINEPREFIX=$prefix ZEL_WINEARCH=$arch

step "the version resources"
for file in zel.dll zel-host.exe zel-borrow.exe; do
    "$root/tools/wine-run" "$file_version" "$package/$file" "$version" ||
        fail "the version resource of $file"
done

step "the demo with the package's zel-host.exe and zel.dll"
demo_with "$prefix" "$package" 5 || fail "the demo from the package"

step "the package's zel-borrow.exe borrows the display from the package's driver"
borrow_with "$prefix" "$package" "$package" "$port_user" 6 || fail "zel-borrow from the package"

step "done"
[ $failed = 0 ] && echo "package check: zel-$version-$arch.zip works as it ships"
exit $failed
