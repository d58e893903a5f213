#!/usr/bin/env bash
# Checks what ships: the man pages render cleanly; the systemd unit verifies
# (from an install directory with a space in its path) and delivers console
# lines one by one; the Debian package holds what an operator expects, passes
# lintian but for the tags of the /opt layout, and installs, removes and
# purges like a Debian service, into a private root with dpkg.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
failures=0 passed=0
check() { # check NAME CONDITION-EXIT-STATUS [DETAIL]
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else echo "FAIL: $1 ${3:-}"; failures=$((failures + 1)); fi
}
ok() { [ "$@" ]; echo $?; }
work=$(mktemp -d /tmp/wdpkg.XXXXXX)
trap 'pkill -KILL -f "$work/" 2>/dev/null; rm -rf "$work"' EXIT

for page in "$src"/packaging/*.[0-9]; do
    warnings=$(groff -wall -man -Tutf8 -z "$page" 2>&1)
    check "$(basename "$page") renders cleanly" "$(ok -z "$warnings")" "$warnings"
done

inst="$work/opt/inst dir"
mkdir -p "$inst"
cp "$build/watch_daemon" "$inst/"
cp "$build/watch_status" "$inst/"
for unit in watch_daemon.service watch_daemon_metrics.service; do
    sed "s|/opt/dpi|$inst|g" "$build/$unit" >"$work/$unit"
done
cp "$src/packaging/watch_daemon_metrics.timer" "$work/"
remarks=$(cd "$work" && systemd-analyze verify --man=no watch_daemon.service watch_daemon_metrics.service \
    watch_daemon_metrics.timer 2>&1)
check "systemd-analyze verify" "$(ok -z "$remarks")" "$remarks"

# Through a pipe, as to the journal, the unit's command line delivers a
# message while the supervisor still runs; plain stdout would hold it back.
prog="pkgt_$$"
printf '#!/bin/sh\nexit 7\n' >"$inst/$prog"
chmod +x "$inst/$prog"
echo "{\"__watch\":{\"processes\":[{\"base\":\"$prog\"}]}}" >"$inst/config"
exec_start=$(sed -n 's/^ExecStart=//p' "$work/watch_daemon.service")
first_line() { # the first line within 3 s, while it runs
    setsid bash -c "$1 | cat" >"$work/console" 2>&1 &
    local pid=$! line=""
    for _ in $(seq 30); do
        line=$(head -n1 "$work/console")
        [ -n "$line" ] && break
        sleep 0.1
    done
    kill -TERM -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    echo "$line"
}
export ASAN_OPTIONS=verify_asan_link_order=0  # stdbuf's preload comes before libasan
line=$(first_line "$exec_start")
check "line buffered through the unit's command" "$(ok "$line" = "Will restart normal prog after 10 secs")" "got '$line'"
line=$(first_line "'$inst/watch_daemon'")
check "without stdbuf the line is held back" "$(ok -z "$line")" "got '$line'"

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null 2>&1)
deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -n1)
check "cpack builds a package" "$(ok -n "$deb")"
[ -n "$deb" ] || { echo "$passed passed, $((failures)) failed"; exit 1; }
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | tr '\n' ' ')
expected="./lib/systemd/system/watch_daemon.service ./lib/systemd/system/watch_daemon_metrics.service ./lib/systemd/system/watch_daemon_metrics.timer ./opt/dpi/config ./opt/dpi/watch_daemon ./opt/dpi/watch_status ./usr/share/doc/quorin-watch-daemon/changelog.gz ./usr/share/doc/quorin-watch-daemon/copyright ./usr/share/man/man8/watch_daemon.8.gz ./usr/share/man/man8/watch_status.8.gz "
check "package contents" "$(ok "$contents" = "$expected")" "$contents"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libcjson1 libstdc++6 psmisc tar gzip coreutils; do
    check "depends on $dep" "$(echo "$depends" | grep -qw "$dep"; echo $?)" "$depends"
done
dpkg-deb -e "$deb" "$work/control"
check "config is a conffile" "$(grep -qx /opt/dpi/config "$work/control/conffiles"; echo $?)"

# lintian: only what the /opt layout itself brings may remain.
if command -v lintian >/dev/null; then
    tags=$(lintian --no-cfg --tag-display-limit 0 "$deb" 2>/dev/null | awk '/^[EWI]: /{print $3}' | sort -u | tr '\n' ' ')
    echo "lintian: ${tags:-clean}"
    unexpected=$(echo "$tags" | tr ' ' '\n' | grep -v -E '^(dir-or-file-in-opt|non-etc-file-marked-as-conffile|)$' | tr '\n' ' ')
    check "lintian reports only the /opt layout" "$(ok -z "$unexpected")" "$unexpected"
else
    echo "SKIP: lintian is not installed"
fi

# Install, enable as an operator would, remove, purge: in a private root.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
pkg() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" >"$work/dpkg.log" 2>&1; }
pkg -i "$deb"
check "dpkg installs" "$?" "$(cat "$work/dpkg.log")"
wants="$root/etc/systemd/system/multi-user.target.wants/watch_daemon.service"
check "installing enables nothing" "$(ok ! -e "$wants")"
echo '{"edited":true}' >"$root/opt/dpi/config"
mkdir -p "$root/opt/dpi/tmp" "$root/opt/dpi/data"
touch "$root/opt/dpi/tmp/watch_daemon.run" "$root/opt/dpi/data/.bootchk"
systemctl --root="$root" enable watch_daemon.service >/dev/null 2>&1
check "the operator can enable it" "$(ok -L "$wants")"
pkg -r quorin-watch-daemon
check "dpkg removes" "$?" "$(cat "$work/dpkg.log")"
check "remove keeps the edited config" "$(grep -q edited "$root/opt/dpi/config"; echo $?)"
check "remove keeps the state" "$(ok -e "$root/opt/dpi/data/.bootchk")"
check "remove masks the unit" "$(ok "$(readlink "$root/etc/systemd/system/watch_daemon.service")" = /dev/null)"
pkg -P quorin-watch-daemon
check "dpkg purges" "$?" "$(cat "$work/dpkg.log")"
check "purge disables and unmasks" "$(ok -z "$(find "$root/etc/systemd" -name 'watch_daemon*')")"
check "purge removes the state and the install directory" "$(ok ! -e "$root/opt/dpi")"

# On a running systemd, removal stops the unit: the prerm, in a mount
# namespace of its own where /run/systemd/system exists.
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "$*" >>%s/invoked\n' "$work" >"$work/bin/deb-systemd-invoke"
chmod +x "$work/bin/deb-systemd-invoke"
if unshare -m sh -c "mount -t tmpfs none /run && mkdir -p /run/systemd/system &&
        PATH='$work/bin':\$PATH sh '$work/control/prerm' remove" 2>/dev/null; then
    check "remove stops the units" \
        "$(ok "$(cat "$work/invoked" 2>/dev/null)" = "stop watch_daemon.service watch_daemon_metrics.timer watch_daemon_metrics.service")"
else
    echo "SKIP: no mount namespace here for the prerm check"
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
