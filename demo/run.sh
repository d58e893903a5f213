#!/usr/bin/env bash
# Builds watch_daemon, lays out a demo install directory in demo/run/, and lets
# the supervisor run a stand-in engine through a short life (about 20 s):
# an ordinary end and a restart after 10 s, an upgrade, a start from ./data/,
# a failure there with the fallback to the install directory, and giving up.
# watch_status, the operator's view, is asked while the engine runs and
# after the supervisor gave up.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages="cmake g++ make libcjson-dev psmisc tar gzip procps coreutils"
missing=$(for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
if [ -n "$missing" ]; then
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
cmake -S "$root" -B "$root/build-demo" -DCMAKE_BUILD_TYPE=Release -DWATCH_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-demo" -j"$(nproc)" --target watch_daemon watch_status >/dev/null

run="$root/demo/run"
rm -rf "$run"
mkdir -p "$run"
# The supervisor kills every process of a configured name, host-wide, at each
# cycle: the demo's engine has a name no real program has, so that trying the
# demo on a box where the product runs leaves the real engine alone.
cp "$root/build-demo/watch_daemon" "$root/build-demo/watch_status" "$run/"
cp "$root/demo/wd-demo-engine.sh" "$run/wd-demo-engine"
echo '{"__watch":{"processes":[{"base":"wd-demo-engine"}]}}' >"$run/config"

status() { # watch_status ARGS, indented; it exits 3 when no supervisor runs
    "$run/watch_status" "$@" | sed 's/^/    /' || true
}

echo "== install directory $run: watch_daemon, watch_status, wd-demo-engine, a config naming it"
echo "== starting the supervisor (its console, line by line):"
# The supervisor prints each console line as it happens, whatever its output is.
"$run/watch_daemon" &
supervisor=$!
sleep 1
echo "== meanwhile, $run/watch_status:"
status
code=0
wait "$supervisor" || code=$?
echo "== the supervisor gave up and exited with status $code"
echo
echo "== $run/watch_status now (exit status 3: not running):"
status
echo
echo "== $run/watch_status --json --history 1 (the same as JSON), on one line:"
"$run/watch_status" --json --history 1 | tr -d '\n\t' || true
echo
echo
echo "== run file $run/tmp/watch_daemon.run:"
sed 's/^/    /' "$run/tmp/watch_daemon.run"
echo
echo "== ./data/ now (the record was removed by the fallback; the unpacked engine stays):"
ls -la "$run/data" | sed 's/^/    /'
# The engine runs as "/bin/sh ./wd-demo-engine": it is found by where it works.
left=$(for p in /proc/[0-9]*; do case $(readlink "$p/cwd" 2>/dev/null) in "$run" | "$run"/*) echo "${p#/proc/}" ;; esac; done)
if [ -n "$left" ]; then echo "!! a stand-in is still running:" $left; else echo "== nothing left running"; fi
