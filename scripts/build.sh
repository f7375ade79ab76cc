#!/usr/bin/env bash
# Configures and builds into ${ZK_BUILD_DIR:-build}: the Release configuration
# that ships, tests included, warnings as errors. Targets may be named:
#   bash scripts/build.sh [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZK_WERROR=ON >/dev/null
if [ $# -gt 0 ]; then
    cmake --build "$build" -j "$(nproc)" --target "$@"
else
    cmake --build "$build" -j "$(nproc)"
fi
