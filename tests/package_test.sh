#!/usr/bin/env bash
# Checks what ships: the man pages render cleanly, and they, the units and the
# logrotate snippet name the tree's install directory (another prefix too);
# the units verify (from an install directory with a space in its path) and
# deliver console lines one by one; the Debian package holds what an operator
# expects, passes lintian (its overrides cover the two tags of the /opt
# layout), and installs, removes and purges like a Debian service, into a
# private root with dpkg.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2 failures=0 passed=0
check() { # check NAME DETAIL -- TEST...: counts the test's verdict
    if "${@:4}"; then passed=$((passed + 1)); else echo "FAIL: $1 $2"; failures=$((failures + 1)); fi
}
work=$(mktemp -d /tmp/wdpkg.XXXXXX)
trap 'pkill -KILL -f "$work/" 2>/dev/null; rm -rf "$work"' EXIT

for page in "$build"/*.8; do
    warnings=$(groff -wall -man -Tutf8 -z "$page" 2>&1)
    check "$(basename "$page") renders cleanly" "$warnings" -- test -z "$warnings"
done
generated="watch_daemon.service watch_daemon_metrics.service watch_daemon.8 watch_status.8 watch_daemon.logrotate"
cmake -S "$src" -B "$work/srv" -DCMAKE_INSTALL_PREFIX=/srv/dpi -DWATCH_BUILD_TESTS=OFF >/dev/null 2>&1
named=$(cd "$work/srv" && grep -l /opt/dpi $generated; grep -L /srv/dpi $generated 2>&1)
check "with another prefix, every file names it" "$named" -- test -z "$named"
moved=$(cmake --install "$work/srv" --prefix "$work/elsewhere" 2>&1)
check "an install under a prefix not configured is refused" "$moved" -- grep -q "configured for /srv/dpi" <<<"$moved"

inst="$work/opt/inst dir"
mkdir -p "$inst"
cp "$build/watch_daemon" "$build/watch_status" "$src/packaging/watch_daemon_metrics.timer" "$inst/"
for unit in watch_daemon.service watch_daemon_metrics.service; do sed "s|/opt/dpi|$inst|g" "$build/$unit" >"$inst/$unit"; done
remarks=$(cd "$inst" && systemd-analyze verify --man=no watch_daemon.service watch_daemon_metrics.* 2>&1)
check "systemd-analyze verify" "$remarks" -- test -z "$remarks"
# The metrics unit reads /proc and the install directory and writes one file:
# confined so that systemd rates its exposure 2.0 ("OK") or lower.
exposure=$(systemd-analyze security --offline=true "$inst/watch_daemon_metrics.service" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
echo "metrics unit exposure: ${exposure:-unknown}"
check "metrics unit confined" "exposure ${exposure:-unknown}" -- awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }'

# Through a pipe, as to the journal, the unit's command line delivers a
# message while the supervisor still runs (plain stdout would hold it back).
printf '#!/bin/sh\nexit 7\n' >"$inst/pkgt_$$" && chmod +x "$inst/pkgt_$$"
echo "{\"__watch\":{\"processes\":[{\"base\":\"pkgt_$$\"}]}}" >"$inst/config"
read -r -t 3 line < <(setsid bash -c "$(sed -n 's/^ExecStart=//p' "$inst/watch_daemon.service") | cat" 2>&1)
kill -TERM -- "-$!" 2>/dev/null # the session setsid made, once its first line is read (or 3 s have passed)
check "line by line through the unit's command" "got '$line'" -- test "$line" = "Will restart normal prog after 10 secs"

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null 2>&1)
deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { echo "FAIL: cpack builds no package"; echo "$passed passed, $((failures + 1)) failed"; exit 1; }
contents=$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { printf "%s ", $6 }')
check "package contents" "$contents" -- test "$contents" = "./etc/logrotate.d/quorin-watch-daemon ./lib/systemd/system/watch_daemon.service ./lib/systemd/system/watch_daemon_metrics.service ./lib/systemd/system/watch_daemon_metrics.timer ./opt/dpi/config ./opt/dpi/watch_daemon ./opt/dpi/watch_status ./usr/share/doc/quorin-watch-daemon/changelog.Debian.gz ./usr/share/doc/quorin-watch-daemon/copyright ./usr/share/lintian/overrides/quorin-watch-daemon ./usr/share/man/man8/watch_daemon.8.gz ./usr/share/man/man8/watch_status.8.gz ./usr/share/quorin-watch-daemon/watch_daemon.rules.yml "
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libcjson1 libstdc++6 psmisc tar gzip coreutils; do check "depends on $dep" "$depends" -- grep -qw "$dep" <<<"$depends"; done
dpkg-deb -e "$deb" "$work/control"
check "config and the logrotate snippet are conffiles" "" -- test "$(sort "$work/control/conffiles" | tr '\n' ' ')" = "/etc/logrotate.d/quorin-watch-daemon /opt/dpi/config "
tags=$(lintian --no-cfg --tag-display-limit 0 "$deb" 2>/dev/null | awk '/^[EWI]: /{print $3}' | sort -u | tr '\n' ' ')
echo "lintian: ${tags:-clean}"
check "lintian reports no error, warning or note" "$tags" -- test -z "$tags"

# Install, enable as an operator would, remove, purge: in a private root.
root="$work/root" wants="$work/root/etc/systemd/system/multi-user.target.wants/watch_daemon.service"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status"
pkg() { # dpkg in the private root, what it said shown when it fails
    dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" &>"$work/out" || ! cat "$work/out"
}
check "dpkg installs" "" -- pkg -i "$deb"
check "installing enables nothing" "" -- test ! -e "$wants"
echo '{"edited":true}' >"$root/opt/dpi/config"
mkdir -p "$root/opt/dpi/tmp" "$root/opt/dpi/data" && touch "$root/opt/dpi/tmp/watch_daemon.run" "$root/opt/dpi/data/.bootchk"
systemctl --root="$root" enable watch_daemon.service >/dev/null 2>&1
check "the operator can enable it" "" -- test -L "$wants"
check "dpkg removes" "" -- pkg -r quorin-watch-daemon
check "remove keeps the edited config and the state" "" -- grep -q edited "$root/opt/dpi/config" "$root/opt/dpi/data/.bootchk"
check "remove masks the unit" "" -- test "$(readlink "$root/etc/systemd/system/watch_daemon.service")" = /dev/null
check "dpkg purges" "" -- pkg -P quorin-watch-daemon
check "purge disables and unmasks" "" -- test -z "$(find "$root/etc/systemd" -name 'watch_daemon*')"
check "purge removes the state and the install directory" "" -- test ! -e "$root/opt/dpi"
# ./tmp/ a mount point of its own: emptied, and the purge still succeeds
if unshare -m true 2>/dev/null; then
    # and ./data/ a link elsewhere: the link goes, what it leads to stays
    pkg -i "$deb" && mkdir -p "$root/opt/dpi/tmp" "$work/elsewhere" && touch "$work/elsewhere/keep" &&
        ln -s "$work/elsewhere" "$root/opt/dpi/data"
    check "purge empties a mount point, removes a link only" "" -- unshare -m sh -c "mount -t tmpfs none '$root/opt/dpi/tmp' && touch '$root/opt/dpi/tmp/watch_daemon.run' &&
        dpkg --root='$root' --force-script-chrootless --force-depends --log=/dev/null -P quorin-watch-daemon >/dev/null 2>&1 &&
        test -z \"\$(ls -A '$root/opt/dpi/tmp')\" && test ! -L '$root/opt/dpi/data' && test -e '$work/elsewhere/keep'"
fi

# On a running systemd (a mount namespace of its own where
# /run/systemd/system exists; systemctl and the helpers only log what they
# are asked): removal stops the units, an upgrade with the unit active
# reloads it (restarts it when coming from a package before reloads), and a
# first install starts nothing.
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "${0##*/} $*" >>%s/invoked\n' "$work" >"$work/bin/systemctl" && chmod +x "$work/bin/systemctl"
for tool in deb-systemd-invoke deb-systemd-helper; do ln -s systemctl "$work/bin/$tool"; done
asks() { # asks NAME "SCRIPT ARGS" WANT: checks that the maintainer script asks WANT of systemd
    asked=$(unshare -m sh -c ": >'$work/invoked' && mount -t tmpfs none /run && mkdir -p /run/systemd/system &&
        PATH='$work/bin':\$PATH sh '$work/control/'$2" 2>/dev/null &&
        awk '/deb-systemd-invoke|systemctl (reload|restart|start|stop)/ { printf "%s;", $0 }' "$work/invoked")
    check "$1" "got '$asked' (status $?)" -- test "$?:$asked" = "0:$3"
}
if unshare -m sh -c 'mount -t tmpfs none /run' 2>/dev/null; then
    asks "remove stops the units" "prerm remove" "deb-systemd-invoke stop watch_daemon.service watch_daemon_metrics.timer watch_daemon_metrics.service;"
    asks "an upgrade reloads the unit if it runs" "postinst configure 3.9.47-2" "deb-systemd-invoke try-reload-or-restart watch_daemon.service;"
    asks "an upgrade from before reloads restarts it" "postinst configure 3.9.47" "deb-systemd-invoke try-restart watch_daemon.service;"
    asks "a first install starts nothing" "postinst configure" ""
else
    echo "SKIP: no mount namespace here for the maintainer scripts' systemd checks"
fi
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
