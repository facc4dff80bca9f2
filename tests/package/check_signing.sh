#!/usr/bin/env bash
# Signs a release package's binaries as a vendor would and checks the result: a throwaway
# certificate and key are made in a temporary folder (never kept), tools/sign signs zel.dll,
# zel-host.exe and zel-borrow.exe of the unpacked package, osslsigncode verifies each signature
# against that certificate, and the signed zel-host.exe runs the demo with the signed zel.dll
# under Wine in a fresh prefix of the package's kind.
#
#   tests/package/check_signing.sh ZIP VERSION WINDOWS_BUILD
#
# WINDOWS_BUILD is a development build folder of the package's kind (zel-sim comes from its
# host-tools). Exit status 0 when everything held; otherwise 1, with what failed.
set -uo pipefail
[ $# = 3 ] || { echo "usage: check_signing.sh ZIP VERSION WINDOWS_BUILD" >&2; exit 2; }
zip=$(realpath "$1") version=$2 build=$(realpath "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
expect=$root/tests/tools/expect_output.sh
sim=$build/host-tools/sim/tools/zel-sim
arch=win32
[ -f "$build/wine-arch" ] && arch=$(cat "$build/wine-arch")

# shellcheck source=package_steps.sh
. "$root/tests/package/package_steps.sh"
start_check "signing check ($arch)" signing-check

step "a throwaway code-signing certificate"
openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=ZEL package test (throwaway)" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" ||
    { cat "$work/openssl.log"; echo "FAILED: no certificate"; exit 1; }

step "signing the unpacked package"
python3 -m zipfile -e "$zip" "$work/unpacked" || { echo "FAILED: cannot unpack $zip"; exit 1; }
package=$work/unpacked/zel-$version-$arch
binaries=("$package/zel.dll" "$package/zel-host.exe" "$package/zel-borrow.exe")
for file in "${binaries[@]}"; do
    osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >/dev/null 2>&1 &&
        fail "$(basename "$file") verifies before it is signed"
done
"$root/tools/sign" --cert "$work/cert.pem" --key "$work/key.pem" "${binaries[@]}" ||
    fail "tools/sign"

step "verifying the signatures"
for file in "${binaries[@]}"; do
    if osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >"$work/verify.log" 2>&1 &&
        grep -q "Signature verification: ok" "$work/verify.log"; then
        echo "$(basename "$file"): signature verified"
    else
        cat "$work/verify.log"
        fail "the signature of $(basename "$file")"
    fi
done
python3 "$root/tests/pe/check_hardening.py" "${binaries[@]}" || fail "hardening after signing"

step "the signed driver under Wine"
"$root/tools/wine-prefix" "$prefix" "$arch" || { echo "FAILED: no Wine prefix"; exit 1; }
export ZEL_WINEPREFIX=$prefix ZEL_WINEARCH=$arch
demo_with "$prefix" "$package" 5 || fail "the demo with the signed zel.dll"

step "done"
[ $failed = 0 ] && echo "signing check: zel-$version-$arch signs, verifies and runs signed"
exit $failed
