#!/usr/bin/env bash
# Both shipped DLLs, the x64 one and the x86 one (for 32-bit programs), are
# of their machine type, export only the undecorated GetKeyStorageInterface
# and import only Windows system DLLs (their C++ runtime is linked in); every
# shipped binary carries the build's version.
#   check-binaries.sh <bin> [release.env] [x86 DLL]
# Without the third argument the x86 DLL is <bin>/../x86/bin/ZentravaKSP.dll
# and checked where built (a configure with ZK_BUILD_X86=OFF has none);
# scripts/package.sh names it, so that a release never lacks it.
set -euo pipefail
bin=$1
x86_dll=${3:-$bin/../x86/bin/ZentravaKSP.dll}
[ -n "${3:-}" ] || [ -f "$x86_dll" ] || x86_dll=""

check_dll() {  # check_dll <file> <label> <objdump file format>
    local dll=$1 label=$2 format=$3 dump exports imports dll_name
    [ -f "$dll" ] || { echo "check-binaries: $label is missing ($dll)" >&2; exit 1; }
    dump=$(x86_64-w64-mingw32-objdump -p "$dll")
    if ! grep -q "file format $format\$" <<<"$dump"; then
        echo "check-binaries: $label is not $format: $(grep -o 'file format .*' <<<"$dump")" >&2
        exit 1
    fi
    exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/^[[:space:]]*\[/{print $NF;next} f{f=0}')
    if [ "$exports" != "GetKeyStorageInterface" ]; then
        echo "check-binaries: $label exports: ${exports:-nothing}" >&2
        exit 1
    fi
    imports=$(echo "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
    for dll_name in $imports; do
        case "$dll_name" in
            kernel32.dll|advapi32.dll|bcrypt.dll|crypt32.dll|msvcrt.dll) ;;
            *) echo "check-binaries: $label imports $dll_name" >&2; exit 1 ;;
        esac
    done
    echo "check-binaries: $label ($format) exports GetKeyStorageInterface only; imports $(echo $imports)"
}
check_dll "$bin/ZentravaKSP.dll" ZentravaKSP.dll pei-x86-64
[ -z "$x86_dll" ] || check_dll "$x86_dll" x86/ZentravaKSP.dll pei-i386

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

# The signing service and the client tool run from a bare copy too: no
# runtime DLL of the compiler (libstdc++, libgcc, libwinpthread) among their imports.
for exe_name in ZentravaSigningService.exe ZentravaKSPTool.exe; do
    exe=$bin/$exe_name
    [ -f "$exe" ] || { echo "check-binaries: $exe_name is missing" >&2; exit 1; }
    exe_imports=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
    for dll_name in $exe_imports; do
        case "$dll_name" in
            lib*.dll) echo "check-binaries: $exe_name imports $dll_name" >&2; exit 1 ;;
        esac
    done
    echo "check-binaries: $exe_name imports $(echo $exe_imports)"
done

# Every shipped binary carries the build's one version in its version
# resource (numbers and strings) and its own file name.
env_file=${2:-$bin/../release.env}
if [ ! -f "$env_file" ]; then
    echo "check-binaries: $env_file not found (written by CMake)" >&2
    exit 1
fi
# shellcheck source=/dev/null
. "$env_file"
numbers=$(echo "$ZK_VERSION_QUAD" | sed 's/\./, /g')
check_version() {  # check_version <file> <its name>
    local file=$1 name=$2 rc wanted
    [ -f "$file" ] || { echo "check-binaries: $name is missing" >&2; exit 1; }
    rc=$(x86_64-w64-mingw32-windres -i "$file" -O rc 2>/dev/null) || rc=""
    for wanted in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" \
                  "VALUE \"FileVersion\", \"$ZK_VERSION_QUAD\"" "VALUE \"ProductVersion\", \"$ZK_VERSION_QUAD\"" \
                  "VALUE \"ProductName\", \"$ZK_PRODUCT_NAME\"" "VALUE \"CompanyName\", \"$ZK_MANUFACTURER\"" \
                  "VALUE \"OriginalFilename\", \"${name##*/}\""; do
        if ! grep -qF -- "$wanted" <<<"$rc"; then
            echo "check-binaries: $name: version resource lacks: $wanted" >&2
            exit 1
        fi
    done
}
for name in $ZK_SHIPPED_FILES; do
    check_version "$bin/$name" "$name"
done
[ -z "$x86_dll" ] || check_version "$x86_dll" x86/ZentravaKSP.dll
# The configuration tool's manifest names the same version.
if ! x86_64-w64-mingw32-windres -i "$bin/ZentravaKSPConfig.exe" -O rc 2>/dev/null |
        grep -qF "version=\"\"$ZK_VERSION_QUAD\"\""; then
    echo "check-binaries: ZentravaKSPConfig.exe: manifest does not carry version $ZK_VERSION_QUAD" >&2
    exit 1
fi
echo "check-binaries: $ZK_SHIPPED_FILES${x86_dll:+ and x86/ZentravaKSP.dll} carry version $ZK_VERSION_QUAD ($ZK_PRODUCT_NAME, $ZK_MANUFACTURER)"
