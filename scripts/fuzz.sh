#!/usr/bin/env bash
# Builds the native sanitizer build (fuzz/CMakeLists.txt, clang-14, ASan and
# UBSan) into ${ZK_BUILD_DIR:-build}/native, runs its unit tests and then each
# fuzz target for N seconds, and prints per target the executions, coverage
# (edges), corpus size and findings. Everything runs at nice 19.
#   bash scripts/fuzz.sh [--seconds N] [--targets "a b"] [--start-when FILE]
# --start-when: build, then wait until FILE exists before running anything
# (the test command lets the Windows build finish first).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
native=$build/native
seconds=60
only=""
start_when=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --targets) only=$2; shift 2 ;;
        --start-when) start_when=$2; shift 2 ;;
        *) echo "usage: fuzz.sh [--seconds N] [--targets \"a b\"] [--start-when FILE]" >&2; exit 2 ;;
    esac
done
case "$seconds" in ''|*[!0-9]*) echo "fuzz.sh: --seconds takes a whole number" >&2; exit 2 ;; esac

run() { nice -n 19 "$@"; }
child=""
trap '[ -n "$child" ] && kill "$child" 2>/dev/null' EXIT TERM INT

echo "fuzz: building $native"
mkdir -p "$native"
if ! run cmake -S "$root/fuzz" -B "$native" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        >"$native/configure.log" 2>&1 ||
   ! run cmake --build "$native" -j "$(nproc)" >"$native/build.log" 2>&1; then
    cat "$native/configure.log" "$native/build.log" 2>/dev/null | tail -40
    echo "fuzz: the native build failed"
    echo "0 passed, 1 failed"
    exit 1
fi
if [ -n "$start_when" ]; then
    while [ ! -e "$start_when" ]; do sleep 1; done
fi

passed=0
failed=0
if run "$native/portable_unit_tests" --gtest_color=no >"$native/unit-tests.log" 2>&1; then
    echo "fuzz: portable unit tests (ASan, UBSan): $(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$native/unit-tests.log")"
    passed=$((passed + 1))
else
    cat "$native/unit-tests.log"
    echo "fuzz: portable unit tests FAILED"
    failed=$((failed + 1))
fi

printf '%-26s %12s %6s %7s %9s\n' target executions edges corpus findings
for fuzzer in "$native"/fuzzers/*_fuzz; do
    name=$(basename "$fuzzer" _fuzz)
    if [ -n "$only" ] && ! printf ' %s ' $only | grep -q " $name "; then
        continue
    fi
    seeds=$root/fuzz/corpus/$name
    corpus=$native/corpus/$name
    findings=$native/findings/$name
    mkdir -p "$corpus" "$findings"
    inputs=("$corpus")
    [ -d "$seeds" ] && inputs+=("$seeds")
    dict=()
    [ -f "$root/fuzz/dict/$name.dict" ] && dict=(-dict="$root/fuzz/dict/$name.dict")
    log=$native/findings/$name.log
    touch "$findings/.run"
    # New inputs go to the working corpus; the seeds (and the regression
    # inputs among them) are run first, every time.
    run "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" "${dict[@]}" "${inputs[@]}" >"$log" 2>&1 &
    child=$!
    wait "$child"
    status=$?
    child=""
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    units=$(find "${inputs[@]}" -type f | wc -l)
    found=$(find "$findings" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                 -o -name 'oom-*' -o -name 'slow-unit-*' \) -newer "$findings/.run" | wc -l)
    printf '%-26s %12s %6s %7s %9s\n' "$name" "${executions:-?}" "${edges:-?}" "$units" "$found"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=$((failed + 1))
        echo "--- $name: exit $status; the finding and its input:"
        grep -E 'ERROR|property failed|SUMMARY|Test unit written|^    #[0-9]' "$log" | head -30
    else
        passed=$((passed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
