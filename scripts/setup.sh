#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, if it is missing.
set -euo pipefail

need=()
# mingw-w64 brings both cross compilers: x86_64 and i686 (the provider for 32-bit programs).
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
    need+=(mingw-w64)
fi
command -v wine >/dev/null || need+=(wine)
dpkg -s wine64 >/dev/null 2>&1 || need+=(wine64)
# 32-bit programs (the x86 suites) need Debian's i386 architecture and wine32.
add_i386=no
if [ "$(dpkg --print-architecture)" != i386 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    add_i386=yes
fi
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
command -v cmake >/dev/null || need+=(cmake)
[ -d /usr/src/googletest ] || need+=(googletest)
command -v flock >/dev/null || need+=(util-linux)
# The native sanitizer and fuzzing build of the portable code (scripts/fuzz.sh).
command -v clang++-14 >/dev/null || need+=(clang-14)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
# Release artefacts: the MSI (wixl, msiinfo), Authenticode signing, the archive.
command -v wixl >/dev/null || need+=(wixl)
command -v msiinfo >/dev/null || need+=(msitools)
command -v gcab >/dev/null || need+=(gcab)  # the MSI's cabinet, file by file (tests)
command -v osslsigncode >/dev/null || need+=(osslsigncode)
command -v openssl >/dev/null || need+=(openssl)
command -v zip >/dev/null || need+=(zip)
command -v unzip >/dev/null || need+=(unzip)
for extra in "$@"; do
    dpkg -s "$extra" >/dev/null 2>&1 || need+=("$extra")
done

if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    if [ "$add_i386" = yes ]; then
        echo "setup: adding the i386 architecture (dpkg --add-architecture i386)"
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
