#!/usr/bin/env bash
# Builds watch_daemon for release, installs the supervisors it is compared
# with (runit, s6, daemontools, supervisor) without letting their packages
# start services, and runs the benchmark. Results go to bench/results.md and
# bench/results.json, and their chart to bench/results.svg (with --quick, a
# short run, to build-bench/quick/).
# Usage: bench/run.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

packages="cmake g++ make libcjson-dev libgtest-dev psmisc procps python3 python3-matplotlib
          runit s6 daemontools supervisor"
missing=$(for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
if [ -n "$missing" ]; then
    apt-get update -qq
    # Package scripts must not start runsvdir or supervisord on this machine.
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing || { rm -f /usr/sbin/policy-rc.d; exit 1; }
    rm -f /usr/sbin/policy-rc.d
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target watch_daemon wd_interpose >/dev/null
helpers=build-bench/bench-helpers
mkdir -p "$helpers"
for h in idle_child flap_child mini_supervisor timed_exec; do
    gcc -O2 -Wall -Wextra -o "$helpers/$h" "bench/helpers/$h.c"
done
# The same minimal supervisor, loading libcjson as watch_daemon does.
gcc -O2 -o "$helpers/mini_supervisor_cjson" bench/helpers/mini_supervisor.c -Wl,--no-as-needed -lcjson

out=bench quick=()
if [ "${1:-}" = "--quick" ]; then out=build-bench/quick quick=(--quick); fi
/usr/bin/python3 bench/bench.py --build build-bench --helpers "$helpers" --out "$out" "${quick[@]}"
/usr/bin/python3 bench/chart.py "$out/results.json" "$out/results.svg"
