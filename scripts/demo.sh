#!/usr/bin/env bash
# The main job end to end: installs what is missing, builds what ships (the
# provider for x64 and x86, the configuration tool, the signing service, the
# client tool), checks the binaries, starts the signing service under Wine
# in a throwaway prefix, creates a demo key, and drives the provider DLL
# through ZentravaKSPTool.exe: properties, sign, verify, encrypt, decrypt,
# public key export, a certification request and a self-signed code-signing
# certificate (both checked by OpenSSL), and the certificate linked in the
# user's store. Prints a summary; exits 0 only if every step worked.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
key=demo-key

say() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/    /'; }

# Setup and build: without them nothing else can run.
say "Installing what is missing"
"$root/scripts/setup.sh" || { echo "demo: setup failed" >&2; exit 1; }
# Everything that ships (zk_shipped), since the binary check below looks at all of it.
say "Building the provider (x64 and x86), the configuration tool, the signing service and the client tool"
ZK_BUILD_DIR=$build "$root/scripts/build.sh" zk_shipped || { echo "demo: build failed" >&2; exit 1; }
bin=$build/bin

# Throwaway Wine prefix and scratch files, removed at the end.
work=$(mktemp -d /tmp/zentrava-demo.XXXXXX)
export ZK_WINEPREFIX=$work/wineprefix
files=$work/files
mkdir -p "$files"
win() { printf 'Z:%s' "$1"; }  # Wine sees / as Z:\
run() { "$build/wine-run.sh" "$@"; }
tool() { run "$bin/ZentravaKSPTool.exe" "$@"; }
service_pid=""

cleanup() {
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        run "$bin/ZentravaSigningService.exe" stop >/dev/null 2>&1
        sleep 2
        kill "$service_pid" 2>/dev/null
    fi
    WINEPREFIX=$ZK_WINEPREFIX wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

names=()
results=()
record() {  # record <step> <status>
    names+=("$1")
    if [ "$2" -eq 0 ]; then results+=("ok"); else results+=("FAILED"); fi
}

say "Checking the shipped DLL's exports and imports"
"$root/scripts/check-binaries.sh" "$bin" 2>&1 | indent
record "provider DLLs export only GetKeyStorageInterface, import only system DLLs; programs checked" "${PIPESTATUS[0]}"

say "Starting the signing service in a throwaway Wine prefix ($ZK_WINEPREFIX)"
run "$bin/ZentravaSigningService.exe" serve >"$work/service.log" 2>&1 &
service_pid=$!
started=1
for _ in $(seq 1 120); do
    if grep -q "serving" "$work/service.log" 2>/dev/null; then started=0; break; fi
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.5
done
indent <"$work/service.log"
record "signing service started on \\\\.\\pipe\\ZentravaPipe" "$started"

say "Creating the demo key \"$key\" (RSA 2048) in the signing service"
run "$bin/ZentravaSigningService.exe" create "$key" --bits 2048 2>&1 | indent
record "demo key \"$key\" created" "${PIPESTATUS[0]}"

say "Provider properties and algorithms (ZentravaKSPTool provider)"
tool --use-context "Zentrava demo" provider 2>&1 | indent
record "provider properties and algorithms listed" "${PIPESTATUS[0]}"

say "Key properties (ZentravaKSPTool key $key)"
tool key "$key" 2>&1 | indent
record "key opened through the signing service, properties listed" "${PIPESTATUS[0]}"

sample=$files/sample.txt
printf 'Zentrava demo: a sample document signed through the key storage provider.\n' >"$sample"
say "Signing $sample (SHA-256, PKCS#1 v1.5)"
tool sign "$key" "$(win "$sample")" "$(win "$files/sample.sig")" 2>&1 | indent
record "sample file signed by the signing service" "${PIPESTATUS[0]}"

say "Verifying the signature"
tool verify "$key" "$(win "$sample")" "$(win "$files/sample.sig")" 2>&1 | indent
record "signature verified" "${PIPESTATUS[0]}"

say "Verifying the signature against a tampered copy (must be rejected)"
sed 's/sample/SAMPLE/' "$sample" >"$files/tampered.txt"
tool verify "$key" "$(win "$files/tampered.txt")" "$(win "$files/sample.sig")" >"$work/tampered.out" 2>&1
tampered_rc=$?
indent <"$work/tampered.out"
rejected=1
[ "$tampered_rc" -eq 1 ] && grep -q "NTE_BAD_SIGNATURE" "$work/tampered.out" && rejected=0
record "tampered copy rejected with NTE_BAD_SIGNATURE" "$rejected"

message=$files/message.txt
printf 'Meet at the usual place at 10:00. Bring the blue folder.' >"$message"
say "Encrypting a message with the key's public half (PKCS#1 v1.5)"
tool encrypt "$key" "$(win "$message")" "$(win "$files/message.enc")" 2>&1 | indent
encrypt_rc=${PIPESTATUS[0]}
say "Decrypting it through the signing service"
tool decrypt "$key" "$(win "$files/message.enc")" "$(win "$files/message.dec")" 2>&1 | indent
decrypt_rc=${PIPESTATUS[0]}
roundtrip=1
if [ "$encrypt_rc" -eq 0 ] && [ "$decrypt_rc" -eq 0 ] && cmp -s "$message" "$files/message.dec"; then
    roundtrip=0
    echo "    decrypted text equals the original: $(cat "$files/message.dec")"
fi
record "message round-tripped through encrypt and decrypt" "$roundtrip"

say "Exporting the public key as PEM"
tool export "$key" "$(win "$files/$key.pem")" 2>&1 | indent
export_rc=${PIPESTATUS[0]}
pem_ok=1
if [ "$export_rc" -eq 0 ] && head -n1 "$files/$key.pem" | grep -qx -- "-----BEGIN PUBLIC KEY-----"; then
    pem_ok=0
    indent <"$files/$key.pem"
fi
record "public key exported as PEM SubjectPublicKeyInfo" "$pem_ok"

# An independent check of the signature (setup installs OpenSSL).
if [ "$pem_ok" -eq 0 ]; then
    say "Checking the signature with OpenSSL and the exported PEM"
    openssl dgst -sha256 -verify "$files/$key.pem" -signature "$files/sample.sig" "$sample" 2>&1 | indent
    record "OpenSSL verifies the signature with the exported PEM" "${PIPESTATUS[0]}"
fi

subject="CN=Zentrava Demo Signer,O=Zentrava,C=DE"
say "A certification request for \"$key\" (ZentravaKSPTool csr), signed through the provider"
tool csr "$key" "$(win "$files/$key.csr")" --subject "$subject" --dns demo.zentrava.example 2>&1 | indent
csr_rc=${PIPESTATUS[0]}
csr_ok=1
if [ "$csr_rc" -eq 0 ]; then
    echo "    openssl req -verify:"
    openssl req -in "$files/$key.csr" -verify -noout -subject 2>&1 | indent | indent
    [ "${PIPESTATUS[0]}" -eq 0 ] && csr_ok=0
fi
record "certification request made through the provider, verified by OpenSSL" "$csr_ok"

say "A self-signed code-signing certificate for \"$key\" (ZentravaKSPTool selfsign)"
tool selfsign "$key" "$(win "$files/$key.crt")" --subject "$subject" --code-signing --days 365 2>&1 | indent
cert_rc=${PIPESTATUS[0]}
cert_ok=1
if [ "$cert_rc" -eq 0 ]; then
    echo "    openssl verify -CAfile (the certificate itself):"
    openssl verify -CAfile "$files/$key.crt" "$files/$key.crt" 2>&1 | indent | indent
    verify_rc=${PIPESTATUS[0]}
    openssl x509 -in "$files/$key.crt" -noout -text >"$work/cert.txt" 2>&1
    sed -n '/X509v3 extensions/,/Signature Algorithm/p' "$work/cert.txt" | sed '$d' | indent
    if [ "$verify_rc" -eq 0 ] && grep -q "Code Signing" "$work/cert.txt" && grep -q "CA:FALSE" "$work/cert.txt"; then
        cert_ok=0
    fi
fi
record "self-signed code-signing certificate, verified by OpenSSL with its extensions" "$cert_ok"

say "Linking the certificate to \"$key\" in the user's store (ZentravaKSPTool link-cert), then listing (certs)"
tool link-cert "$key" "$(win "$files/$key.crt")" 2>&1 | indent
link_rc=${PIPESTATUS[0]}
thumbprint=$(openssl x509 -in "$files/$key.crt" -noout -fingerprint -sha1 2>/dev/null | sed 's/.*=//; s/://g')
tool certs >"$work/certs.out" 2>&1
certs_rc=$?
indent <"$work/certs.out"
listed=1
if [ "$link_rc" -eq 0 ] && [ "$certs_rc" -eq 0 ] && [ -n "$thumbprint" ] &&
    grep -q "$thumbprint  key \"$key\"" "$work/certs.out"; then
    listed=0
fi
record "certificate linked in CurrentUser\\My to \"$key\" and listed by certs" "$listed"

say "Stopping the signing service"
stopped=1
if [ -n "$service_pid" ]; then
    run "$bin/ZentravaSigningService.exe" stop 2>&1 | indent
    if [ "${PIPESTATUS[0]}" -eq 0 ]; then
        for _ in $(seq 1 40); do
            kill -0 "$service_pid" 2>/dev/null || break
            sleep 0.25
        done
        if ! kill -0 "$service_pid" 2>/dev/null; then
            wait "$service_pid"
            stopped=$?
        fi
    fi
    service_pid=""
fi
echo "    service log:"
indent <"$work/service.log" | indent
record "signing service stopped" "$stopped"

say "Summary"
failed=0
for i in "${!names[@]}"; do
    printf '  [%-6s] %s\n' "${results[$i]}" "${names[$i]}"
    [ "${results[$i]}" = "ok" ] || failed=$((failed + 1))
done
if [ "$failed" -eq 0 ]; then
    echo "Demo: all ${#names[@]} steps worked."
    exit 0
fi
echo "Demo: $failed of ${#names[@]} steps FAILED."
exit 1
