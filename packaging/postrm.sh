#!/bin/sh
# remove: the unit is masked, so that an enabled link left behind starts
# nothing. purge: the unit is disabled and unmasked, and the state the
# supervisor and its programs made in the install directory goes.
set -e
units="watch_daemon.service watch_daemon_metrics.timer"
if [ "$1" = remove ]; then
    [ -d /run/systemd/system ] && [ -z "${DPKG_ROOT:-}" ] &&
        systemctl --system daemon-reload >/dev/null || true
    if command -v deb-systemd-helper >/dev/null; then
        deb-systemd-helper mask $units >/dev/null || true
    fi
fi
if [ "$1" = purge ]; then
    if command -v deb-systemd-helper >/dev/null; then
        deb-systemd-helper purge $units >/dev/null || true
        deb-systemd-helper unmask $units >/dev/null || true
    fi
    # A link goes, not what it leads to; a mount point (a tmpfs on ./tmp/, a
    # disk of its own for ./data/) stays, emptied, and nothing is removed
    # across into another file system mounted inside. What cannot go (a
    # read-only or busy mount) is said and left: a failed purge would leave
    # the package half-removed for good.
    for dir in "${DPKG_ROOT:-}@WATCH_INSTALL_DIR@/tmp" "${DPKG_ROOT:-}@WATCH_INSTALL_DIR@/data"; do
        if [ -L "$dir" ]; then
            rm -f "$dir"
        elif mountpoint -q "$dir"; then
            find "$dir" -xdev -mindepth 1 -delete
        else
            rm -rf --one-file-system "$dir"
        fi || echo "quorin-watch-daemon: could not remove all of $dir; left in place" >&2
    done
    rm -f "${DPKG_ROOT:-}/var/lib/prometheus/node-exporter/watch_daemon.prom"
fi
