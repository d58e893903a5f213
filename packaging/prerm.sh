#!/bin/sh
# On removal the supervisor, and with it every program it runs, stops.
set -e
if [ -z "${DPKG_ROOT:-}" ] && [ "$1" = remove ] && [ -d /run/systemd/system ]; then
    deb-systemd-invoke stop watch_daemon.service watch_daemon_metrics.timer watch_daemon_metrics.service \
        >/dev/null || true
fi
