#!/bin/sh
# As dh_installsystemd --no-enable --no-start would: installing neither
# enables nor starts the supervisor (the DPI programs must be put in place
# first), but an upgrade keeps it enabled if it was, and the state for a
# later purge is recorded.
set -e
units="watch_daemon.service watch_daemon_metrics.timer"
if [ "$1" = configure ] || [ "$1" = abort-upgrade ] || [ "$1" = abort-deconfigure ] ||
    [ "$1" = abort-remove ]; then
    if command -v deb-systemd-helper >/dev/null; then
        for unit in $units; do
            if deb-systemd-helper debian-installed "$unit"; then
                deb-systemd-helper unmask "$unit" >/dev/null || true
                if deb-systemd-helper --quiet was-enabled "$unit"; then
                    deb-systemd-helper enable "$unit" >/dev/null || true
                fi
            fi
            deb-systemd-helper update-state "$unit" >/dev/null || true
        done
    fi
    if [ -z "${DPKG_ROOT:-}" ] && [ -d /run/systemd/system ]; then
        systemctl --system daemon-reload >/dev/null || true
        # An upgrade replaces a running supervisor's binary without stopping
        # the engine: a reload re-executes it under its programs. One from
        # before @WATCH_RELOAD_SINCE@ cannot re-execute (it would die of the
        # signal, and its programs with it): that one is restarted. Neither
        # starts a unit that is not running.
        if [ "$1" = configure ] && [ -n "${2:-}" ]; then
            if dpkg --compare-versions "$2" ge "@WATCH_RELOAD_SINCE@"; then
                deb-systemd-invoke try-reload-or-restart watch_daemon.service >/dev/null || true
            else
                deb-systemd-invoke try-restart watch_daemon.service >/dev/null || true
            fi
        fi
    fi
fi
