#!/usr/bin/env bash
# scrape.sh NODE_EXPORTER TEXTFILE_DIR: runs node_exporter on a free loopback
# port with only its textfile collector, prints /metrics once, and stops it.
set -u
for _ in 1 2 3; do
    port=$((20000 + RANDOM % 30000))
    "$1" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$2" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 50); do
        if exec 3<>"/dev/tcp/127.0.0.1/$port"; then
            printf 'GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n' >&3
            cat <&3
            kill "$pid"
            exit 0
        fi 2>/dev/null
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
done
exit 1
