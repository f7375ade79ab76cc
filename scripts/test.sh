#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
ZK_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/check-binaries.sh" "$build/bin"
cd "$build"
# Verbose: every test case and the robustness suites' counts are shown.
ctest -V --timeout 900 "$@"
