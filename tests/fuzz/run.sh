#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for SECONDS (default
# 30) over a copy of the checked-in seed corpus (the config loader's seeded
# with the public JSON test corpus too, where it lies beside the project);
# prints each run's figures. Usage: tests/fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
missing=$(for p in clang libclang-rt-14-dev cmake make libcjson-dev; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
if [ -n "$missing" ]; then
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DWATCH_FUZZ=ON -DWATCH_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
status=0 seconds=${1:-30} scratch=$(mktemp -d /dev/shm/wdfuzz.XXXXXX) # runs side by side never meet
trap 'rm -rf "$scratch"' EXIT
for harness in config bootchk upgrade version handover; do
    cp -r tests/fuzz/corpus/"$harness" "$scratch/"
    [ "$harness" != config ] || [ ! -d ../shared/corpora/jsontestsuite ] ||
        find ../shared/corpora/jsontestsuite -type f -exec cp {} "$scratch/$harness"/ \;
    log="build-fuzz/fuzz_$harness.log"
    TMPDIR=$scratch build-fuzz/tests/fuzz/fuzz_"$harness" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$PWD/build-fuzz/crash_$harness-" "$scratch/$harness" >"$log" 2>&1 ||
        { echo "fuzz_$harness: FAILED, see $log" && status=1; }
    echo "fuzz_$harness: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") executions in ${seconds}s," \
        "$(grep -Eo 'cov: [0-9]+' "$log" | tail -n1), corpus $(ls "$scratch/$harness" | wc -l) inputs"
done
exit $status
