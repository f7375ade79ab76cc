#!/usr/bin/env bash
# scripts/package.sh with a throwaway code-signing certificate made here by
# OpenSSL (a test CA and a leaf with the code-signing usage): every binary
# (both DLLs) and the MSI verify against the CA alone, the MSI carries the signed binaries, the
# signed binaries still run, and a file changed after signing is rejected.
# (A timestamp URL needs a reachable timestamping service: not tried here.)
. "$(dirname "$0")/lib.sh" "$1" "$2" package_signing
require_release
name=ZentravaKSP-$ZK_VERSION-x64
pki=$work/pki
mkdir -p "$pki"
(
    cd "$pki" || exit 1
    openssl req -x509 -newkey rsa:3072 -sha256 -days 2 -nodes -keyout ca.key -out ca.pem \
        -subj "/CN=Zentrava Test Root/O=Zentrava test" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    openssl req -newkey rsa:3072 -sha256 -nodes -keyout signer.key -out signer.csr \
        -subj "/CN=Zentrava Test Code Signing/O=Zentrava test"
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
        -extfile signer.ext -out signer.pem
    printf 'throwaway-%s\n' "$RANDOM$RANDOM" >password.txt
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password.txt -out signer.pfx
    cat signer.pem ca.pem >chain.pem
    printf 'wrong\n' >wrong.txt
) >"$work/pki.log" 2>&1
check "OpenSSL made a test CA and a code-signing certificate (PFX with a password)" test -s "$pki/signer.pfx"

out=$work/dist-pfx
package "$out" --sign-pfx "$pki/signer.pfx" --sign-password-file "$pki/password.txt" >"$work/package.log" 2>&1
rc=$?
sed 's/^/  | /' "$work/package.log"
check "package.sh --sign-pfx ends with 0" test "$rc" -eq 0
for f in $ZK_SHIPPED_FILES x86/ZentravaKSP.dll; do
    check "package.sh signed and verified bin/$f" grep -qx "package: signed and verified bin/$f" "$work/package.log"
done
check "package.sh signed and verified $name.msi" grep -qx "package: signed and verified $name.msi" "$work/package.log"
check "package.sh does not call the result unsigned" bash -c "! grep -q UNSIGNED '$work/package.log'"

mkdir -p "$work/x"
unzip -q "$out/$name.zip" -d "$work/x"
top=$work/x/$name
verify() { osslsigncode verify -CAfile "$pki/ca.pem" -in "$1"; }
for f in $ZK_SHIPPED_FILES x86/ZentravaKSP.dll; do
    check "osslsigncode verify accepts bin/$f from the archive (trusting only the test CA)" verify "$top/bin/$f"
done
check "osslsigncode verify accepts the MSI" verify "$out/$name.msi"
for f in ZentravaKSP.dll x86/ZentravaKSP.dll; do
    verify "$top/bin/$f" >"$work/verify-dll.txt" 2>&1
    check "bin/$f: the signature's digest is SHA-256" grep -qi "Message digest algorithm *: SHA256" "$work/verify-dll.txt"
    check "bin/$f: the signer is the test certificate" grep -q "Zentrava Test Code Signing" "$work/verify-dll.txt"
done
check "the archive's checksums are those of the signed files" bash -c "cd '$top' && sha256sum --strict -c --quiet SHA256SUMS"

# The MSI installs the signed binaries, byte for byte those of the archive.
# Its cabinet names each file by its File key (both DLLs are ZentravaKSP.dll).
mkdir -p "$work/msi-files"
(cd "$work/msi-files" && msiinfo extract "$out/$name.msi" zentrava.cab >zentrava.cab && gcab -x zentrava.cab)
for f in $ZK_SHIPPED_FILES x86/ZentravaKSP.dll; do
    key=$f
    [ "$f" != x86/ZentravaKSP.dll ] || key=ZentravaKSP.x86.dll
    check "the MSI carries the signed bin/$f" cmp "$work/msi-files/$key" "$top/bin/$f"
done

# Signed binaries still load and run (in the build's own Wine prefix).
"$build/wine-run.sh" "$top/bin/ZentravaKSPTool.exe" --dll "Z:$(echo "$top/bin/ZentravaKSP.dll" | sed 's|/|\\|g')" \
    provider >"$work/tool.out" 2>&1
check "the signed client tool loads the signed DLL and reads its properties" grep -q "$ZK_PRODUCT_NAME" "$work/tool.out"

# Changed after signing: one byte in the middle of each DLL, one property of the MSI.
tamper() {  # tamper <signed> <copy>: the copy with its middle byte changed
    cp "$1" "$2"
    local offset byte
    offset=$(($(stat -c %s "$2") / 2))
    byte=$(od -An -tu1 -j "$offset" -N1 "$2" | tr -d ' ')
    printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$2" bs=1 seek="$offset" conv=notrunc 2>/dev/null
}
for f in ZentravaKSP.dll x86/ZentravaKSP.dll; do
    tamper "$top/bin/$f" "$work/tampered.dll"
    check "the tampered copy of bin/$f differs from the signed one in one byte" \
        test "$(cmp -l "$work/tampered.dll" "$top/bin/$f" | wc -l)" -eq 1
    check_not "osslsigncode verify rejects bin/$f changed after signing" \
        osslsigncode verify -CAfile "$pki/ca.pem" -in "$work/tampered.dll"
done
cp "$out/$name.msi" "$work/tampered.msi"
msibuild "$work/tampered.msi" -q "UPDATE Property SET Value = 'Someone Else' WHERE Property = 'Manufacturer'"
check_not "osslsigncode verify rejects the MSI changed after signing" osslsigncode verify -CAfile "$pki/ca.pem" -in "$work/tampered.msi"
check_not "an unsigned build's DLL does not verify" osslsigncode verify -CAfile "$pki/ca.pem" -in "$build/bin/ZentravaKSP.dll"

# PEM certificate (with its chain) and key instead of a PFX.
out=$work/dist-pem
package "$out" --sign-cert "$pki/chain.pem" --sign-key "$pki/signer.key" >"$work/package-pem.log" 2>&1
rc=$?
check "package.sh --sign-cert/--sign-key ends with 0" test "$rc" -eq 0
check "osslsigncode verify accepts the MSI signed with the PEM pair" verify "$out/$name.msi"

# A wrong password stops the package command before anything is written.
out=$work/dist-wrong
package "$out" --sign-pfx "$pki/signer.pfx" --sign-password-file "$pki/wrong.txt" >"$work/package-wrong.log" 2>&1
rc=$?
check "a wrong PFX password makes package.sh fail" test "$rc" -ne 0
check "... and leaves no artefacts" test -z "$(ls -A "$out" 2>/dev/null)"

finish
