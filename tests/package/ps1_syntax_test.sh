#!/usr/bin/env bash
# The shipped PowerShell scripts as far as this machine can check them: no
# PowerShell runs here, so they are parsed with the tree-sitter PowerShell
# grammar (npm, pinned, installed into the build folder), and kept ASCII,
# since Windows PowerShell 5.1 reads a file without a byte order mark in the
# ANSI code page. (Node compiles the grammar with its baseline compiler only:
# the optimising one spends some 20 s on it here for a parse of 0.2 s.)
. "$(dirname "$0")/lib.sh" "$1" "$2" package_ps1_syntax
command -v npm >/dev/null || "$src/scripts/setup.sh" npm
parser=$build/ps1-parser
packages="web-tree-sitter@0.25.10 tree-sitter-powershell@0.26.4"
if [ "$(cat "$parser/.ready" 2>/dev/null)" != "$packages" ]; then
    rm -rf "$parser"
    mkdir -p "$parser"
    # shellcheck disable=SC2086
    (cd "$parser" && npm install --no-save --no-package-lock --no-audit --no-fund --ignore-scripts $packages \
        >"$work/npm.log" 2>&1) && echo "$packages" >"$parser/.ready"
fi
check "the tree-sitter PowerShell grammar is installed (npm: $packages)" \
    bash -c "[ \"\$(cat '$parser/.ready' 2>/dev/null)\" = '$packages' ] || { cat '$work/npm.log'; false; }"
cp "$(dirname "$0")/ps1_parse.cjs" "$parser/"
scripts=("$src/tools/Install-ZentravaKSP.ps1" "$src/scripts/windows/acceptance.ps1")
for ps1 in "${scripts[@]}"; do
    name=${ps1#"$src/"}
    check "$name parses" node --liftoff-only "$parser/ps1_parse.cjs" "$ps1"
    check "$name is ASCII" bash -c "! LC_ALL=C grep -n '[^[:print:][:space:]]' '$ps1'"
done
# The parser must see a fault: a script with one brace missing.
sed '0,/^    } catch {/s//    } catch/' "$src/scripts/windows/acceptance.ps1" >"$work/broken.ps1"
check_not "a script with a missing brace does not parse" node --liftoff-only "$parser/ps1_parse.cjs" "$work/broken.ps1"
finish
