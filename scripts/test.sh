#!/usr/bin/env bash
# Installs what is missing, runs the demo, builds, and runs every test suite
# under Wine. The demo comes first, before anything else is built, so that
# in a fresh clone it meets exactly what a new user's first command meets;
# the build after it reuses what it built. A failed demo fails this command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
demo_rc=0
ZK_BUILD_DIR=$build "$root/scripts/demo.sh" || demo_rc=$?
ZK_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/check-binaries.sh" "$build/bin"
cd "$build"
# Verbose: every test case and the robustness suites' counts are shown.
ctest_rc=0
ctest -V --timeout 900 "$@" || ctest_rc=$?
if [ "$demo_rc" -ne 0 ]; then
    echo "test: the demo (scripts/demo.sh) FAILED with exit status $demo_rc" >&2
    exit 1
fi
exit "$ctest_rc"
