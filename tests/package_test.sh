#!/usr/bin/env bash
# Checks the shipped pieces: the man page renders cleanly, the systemd unit
# verifies and delivers console lines one by one, and the Debian package holds
# what an operator expects. Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
failures=0 passed=0
check() { # check NAME CONDITION-EXIT-STATUS [DETAIL]
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else echo "FAIL: $1 ${3:-}"; failures=$((failures + 1)); fi
}
work=$(mktemp -d /tmp/wdpkg.XXXXXX)
trap 'pkill -KILL -f "$work/" 2>/dev/null; rm -rf "$work"' EXIT

# The manual page renders without a warning.
warnings=$(groff -wall -man -Tutf8 -z "$src/packaging/watch_daemon.8" 2>&1)
check "man page renders cleanly" "$([ -z "$warnings" ]; echo $?)" "$warnings"

# The unit, pointed at a real install directory, verifies without a remark.
inst="$work/opt/dpi"
mkdir -p "$inst"
cp "$build/watch_daemon" "$inst/"
sed "s|/opt/dpi|$inst|g" "$build/watch_daemon.service" >"$work/watch_daemon.service"
if command -v systemd-analyze >/dev/null; then
    remarks=$(systemd-analyze verify --man=no "$work/watch_daemon.service" 2>&1)
    check "systemd-analyze verify" "$([ -z "$remarks" ]; echo $?)" "$remarks"
else
    echo "SKIP: systemd-analyze is not installed"
fi

# Through a pipe, the unit's command line delivers a message while the
# supervisor still runs (it sleeps 10 s after it); plain stdout would hold it.
prog="pkgt_$$"
printf '#!/bin/sh\nexit 7\n' >"$inst/$prog"
chmod +x "$inst/$prog"
echo "{\"__watch\":{\"processes\":[{\"base\":\"$prog\"}]}}" >"$inst/config"
exec_start=$(sed -n 's/^ExecStart=//p' "$work/watch_daemon.service")
first_line() { # first_line COMMAND...: the first line within 3 s, while it runs
    rm -f "$work/fifo_out"
    setsid "$@" >"$work/fifo_out" 2>&1 &
    local pid=$!
    local line=""
    for _ in $(seq 30); do
        line=$(head -n1 "$work/fifo_out" 2>/dev/null)
        [ -n "$line" ] && break
        sleep 0.1
    done
    kill -TERM -- "-$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    echo "$line"
}
# A pipe, as the journal is: cat keeps the pipe open while the supervisor runs.
# (Under the sanitizer build, stdbuf's preload comes before libasan.)
export ASAN_OPTIONS=verify_asan_link_order=0
line=$(first_line bash -c "$exec_start | cat")
check "line buffered through the unit's command" "$([ "$line" = "Will restart normal prog after 10 secs" ]; echo $?)" "got '$line'"
line=$(first_line bash -c "$inst/watch_daemon | cat")
check "without stdbuf the line is held back" "$([ -z "$line" ]; echo $?)" "got '$line'"

# The Debian package: contents, metadata, nothing started on install.
if command -v dpkg-shlibdeps >/dev/null; then
    (cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null 2>&1)
    deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -n1)
    check "cpack builds a package" "$([ -n "$deb" ]; echo $?)"
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$')
    expected="./lib/systemd/system/watch_daemon.service
./opt/dpi/config
./opt/dpi/watch_daemon
./opt/dpi/watch_status
./usr/share/doc/quorin-watch-daemon/changelog.gz
./usr/share/doc/quorin-watch-daemon/copyright
./usr/share/man/man8/watch_daemon.8.gz"
    check "package contents" "$([ "$contents" = "$expected" ]; echo $?)" "$contents"
    depends=$(dpkg-deb -f "$deb" Depends)
    for dep in libcjson1 psmisc tar gzip coreutils; do
        check "depends on $dep" "$(echo "$depends" | grep -qw "$dep"; echo $?)" "$depends"
    done
    dpkg-deb -e "$deb" "$work/control"
    check "config is a conffile" "$(grep -qx /opt/dpi/config "$work/control/conffiles"; echo $?)"
    check "no maintainer script starts the unit" "$([ ! -e "$work/control/postinst" ]; echo $?)"
    dpkg-deb -x "$deb" "$work/root"
    check "shipped config is the explicit default" \
        "$(tr -d ' \n' <"$work/root/opt/dpi/config" | grep -qx '{"__watch":{"processes":\[{"base":"quorin-dpi-inner"}\]}}'; echo $?)"
else
    echo "SKIP: dpkg-shlibdeps (dpkg-dev) is not installed"
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
