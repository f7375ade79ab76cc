#!/usr/bin/env bash
# scripts/package.sh without a certificate: the archive holds exactly the
# listed files, its checksums match and its binaries are this build's tested
# ones (the x86 DLL the x86 tree's); the MSI's tables and properties say what
# the installer will do.
. "$(dirname "$0")/lib.sh" "$1" "$2" package_archive
require_release
out=$work/dist
package "$out" >"$work/package.log" 2>&1
rc=$?
sed 's/^/  | /' "$work/package.log"
check "package.sh ends with 0" test "$rc" -eq 0
check "package.sh says that the artefacts are unsigned" grep -q "^package: UNSIGNED" "$work/package.log"
name=ZentravaKSP-$ZK_VERSION-x64
zip=$out/$name.zip
msi=$out/$name.msi
check "the archive and the MSI carry the build's version ($ZK_VERSION)" test -f "$zip" -a -f "$msi"
check "nothing else is written into the output folder" test "$(ls "$out" | wc -l)" -eq 2

# --- archive ---
{
    for f in $ZK_SHIPPED_FILES x86/ZentravaKSP.dll; do echo "$name/bin/$f"; done
    (cd "$src" && find docs -type f) | sed "s|^|$name/|"
    printf '%s\n' "$name/Install-ZentravaKSP.ps1" "$name/acceptance.ps1" "$name/README.txt" "$name/SHA256SUMS"
} | LC_ALL=C sort >"$work/expected.txt"
unzip -Z1 "$zip" 2>/dev/null | LC_ALL=C sort >"$work/listed.txt"
check "the archive holds exactly the four programs, the x86 DLL, docs/, both scripts, README.txt and SHA256SUMS" \
    diff "$work/expected.txt" "$work/listed.txt"
mkdir -p "$work/x"
unzip -q "$zip" -d "$work/x"
top=$work/x/$name
check "every checksum in SHA256SUMS matches" bash -c "cd '$top' && sha256sum --strict -c --quiet SHA256SUMS"
sed 's/^[0-9a-f]\{64\}  //' "$top/SHA256SUMS" | sed "s|^|$name/|" | LC_ALL=C sort >"$work/summed.txt"
check "SHA256SUMS covers every other file of the archive" \
    diff <(grep -v "/SHA256SUMS$" "$work/expected.txt") "$work/summed.txt"
for f in $ZK_SHIPPED_FILES; do
    check "bin/$f is the tested build's own" cmp "$top/bin/$f" "$build/bin/$f"
done
check "bin/x86/ZentravaKSP.dll is the x86 tree's own" cmp "$top/bin/x86/ZentravaKSP.dll" "$build/x86/bin/ZentravaKSP.dll"
check "the install script is the project's" cmp "$top/Install-ZentravaKSP.ps1" "$src/tools/Install-ZentravaKSP.ps1"
check "the acceptance script is the project's" cmp "$top/acceptance.ps1" "$src/scripts/windows/acceptance.ps1"
check "README.txt names the version and the MSI" grep -q "ZentravaKSP-$ZK_VERSION-x64.msi" "$top/README.txt"

# --- MSI tables ---
# field <table> <key> <column>: one cell of msiinfo's export (rows after the three header lines).
field() {
    msiinfo export "$msi" "$1" | tr -d '\r' | awk -F'\t' -v k="$2" -v c="$3" 'NR > 3 && $1 == k {print $c}'
}
is() { [ "$1" = "$2" ] || { echo "got '$1', want '$2'"; return 1; }; }
# seq_of <action>: its place in InstallExecuteSequence.
seq_of() { field InstallExecuteSequence "$1" 3; }
before() { [ -n "$(seq_of "$1")" ] && [ -n "$(seq_of "$2")" ] && [ "$(seq_of "$1")" -lt "$(seq_of "$2")" ] ||
           { echo "$1 at '$(seq_of "$1")', $2 at '$(seq_of "$2")'"; return 1; }; }

tables=$(msiinfo tables "$msi" | tr -d '\r')
for t in File Component Directory CustomAction Upgrade Environment InstallExecuteSequence; do
    check "the MSI has a $t table" grep -qx "$t" <<<"$tables"
done
check "ProductName is the build's" is "$(field Property ProductName 2)" "$ZK_PRODUCT_NAME"
check "ProductVersion is the build's" is "$(field Property ProductVersion 2)" "$ZK_VERSION"
check "Manufacturer is the build's" is "$(field Property Manufacturer 2)" "$ZK_MANUFACTURER"
check "per-machine (ALLUSERS=1)" is "$(field Property ALLUSERS 2)" 1
# The one upgrade code every version must keep: a change would install a new
# version beside the old one instead of replacing it.
check "the upgrade code is the product's stable one" is "$(field Property UpgradeCode 2)" \
    "{C6E39DE1-D9FE-455E-9DF3-78F15DD8D060}"
check "a 64-bit package (Template x64;1033)" bash -c "msiinfo suminfo '$msi' | grep -qx 'Template: x64;1033'"

check "the DLL's component goes to System64Folder" is "$(field Component ProviderDll 3)" System64Folder
check "the component GUIDs are the stable ones" \
    is "$(field Component ProviderDll 2) $(field Component ProviderDllX86 2)" \
    "{6FDFEDD4-5317-4B4D-BA53-D31466229BBB} {AD9A75D2-CF01-449C-A225-6BF811D48E77}"
for c in ConfigTool SigningService ClientTool; do
    check "component $c goes to INSTALLDIR" is "$(field Component "$c" 3)" INSTALLDIR
    check "component $c is 64-bit" is "$(field Component "$c" 4)" 256
done
check "the DLL's component is 64-bit" is "$(field Component ProviderDll 4)" 256
# SystemFolder in a 64-bit package is SysWOW64, where 32-bit processes load the provider.
check "the x86 DLL's component goes to SystemFolder" is "$(field Component ProviderDllX86 3)" SystemFolder
check "the x86 DLL's component is 32-bit" is "$(field Component ProviderDllX86 4)" 0
check "both DLLs are installed as ZentravaKSP.dll, each by its own component" \
    is "$(field File ZentravaKSP.dll 2) $(field File ZentravaKSP.dll 3) $(field File ZentravaKSP.x86.dll 2) $(field File ZentravaKSP.x86.dll 3)" \
    "ProviderDll ZentravaKSP.dll ProviderDllX86 ZentravaKSP.dll"
check "the x86 DLL's file is the archive's" is "$(field File ZentravaKSP.x86.dll 4)" "$(stat -c %s "$top/bin/x86/ZentravaKSP.dll")"
check "INSTALLDIR is Program Files (64-bit)\\Zentrava" \
    is "$(field Directory INSTALLDIR 2)/$(field Directory INSTALLDIR 3)" "ProgramFiles64Folder/Zentrava"
for f in $ZK_SHIPPED_FILES ZentravaKSP.x86.dll; do
    check "$f is in the File table with version $ZK_VERSION_QUAD" is "$(field File "$f" 5)" "$ZK_VERSION_QUAD"
done
check "the File table holds the five binaries only" \
    is "$(msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' 'NR > 3 {print $1}' | sort | xargs)" \
    "$(echo $ZK_SHIPPED_FILES ZentravaKSP.x86.dll | tr ' ' '\n' | sort | xargs)"

# Type 3090 = 18 (run an installed exe) + 1024 (deferred) + 2048 (no impersonation: elevated);
# 3154 adds 64 (exit status ignored, so an uninstall never sticks).
check "RegisterProvider runs the installed ZentravaKSPConfig.exe -register, deferred and elevated" \
    is "$(field CustomAction RegisterProvider 2) $(field CustomAction RegisterProvider 3) $(field CustomAction RegisterProvider 4)" \
    "3090 ZentravaKSPConfig.exe -register"
check "UnregisterProvider runs ZentravaKSPConfig.exe -unregister, deferred and elevated" \
    is "$(field CustomAction UnregisterProvider 2) $(field CustomAction UnregisterProvider 3) $(field CustomAction UnregisterProvider 4)" \
    "3154 ZentravaKSPConfig.exe -unregister"
check "registration after the files are in place" before InstallFiles RegisterProvider
check "registration inside the installation script" before RegisterProvider InstallFinalize
check "registration only when not removing" is "$(field InstallExecuteSequence RegisterProvider 2)" 'NOT REMOVE~="ALL"'
check "unregistration inside the installation script" before InstallInitialize UnregisterProvider
check "unregistration before the files go" before UnregisterProvider RemoveFiles
check "unregistration on removal, not when an upgrade removes the old version" \
    is "$(field InstallExecuteSequence UnregisterProvider 2)" 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE'
check "an older version is removed before anything is installed" before InstallValidate RemoveExistingProducts
check "... and before the installation script starts" before RemoveExistingProducts InstallInitialize
check "the PATH entry is written" before InstallFiles WriteEnvironmentStrings
check "the PATH entry is removed" before RemoveEnvironmentStrings RemoveFiles
check "PATH: the programs' folder appended to the system variable, removed on uninstall" \
    is "$(field Environment SystemPath 2) $(field Environment SystemPath 3) $(field Environment SystemPath 4)" \
    "=-*PATH [~];[INSTALLDIR] ConfigTool"
upgrade=$(msiinfo export "$msi" Upgrade | tr -d '\r' | awk -F'\t' 'NR > 3 {print $2 "|" $3 "|" $5 "|" $7}' | sort)
check "versions up to this one (inclusive) are replaced" grep -qx "0.0.0|$ZK_VERSION|768|ZK_OLDER_FOUND" <<<"$upgrade"
check "newer versions are only detected" grep -qx "$ZK_VERSION||2|ZK_NEWER_FOUND" <<<"$upgrade"
check "a newer installed version blocks this one" is "$(field LaunchCondition 'NOT ZK_NEWER_FOUND' 1)" "NOT ZK_NEWER_FOUND"

finish
