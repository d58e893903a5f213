#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for SECONDS (default
# 30) over a copy of the checked-in seed corpus; prints each run's figures.
# Usage: tests/fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}

packages="clang libclang-rt-14-dev cmake make libcjson-dev"
missing=$(for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
if [ -n "$missing" ]; then
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi

cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DWATCH_FUZZ=ON -DWATCH_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null

status=0
scratch=$(mktemp -d /dev/shm/wdfuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
for harness in config bootchk upgrade version; do
    work=$(mktemp -d)
    cp tests/fuzz/corpus/"$harness"/* "$work"/
    # The public JSON test corpus, where it lies beside the project, seeds the loader.
    if [ "$harness" = config ] && [ -d ../shared/corpora/jsontestsuite ]; then
        find ../shared/corpora/jsontestsuite -type f -exec cp {} "$work"/ \;
    fi
    log="build-fuzz/fuzz_$harness.log"
    if ! TMPDIR=$scratch build-fuzz/tests/fuzz/fuzz_"$harness" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix=build-fuzz/crash_"$harness"- \
        "$work" >"$log" 2>&1; then
        echo "fuzz_$harness: FAILED, see $log"
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -n1)
    echo "fuzz_$harness: $execs executions in ${seconds}s, $cov, corpus $(ls "$work" | wc -l) inputs"
    rm -rf "$work"
done
exit $status
