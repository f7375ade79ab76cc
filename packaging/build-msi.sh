#!/usr/bin/env bash
# Builds the MSI from an installed tree (`cmake --install`, bin/ holding the
# DLL and the programs) with wixl, then adds to its database what wixl 0.101
# cannot express. Called by scripts/package.sh.
#   packaging/build-msi.sh <stage> <out.msi> <version> <file version> <product name> <manufacturer>
set -euo pipefail
[ $# -eq 6 ] || { sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
stage=$1 msi=$2 version=$3 file_version=$4 product=$5 manufacturer=$6
case "$msi" in /*) ;; *) msi=$PWD/$msi ;; esac
rm -f "$msi"

# wixl reads the files relative to its working folder.
(cd "$stage" && wixl -a x64 -D "Version=$version" -D "ProductName=$product" -D "Manufacturer=$manufacturer" \
    -D StageDir=. -o "$msi" "$here/ZentravaKSP.wxs")

sql() { msibuild "$msi" -q "$1"; }
# 1. The Environment element: the row that appends the programs' folder to
#    the system PATH on install and takes it out again on uninstall, and the
#    two standard actions that apply it, at their usual places.
msibuild "$msi" -i "$here/Environment.idt"
sql "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)"
sql "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
# 2. IncludeMaximum on UpgradeVersion (wixl drops it): a rebuild of the same
#    version replaces the installed one instead of installing beside it.
#    Attributes belongs to the key, so the row is replaced.
upgrade_code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" {print $2}')
sql "DELETE FROM Upgrade WHERE ActionProperty = 'ZK_OLDER_FOUND'"
sql "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '0.0.0', '$version', 768, 'ZK_OLDER_FOUND')"
# 3. File versions (wixl leaves them empty): the binaries are versioned files
#    for the installer's replacement rules, and versioned files carry no hash.
for file in $(msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' 'NR > 3 {print $1}'); do
    sql "UPDATE File SET Version = '$file_version', Language = '1033' WHERE File = '$file'"
    sql "DELETE FROM MsiFileHash WHERE File_ = '$file'"
done
