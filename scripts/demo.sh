#!/usr/bin/env bash
# The main job end to end. Until the key operations land this builds the
# provider and runs its smoke check: load the DLL as the CNG router does and
# drive the function table.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
ZK_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/check-binaries.sh" "$build/bin"
"$build/wine-run.sh" "$build/bin/frame_dll_tests.exe" --gtest_brief=1
