#!/usr/bin/env bash
# Installs what the build and the tests need, builds, and runs every test:
# the unit and integration tests, the same again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzz harness.
# Usage: tests/run.sh [--quick]   (--quick: the plain build's tests only)
set -euo pipefail
cd "$(dirname "$0")/.."

packages="cmake g++ make libcjson-dev libgtest-dev psmisc tar gzip e2fsprogs procps
          groff-base systemd dpkg-dev valgrind clang libclang-rt-14-dev"
missing=$(for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
if [ -n "$missing" ]; then
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
# ctest, keeping its closing counts for the summary line at the end.
run_ctest() {
    local log
    log=$(mktemp)
    (cd "$1" && shift && ctest -j"$jobs" --output-on-failure "$@") | tee "$log"
    local total failed skipped
    total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log")
    failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log")
    skipped=$(grep -c '(Skipped)$' "$log" || true)
    echo "$((total - failed - skipped)) $failed $skipped" >>"$summary"
    rm -f "$log"
}
print_summary() {
    awk '{p += $1; f += $2; s += $3} END {printf "tests: %d passed, %d failed, %d skipped\n", p, f, s}' "$summary"
}

echo "== unit and integration tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_ctest build
if [ "${1:-}" = "--quick" ]; then
    print_summary
    exit 0
fi

echo "== the same under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWATCH_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
# The soak is shorter here: the sanitized supervisor is several times slower.
WD_SOAK_ENDS=1000 run_ctest build-asan

echo "== fuzzing, ${FUZZ_SECONDS:-30} s per harness"
bash tests/fuzz/run.sh "${FUZZ_SECONDS:-30}"

echo "== benchmark, short mode (proves it runs; figures come from bench/run.sh)"
bash bench/run.sh --quick
print_summary
