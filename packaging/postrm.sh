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
    # A mount point (a tmpfs on ./tmp/, a disk of its own for ./data/) stays,
    # emptied: it cannot be removed while mounted.
    for dir in "${DPKG_ROOT:-}@WATCH_INSTALL_DIR@/tmp" "${DPKG_ROOT:-}@WATCH_INSTALL_DIR@/data"; do
        if mountpoint -q "$dir"; then find "$dir" -mindepth 1 -delete; else rm -rf "$dir"; fi
    done
    rm -f "${DPKG_ROOT:-}/var/lib/prometheus/node-exporter/watch_daemon.prom"
fi
