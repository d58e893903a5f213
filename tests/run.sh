#!/usr/bin/env bash
# Installs what the build and the tests need, builds, and runs every test:
# the unit, scenario and packaging tests, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzz harness. Every
# stage runs even when an earlier one failed; the last line sums them up.
# Each stage builds in a directory of its own (build-tests/, build-asan/,
# build-fuzz/), with the options it needs given each time: whatever build/
# holds (an install build without tests, another prefix) changes nothing.
# Usage: tests/run.sh [--quick]   (--quick: the plain build's tests only)
set -uo pipefail
cd "$(dirname "$0")/.."
packages="cmake g++ make libcjson-dev libgtest-dev psmisc tar gzip e2fsprogs procps util-linux
          groff-base systemd dpkg-dev lintian logrotate clang libclang-rt-14-dev python3 coreutils"
missing=$(for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
if [ -n "$missing" ]; then
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
# promtool and node_exporter, for the metrics tests: taken out of Debian's
# packages into build-tools/, not installed (no service starts, nothing
# changes on the host). Their tests skip, saying why, when this fails.
if [ ! -x build-tools/promtool ] || [ ! -x build-tools/prometheus-node-exporter ]; then
    rm -rf build-tools && mkdir -p build-tools/deb
    (cd build-tools/deb && apt-get download -qq prometheus prometheus-node-exporter 2>/dev/null) &&
        for deb in build-tools/deb/*.deb; do dpkg-deb -x "$deb" build-tools/root; done &&
        cp build-tools/root/usr/bin/promtool build-tools/root/usr/bin/prometheus-node-exporter build-tools/
    rm -rf build-tools/deb build-tools/root
fi
jobs=$(nproc) passed=0 failed=0 skipped=0 skip_reasons="" bad_stages=""
# "TEST: reason" for every skipped test (GoogleTest's line after "Skipped")
# and every "SKIP: reason" a passing test printed, from ctest's JUnit report.
skips_of() {
    awk '{ sub(/.*<system-out>/, "") }
         /<testcase name="/ { match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7); skipped = 0 }
         /<skipped / { skipped = 1 }
         reason { print name ": " $0; reason = 0 }
         skipped && /: Skipped$/ { reason = 1 }
         /^SKIP: / { sub(/^SKIP: /, ""); print name ": " $0 }' "$1" |
        sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&apos;/'"'"'/g; s/&amp;/\&/g'
}
run_ctest() { # ctest in build directory $1, its counts and skip reasons added to the totals
    local log junit total fails skips
    log=$(mktemp) junit=$(mktemp)
    (cd "$1" && ctest -j"$jobs" --output-on-failure --output-junit "$junit") | tee "$log"
    read -r fails total < <(sed -n 's/.*, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
    skips=$(grep -c '(Skipped)$' "$log")
    skip_reasons=$(printf '%s\n%s' "$skip_reasons" "$(skips_of "$junit")" | awk 'NF && !seen[$0]++')
    rm -f "$log" "$junit"
    [ -n "$total" ] || return 1
    passed=$((passed + total - fails - skips)) failed=$((failed + fails)) skipped=$((skipped + skips))
    [ "$fails" -eq 0 ]
}
tested() { # tested DIR OPTION...: configured with the tests on and the package laid out for /opt/dpi, built, tested
    cmake -S . -B "$@" -DWATCH_BUILD_TESTS=ON -DWATCH_FUZZ=OFF -DCMAKE_INSTALL_PREFIX=/opt/dpi >/dev/null &&
        cmake --build "$1" -j"$jobs" && run_ctest "$1"
}
plain() { tested build-tests -DWATCH_SANITIZE=OFF; }
sanitized() { tested build-asan -DCMAKE_BUILD_TYPE=Debug -DWATCH_SANITIZE=ON; }
fuzzing() { bash tests/fuzz/run.sh "${FUZZ_SECONDS:-30}"; }
for stage in plain $([ "${1:-}" = --quick ] || echo sanitized fuzzing); do
    echo "== $stage"
    "$stage" || bad_stages="$bad_stages $stage"
done
[ -z "$bad_stages" ] || echo "failed stages:$bad_stages"
# Each skip named with its reason; a check skipped inside a passing test
# (the package test's) is named too, though it is not counted.
echo "tests: $passed passed, $failed failed, $skipped skipped${skip_reasons:+ (${skip_reasons//$'\n'/; })}"
[ -z "$bad_stages" ]
