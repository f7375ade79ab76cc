#!/usr/bin/env bash
# The MSI in a fresh (WoW64) Wine prefix, as `msiexec /qn` runs it: install,
# upgrade to a newer version, a downgrade refused, uninstall; then the steps
# by hand of docs/install.md with the archive, -cleanup removing both DLLs.
# After each, a 64-bit and a 32-bit process load ZentravaKSP.dll by name from
# their system directory, as CNG's router does. What Wine cannot show (the
# elevated account, CNG really storing the registration) is in docs/install.md.
. "$(dirname "$0")/lib.sh" "$1" "$2" package_msi_wine
require_release
out=$work/dist
if ! package "$out" >"$work/package.log" 2>&1; then
    cat "$work/package.log"
    echo "package_msi_wine: scripts/package.sh failed"
    exit 1
fi
name=ZentravaKSP-$ZK_VERSION-x64
msi=$out/$name.msi

# A newer version from the same files, made by the package command's own MSI
# builder with the patch number raised.
IFS=. read -r major minor patch <<<"$ZK_VERSION"
newer_version=$major.$minor.$((patch + 1))
mkdir -p "$work/x"
unzip -q "$out/$name.zip" -d "$work/x"
"$src/packaging/build-msi.sh" "$work/x/$name" "$work/newer.msi" "$newer_version" "$ZK_VERSION_QUAD" \
    "$ZK_PRODUCT_NAME" "$ZK_MANUFACTURER"

export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
# +process traces every CreateProcess with its command line: that is where
# the custom actions' ZentravaKSPConfig runs show.
export WINEDEBUG=-all,+process
trap 'wineserver -k >/dev/null 2>&1' EXIT
mkdir -p "$WINEPREFIX"
WINEDEBUG=-all wineboot -i >/dev/null 2>&1
wineserver -w
# Wine's own programs (msiexec, reg, cmd) as an administrator's 64-bit prompt
# starts them: with 32-bit Wine installed, `wine <name>` starts the 32-bit
# one, which sees the 32-bit registry view and SysWOW64 as System32.
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=wine
sys=$WINEPREFIX/drive_c/windows/system32
wow=$WINEPREFIX/drive_c/windows/syswow64
pf="$WINEPREFIX/drive_c/Program Files/Zentrava"
winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }

# msiexec_run <label> <msiexec arguments...>: quiet, with a verbose log.
msiexec_run() {
    local label=$1
    shift
    "$wine64" msiexec "$@" /qn /l*v "$(winpath "$work/$label.log")" >"$work/$label.out" 2>"$work/$label.trace"
    echo $? >"$work/$label.rc"
    wineserver -w
    echo "  msiexec $* -> exit $(cat "$work/$label.rc")"
    sed 's/^/  | /' "$work/$label.out"
}
rc_is() { [ "$(cat "$work/$1.rc")" = "$2" ] || { echo "exit status $(cat "$work/$1.rc")"; return 1; }; }
# ran <label> <argument>: the installer started the installed ZentravaKSPConfig.exe with it.
ran() {
    grep 'CreateProcessInternalW' "$work/$1.trace" | grep -F 'C:\\Program Files\\Zentrava\\ZentravaKSPConfig.exe' |
        grep -qF -- "\\\" $2\""
}
action_ok() { grep -aq "Action ended .*: $2\. Return value 1\." "$work/$1.log"; }
system_path() {
    WINEDEBUG=-all "$wine64" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH |
        tr -d '\r' | awk '$1 == "PATH" {sub(/^[^R]*REG_[A-Z_]* +/, ""); print}'
}
path_entries() { system_path | tr ';' '\n' | grep -cixF 'C:\Program Files\Zentrava\'; }
# installed_versions: DisplayVersion of every installed product named like ours.
installed_versions() {
    WINEDEBUG=-all "$wine64" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
        awk -v n="$ZK_PRODUCT_NAME" '
            /^HKEY_/ {name = ""; version = ""}
            $1 == "DisplayName" {sub(/^ *DisplayName +REG_SZ +/, ""); name = $0}
            $1 == "DisplayVersion" {version = $3}
            name == n && version != "" {print version; name = ""}' | sort | xargs
}
is() { [ "$1" = "$2" ] || { echo "got '$1', want '$2'"; return 1; }; }

# load_probe <64|32>: what a process of that width loads as ZentravaKSP.dll
# ("<path> <machine> GetKeyStorageInterface", or the load's failure).
x86_64-w64-mingw32-gcc -O2 -D_WIN32_WINNT=0x0602 -o "$work/probe64.exe" "$src/tests/package/load_probe.c"
i686-w64-mingw32-gcc -O2 -D_WIN32_WINNT=0x0602 -o "$work/probe32.exe" "$src/tests/package/load_probe.c"
load_probe() { WINEDEBUG=-all wine "$work/probe$1.exe" 2>&1 | tr -d '\r'; }
# Wine names the redirected file by its System32 path; the machine type tells the copies apart.
loaded_x64="C:\\windows\\system32\\ZentravaKSP.dll 0x8664 GetKeyStorageInterface"
loaded_x86="C:\\windows\\system32\\ZentravaKSP.dll 0x014c GetKeyStorageInterface"
check_loads() {  # check_loads <when>: each width gets its own copy
    check "a 64-bit process loads the x64 DLL by name ($1)" is "$(load_probe 64)" "$loaded_x64"
    check "a 32-bit process loads the x86 DLL by name, from syswow64 ($1)" is "$(load_probe 32)" "$loaded_x86"
}
check_gone() {  # check_gone <when>: neither width finds a provider
    check "ZentravaKSP.dll is gone from system32 and syswow64 ($1)" test ! -e "$sys/ZentravaKSP.dll" -a ! -e "$wow/ZentravaKSP.dll"
    check "neither a 64-bit nor a 32-bit process finds it ($1)" \
        is "$(load_probe 64) / $(load_probe 32)" "LoadLibraryExW failed with 126 / LoadLibraryExW failed with 126"
}

echo "-- install $name.msi"
msiexec_run install /i "$(winpath "$msi")"
check "msiexec /i ends with 0" rc_is install 0
check "ZentravaKSP.dll is in the 64-bit system folder, the build's own" cmp "$sys/ZentravaKSP.dll" "$build/bin/ZentravaKSP.dll"
check "the x86 ZentravaKSP.dll is in syswow64, the x86 tree's own" cmp "$wow/ZentravaKSP.dll" "$build/x86/bin/ZentravaKSP.dll"
check_loads "after msiexec /i"
for f in ZentravaKSPConfig.exe ZentravaSigningService.exe ZentravaKSPTool.exe; do
    check "$f is in Program Files\\Zentrava, the build's own" cmp "$pf/$f" "$build/bin/$f"
done
check "the DLL is not copied beside the programs" test ! -e "$pf/ZentravaKSP.dll"
check "the RegisterProvider action ran and succeeded (msiexec log)" action_ok install RegisterProvider
check "ZentravaKSPConfig.exe -register ran from Program Files\\Zentrava" ran install -register
check "-unregister did not run on install" bash -c "! grep -qF -- '-unregister' '$work/install.trace'"
check "Program Files\\Zentrava is on the system PATH once" is "$(path_entries)" 1
check "the product is installed once, version $ZK_VERSION" is "$(installed_versions)" "$ZK_VERSION"
# The installed pieces work together: the client tool loads the DLL from the system folder.
WINEDEBUG=-all wine "$pf/ZentravaKSPTool.exe" --dll 'C:\windows\system32\ZentravaKSP.dll' provider \
    >"$work/tool.out" 2>&1
check "the installed client tool loads the installed DLL and reads its properties" \
    grep -q "$ZK_PRODUCT_NAME" "$work/tool.out"

echo "-- upgrade to $newer_version"
msiexec_run upgrade /i "$(winpath "$work/newer.msi")"
check "msiexec /i of the newer version ends with 0" rc_is upgrade 0
check "the newer version replaced the older one (one product, version $newer_version)" \
    is "$(installed_versions)" "$newer_version"
check "the files are still in place after the upgrade" \
    test -f "$sys/ZentravaKSP.dll" -a -f "$wow/ZentravaKSP.dll" -a -f "$pf/ZentravaKSPConfig.exe"
check "the upgrade registered the provider again" ran upgrade -register
# Windows sets UPGRADINGPRODUCTCODE while the older version is removed, so its
# -unregister is skipped; Wine's RemoveExistingProducts does not, so it runs
# there. Either way the older version goes first and the provider ends registered.
last_config_run() {
    grep 'CreateProcessInternalW' "$work/$1.trace" | grep -F 'ZentravaKSPConfig.exe' | tail -1 |
        grep -o -- '-[a-z]*"$' | tr -d '"'
}
check "the last configuration run of the upgrade is -register" is "$(last_config_run upgrade)" -register
check "Program Files\\Zentrava is on the system PATH once after the upgrade" is "$(path_entries)" 1

echo "-- downgrade to $ZK_VERSION (refused)"
msiexec_run downgrade /i "$(winpath "$msi")"
check "msiexec /i of the older version fails with 1603 (67 as an 8-bit exit status)" rc_is downgrade $((1603 % 256))
check "the launch condition found the newer version" grep -aq "ZK_NEWER_FOUND = {" "$work/downgrade.log"
check "the newer version stays installed" is "$(installed_versions)" "$newer_version"
check "the refused downgrade left the files" test -f "$sys/ZentravaKSP.dll" -a -f "$pf/ZentravaKSPConfig.exe"

echo "-- uninstall"
msiexec_run uninstall /x "$(winpath "$work/newer.msi")"
check "msiexec /x ends with 0" rc_is uninstall 0
check "the UnregisterProvider action ran and succeeded (msiexec log)" action_ok uninstall UnregisterProvider
check "ZentravaKSPConfig.exe -unregister ran before its file was removed" ran uninstall -unregister
check_gone "after msiexec /x"
for f in ZentravaKSPConfig.exe ZentravaSigningService.exe ZentravaKSPTool.exe; do
    check "$f is gone" test ! -e "$pf/$f"
done
check "Program Files\\Zentrava is gone" test ! -d "$pf"
check "Program Files\\Zentrava is off the system PATH" is "$(path_entries)" 0
check "no version of the product is installed" is "$(installed_versions)" ""

echo "-- by hand, from the archive (docs/install.md), then -cleanup"
bin=$work/x/$name/bin
(cd "$bin" && WINEDEBUG=-all "$wine64" cmd /c 'copy /y ZentravaKSP.dll %SystemRoot%\System32\ && copy /y x86\ZentravaKSP.dll %SystemRoot%\SysWOW64\') \
    >"$work/copy.out" 2>&1
check "the documented copy commands put both DLLs in place" \
    bash -c "cmp '$sys/ZentravaKSP.dll' '$bin/ZentravaKSP.dll' && cmp '$wow/ZentravaKSP.dll' '$bin/x86/ZentravaKSP.dll'"
check_loads "after the copy by hand"
WINEDEBUG=-all wine "$bin/ZentravaKSPConfig.exe" -cleanup 2>&1 | tr -d '\r' >"$work/cleanup.out"
sed 's/^/  | /' "$work/cleanup.out"
check "-cleanup reports both copies removed" is "$(cat "$work/cleanup.out")" \
    "$(printf 'Provider binary removed: C:\\windows\\system32\\ZentravaKSP.dll\nProvider binary removed: C:\\windows\\syswow64\\ZentravaKSP.dll')"
check_gone "after -cleanup"

finish
