#!/usr/bin/env bash
# Release artefacts from the Release build (the binaries the tests ran):
#   dist/ZentravaKSP-<version>-x64.zip   bin/ (DLL and programs), bin/x86/ (the DLL for 32-bit programs),
#                                        docs/, Install-ZentravaKSP.ps1, acceptance.ps1, README.txt, SHA256SUMS
#   dist/ZentravaKSP-<version>-x64.msi   per-machine, 64-bit Windows Installer package (both DLLs)
#
#   bash scripts/package.sh [--out DIR]
#       [--sign-pfx FILE --sign-password-file FILE | --sign-cert FILE --sign-key FILE [--sign-password-file FILE]]
#       [--timestamp-url URL]
#
# With a certificate, both DLLs, the programs and the MSI get an Authenticode
# signature (SHA-256) from osslsigncode, each verified after signing; without
# one, everything is unsigned and the script says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
out=$root/dist
sign_pfx="" sign_cert="" sign_key="" sign_pass="" timestamp=""

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit "$1"; }
need_value() { [ $# -ge 2 ] && [ -n "$2" ] || { echo "package: $1 needs a value" >&2; exit 2; }; }
while [ $# -gt 0 ]; do
    case "$1" in
        --out) need_value "$@"; out=$2; shift 2 ;;
        --sign-pfx) need_value "$@"; sign_pfx=$2; shift 2 ;;
        --sign-cert) need_value "$@"; sign_cert=$2; shift 2 ;;
        --sign-key) need_value "$@"; sign_key=$2; shift 2 ;;
        --sign-password-file) need_value "$@"; sign_pass=$2; shift 2 ;;
        --timestamp-url) need_value "$@"; timestamp=$2; shift 2 ;;
        -h|--help) usage 0 ;;
        *) echo "package: unknown argument $1" >&2; usage 2 >&2 ;;
    esac
done

signing=no
if [ -n "$sign_pfx" ]; then
    [ -z "$sign_cert$sign_key" ] || { echo "package: give --sign-pfx or --sign-cert/--sign-key, not both" >&2; exit 2; }
    [ -n "$sign_pass" ] || { echo "package: --sign-pfx needs --sign-password-file" >&2; exit 2; }
    signing=yes
elif [ -n "$sign_cert$sign_key" ]; then
    [ -n "$sign_cert" ] && [ -n "$sign_key" ] || { echo "package: --sign-cert and --sign-key go together" >&2; exit 2; }
    signing=yes
elif [ -n "$sign_pass$timestamp" ]; then
    echo "package: --sign-password-file and --timestamp-url need a certificate (--sign-pfx or --sign-cert/--sign-key)" >&2
    exit 2
fi
for f in "$sign_pfx" "$sign_cert" "$sign_key" "$sign_pass"; do
    [ -z "$f" ] || [ -r "$f" ] || { echo "package: cannot read $f" >&2; exit 2; }
done

"$root/scripts/setup.sh"
# zk_shipped: the four and the x86 DLL (cmake/x86_tree.cmake).
ZK_BUILD_DIR=$build "$root/scripts/build.sh" zk_shipped
# shellcheck source=/dev/null
. "$build/release.env"
if [ "$ZK_BUILD_TYPE" != "Release" ]; then
    echo "package: $build is a $ZK_BUILD_TYPE build; only Release ships" >&2
    exit 1
fi
"$root/scripts/check-binaries.sh" "$build/bin" "$build/release.env" "$build/x86/bin/ZentravaKSP.dll" >/dev/null

name=ZentravaKSP-$ZK_VERSION-x64
work=$(mktemp -d "$build/package.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/$name
mkdir -p "$out"
out=$(cd "$out" && pwd)
# A failed run must not leave an older artefact looking like this one.
rm -f "$out/$name.zip" "$out/$name.msi"
cmake --install "$build" --prefix "$stage" --component Runtime >/dev/null

# --- Authenticode -----------------------------------------------------------
trust=$work/trust.pem
if [ "$signing" = yes ]; then
    # Verification trusts the signer's own certificates (and the system's
    # roots, for a certificate from a public authority).
    if [ -n "$sign_pfx" ]; then
        openssl pkcs12 -in "$sign_pfx" -passin "file:$sign_pass" -nokeys -out "$trust" 2>/dev/null ||
            openssl pkcs12 -legacy -in "$sign_pfx" -passin "file:$sign_pass" -nokeys -out "$trust" 2>/dev/null ||
            { echo "package: cannot read the certificates of $sign_pfx with the given password" >&2; exit 1; }
    else
        cp "$sign_cert" "$trust"
    fi
    [ -f /etc/ssl/certs/ca-certificates.crt ] && cat /etc/ssl/certs/ca-certificates.crt >>"$trust"
fi

sign_file() {  # sign_file <file>: signs in place, then verifies
    local file=$1 shown=${1#"$stage/"} args=(sign -h sha256 -n "$ZK_PRODUCT_NAME")
    shown=${shown#"$work/"}  # bin/... in the staged tree, or the MSI's name
    if [ -n "$sign_pfx" ]; then
        args+=(-pkcs12 "$sign_pfx" -readpass "$sign_pass")
    else
        args+=(-certs "$sign_cert" -key "$sign_key")
        [ -z "$sign_pass" ] || args+=(-readpass "$sign_pass")
    fi
    [ -z "$timestamp" ] || args+=(-ts "$timestamp")
    rm -f "$file.signed"
    if ! osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >"$work/sign.log" 2>&1; then
        cat "$work/sign.log" >&2
        echo "package: signing $shown failed" >&2
        exit 1
    fi
    mv "$file.signed" "$file"
    local verify=(verify -CAfile "$trust" -in "$file")
    [ -z "$timestamp" ] || verify+=(-TSA-CAfile "$trust")
    if ! osslsigncode "${verify[@]}" >"$work/verify.log" 2>&1; then
        cat "$work/verify.log" >&2
        echo "package: the signature of $shown does not verify" >&2
        exit 1
    fi
    echo "package: signed and verified $shown"
}

if [ "$signing" = yes ]; then
    for file in $ZK_SHIPPED_FILES x86/ZentravaKSP.dll; do
        sign_file "$stage/bin/$file"
    done
fi

# --- Archive ----------------------------------------------------------------
fill() {  # fill <template>: the release's name, version and maker
    sed -e "s|@ZK_VERSION@|$ZK_VERSION|g" -e "s|@ZK_PRODUCT_NAME@|$ZK_PRODUCT_NAME|g" \
        -e "s|@ZK_MANUFACTURER@|$ZK_MANUFACTURER|g" "$1"
}
fill "$root/packaging/README.txt.in" | sed 's/$/\r/' >"$stage/README.txt"
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs -d '\n' sha256sum) \
    >"$stage/SHA256SUMS"
(cd "$work" && find "$name" -type f | LC_ALL=C sort | zip -qX "$out/$name.zip" -@)
echo "package: wrote $out/$name.zip ($(wc -l <"$stage/SHA256SUMS") files and SHA256SUMS)"

# --- MSI --------------------------------------------------------------------
msi=$work/$name.msi
"$root/packaging/build-msi.sh" "$stage" "$msi" "$ZK_VERSION" "$ZK_VERSION_QUAD" "$ZK_PRODUCT_NAME" "$ZK_MANUFACTURER"
[ "$signing" = no ] || sign_file "$msi"
cp "$msi" "$out/$name.msi"
echo "package: wrote $out/$name.msi"

if [ "$signing" = yes ]; then
    echo "package: signed: $ZK_SHIPPED_FILES, x86/ZentravaKSP.dll and $name.msi (SHA-256${timestamp:+, timestamped by $timestamp})"
else
    echo "package: UNSIGNED: no certificate given (--sign-pfx FILE --sign-password-file FILE, or --sign-cert/--sign-key)"
fi
