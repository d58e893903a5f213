#!/bin/sh
# A stand-in for the DPI engine that acts out a short life, one step per
# start, so that the demo shows every kind of reaction of the supervisor.
say() { echo "    [wd-demo-engine pid $$] $*"; }

say "started as: $0 $*"
case "$*" in
*"-T ./tmp/ -D ./data/ -O quorin"*)
    say "running the upgraded engine from ./data/; the boot-check record reads $(cat ./data//.bootchk)"
    sleep 2
    say "the upgraded engine fails: exit 129 (error)"
    exit 129 ;;
"")
    say "working for 2 s, then an ordinary end: exit 7"
    sleep 2
    exit 7 ;;
"-r 7")
    say "restarted after the ordinary end; leaving an upgrade package in ./tmp/ and exiting 130"
    mkdir -p ./tmp/stage && cp "$0" ./tmp/stage/wd-demo-engine
    tar -czf ./tmp//ttupgrade.tgz -C ./tmp/stage wd-demo-engine && rm -rf ./tmp/stage
    exit 130 ;;
*)
    say "back in the install directory after the fallback, and failing again: exit 129"
    sleep 1
    exit 129 ;;
esac
