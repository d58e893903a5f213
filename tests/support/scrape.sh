#!/usr/bin/env bash
# scrape.sh NODE_EXPORTER TEXTFILE_DIR [LOG]: runs node_exporter on a loopback
# port with only its textfile collector, prints /metrics once, and stops it;
# its own log goes to LOG.
port=$((20000 + RANDOM % 30000))
"$1" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$2" >"${3:-/dev/null}" 2>&1 &
for _ in $(seq 50); do
    sleep 0.1
    exec 3<>"/dev/tcp/127.0.0.1/$port" 2>/dev/null && break
done
printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3
kill $!
wait $! 2>/dev/null
exit 0
