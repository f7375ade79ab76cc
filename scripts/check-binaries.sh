#!/usr/bin/env bash
# The shipped DLL exports only GetKeyStorageInterface and imports only
# Windows system DLLs (its C++ runtime is linked in).
set -euo pipefail
bin=$1
dll=$bin/ZentravaKSP.dll
dump=$(x86_64-w64-mingw32-objdump -p "$dll")

exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/^[[:space:]]*\[/{print $NF;next} f{f=0}')
if [ "$exports" != "GetKeyStorageInterface" ]; then
    echo "check-binaries: ZentravaKSP.dll exports: ${exports:-nothing}" >&2
    exit 1
fi
imports=$(echo "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
for dll_name in $imports; do
    case "$dll_name" in
        kernel32.dll|advapi32.dll|bcrypt.dll|crypt32.dll|msvcrt.dll) ;;
        *) echo "check-binaries: ZentravaKSP.dll imports $dll_name" >&2; exit 1 ;;
    esac
done
echo "check-binaries: ZentravaKSP.dll exports GetKeyStorageInterface only; imports $(echo $imports)"

# The configuration tool imports only the system DLLs it uses (never the provider).
exe=$bin/ZentravaKSPConfig.exe
if [ -f "$exe" ]; then
    exe_imports=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
    for dll_name in $exe_imports; do
        case "$dll_name" in
            kernel32.dll|bcrypt.dll|msvcrt.dll) ;;
            *) echo "check-binaries: ZentravaKSPConfig.exe imports $dll_name" >&2; exit 1 ;;
        esac
    done
    echo "check-binaries: ZentravaKSPConfig.exe imports $(echo $exe_imports)"
fi
