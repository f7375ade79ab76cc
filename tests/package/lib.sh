# Shared by the package suites: checks that count, and where they work.
#   . lib.sh <source dir> <build dir> <suite name>
set -uo pipefail
src=$1
build=$2
suite=$3
work=$build/package-test/$suite
rm -rf "$work"
mkdir -p "$work"
checks=0
failures=0
started=$(date +%s)

# check <description> <command...>: one named check; its output is kept for a failure.
check() {
    local what=$1
    shift
    checks=$((checks + 1))
    if "$@" >"$work/check.out" 2>&1; then
        echo "[ ok ] $what"
    else
        failures=$((failures + 1))
        echo "[FAIL] $what"
        sed 's/^/         /' "$work/check.out" | tail -20
    fi
}

# check_not <description> <command...>: the command must fail.
check_not() {
    local what=$1
    shift
    check "$what" bash -c '! "$@"' _ "$@"
}

finish() {
    echo "$suite: $((checks - failures)) of $checks checks passed in $(($(date +%s) - started)) s"
    [ "$failures" -eq 0 ]
}

# Only the Release configuration ships; scripts/package.sh refuses others.
require_release() {
    # shellcheck source=/dev/null
    . "$build/release.env"
    if [ "$ZK_BUILD_TYPE" != "Release" ]; then
        echo "$suite: skipped: $build is a $ZK_BUILD_TYPE build (scripts/test.sh builds Release)"
        exit 77
    fi
}

# package <out dir> [package.sh options...]: the project's own package command on this build.
package() {
    local out=$1
    shift
    ZK_BUILD_DIR=$build bash "$src/scripts/package.sh" --out "$out" "$@"
}
