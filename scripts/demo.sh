#!/usr/bin/env bash
# The main job end to end: installs what is missing, builds the provider, the
# signing service and the client tool, starts the signing service under Wine
# in a throwaway prefix, creates a demo key, and drives the provider DLL
# through ZentravaKSPTool.exe: properties, sign, verify, encrypt, decrypt,
# public key export. Prints a summary; exits 0 only if every step worked.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
key=demo-key

say() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/    /'; }

# Setup and build: without them nothing else can run.
say "Installing what is missing"
"$root/scripts/setup.sh" || { echo "demo: setup failed" >&2; exit 1; }
say "Building the provider, the signing service and the client tool"
ZK_BUILD_DIR=$build "$root/scripts/build.sh" ZentravaKSP ZentravaSigningService ZentravaKSPTool ||
    { echo "demo: build failed" >&2; exit 1; }
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
record "provider DLL exports only GetKeyStorageInterface, imports only system DLLs" "${PIPESTATUS[0]}"

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

# An independent check when OpenSSL happens to be installed (not required).
if command -v openssl >/dev/null 2>&1 && [ "$pem_ok" -eq 0 ]; then
    say "Checking the signature with OpenSSL and the exported PEM"
    openssl dgst -sha256 -verify "$files/$key.pem" -signature "$files/sample.sig" "$sample" 2>&1 | indent
    record "OpenSSL verifies the signature with the exported PEM" "${PIPESTATUS[0]}"
fi

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
