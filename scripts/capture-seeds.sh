#!/usr/bin/env bash
# Writes the fuzz targets' seed inputs (fuzz/corpus/<target>/) from real
# bytes: a real exchange, a real key file and a crypt32 legacy blob
# (build/bin/capture_seeds.exe under Wine), PEM files OpenSSL makes. The
# regression inputs already there stay.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
ZK_BUILD_DIR=$build "$root/scripts/build.sh" capture_seeds
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A small RSA key keeps the seeds small; the layouts do not depend on the size.
openssl genrsa -traditional -out "$work/rsa.pem" 512 2>/dev/null
openssl rsa -in "$work/rsa.pem" -traditional -outform DER -out "$work/rsa.der" 2>/dev/null
corpus=$root/fuzz/corpus
# Wine sees a Linux folder as Z: followed by its path with backslashes.
"$build/wine-run.sh" "$build/bin/capture_seeds.exe" "Z:${corpus//\//\\}" "Z:${work//\//\\}\\rsa.der"
mkdir -p "$corpus/pem"
cp "$work/rsa.pem" "$corpus/pem/openssl-rsa-private-key.pem"
openssl pkey -in "$work/rsa.pem" -out "$corpus/pem/openssl-pkcs8.pem"
openssl pkey -in "$work/rsa.pem" -pubout -out "$corpus/pem/openssl-public-key.pem"
openssl req -new -x509 -key "$work/rsa.pem" -subj "/CN=seed" -days 1 -out "$corpus/pem/openssl-certificate.pem"
openssl rsa -in "$work/rsa.pem" -aes128 -passout pass:seed -traditional -out "$corpus/pem/openssl-encrypted.pem" 2>/dev/null
# CR LF line ends, as files from Windows have them.
sed 's/$/\r/' "$corpus/pem/openssl-certificate.pem" > "$corpus/pem/openssl-certificate-crlf.pem"
ls -R "$corpus" | head -60
