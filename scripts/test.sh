#!/usr/bin/env bash
# Installs what is missing, runs the demo, builds, and runs every test suite
# under Wine. The demo comes first, before anything else is built, so that
# in a fresh clone it meets exactly what a new user's first command meets;
# the build after it reuses what it built. A failed demo fails this command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
# The sanitized native build and the fuzz targets (about 20 s each) run at
# nice 19 beside the demo, the Windows build and the Wine suites, on the CPU
# those leave idle; their report is printed after the suites.
mkdir -p "$build"
go=$build/fuzz.go
rm -f "$go"
ZK_BUILD_DIR=$build "$root/scripts/fuzz.sh" --seconds "${ZK_FUZZ_SECONDS:-20}" --start-when "$go" \
    >"$build/fuzz.log" 2>&1 &
fuzz=$!
trap 'kill "$fuzz" 2>/dev/null' EXIT
demo_rc=0
ZK_BUILD_DIR=$build "$root/scripts/demo.sh" || demo_rc=$?
ZK_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/check-binaries.sh" "$build/bin"
touch "$go"
cd "$build"
# Verbose: every test case and the robustness suites' counts are shown.
ctest_rc=0
ctest -V --timeout 900 "$@" || ctest_rc=$?
fuzz_rc=0
wait "$fuzz" || fuzz_rc=$?
trap - EXIT
echo "---- fuzz targets and sanitized unit tests (scripts/fuzz.sh, log in $build/fuzz.log)"
cat "$build/fuzz.log"
if [ "$demo_rc" -ne 0 ]; then
    echo "test: the demo (scripts/demo.sh) FAILED with exit status $demo_rc" >&2
    exit 1
fi
if [ "$fuzz_rc" -ne 0 ]; then
    echo "test: the fuzz targets or the sanitized unit tests FAILED" >&2
    [ "$ctest_rc" -ne 0 ] || exit 1
fi
exit "$ctest_rc"
