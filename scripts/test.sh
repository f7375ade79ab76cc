#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
# The sanitized native build and the fuzz targets (about 20 s each) run at
# nice 19 beside the Windows build and the Wine suites, on the CPU those
# leave idle; their report is printed after the suites.
mkdir -p "$build"
go=$build/fuzz.go
rm -f "$go"
ZK_BUILD_DIR=$build "$root/scripts/fuzz.sh" --seconds "${ZK_FUZZ_SECONDS:-20}" --start-when "$go" \
    >"$build/fuzz.log" 2>&1 &
fuzz=$!
trap 'kill "$fuzz" 2>/dev/null' EXIT
ZK_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/check-binaries.sh" "$build/bin"
touch "$go"
cd "$build"
# Verbose: every test case and the robustness suites' counts are shown.
suites=0
ctest -V --timeout 900 "$@" || suites=$?
fuzzing=0
wait "$fuzz" || fuzzing=$?
trap - EXIT
echo "---- fuzz targets and sanitized unit tests (scripts/fuzz.sh, log in $build/fuzz.log)"
cat "$build/fuzz.log"
[ "$suites" -eq 0 ] && [ "$fuzzing" -eq 0 ]
