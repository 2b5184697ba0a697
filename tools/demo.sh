#!/usr/bin/env bash
# tools/demo.sh -- builds tarvo and runs a TCP benchmark on this machine:
# a server and a client on loopback. Arguments go to the client (e.g. -b 32k).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/needs.sh
needs g++ cmake make

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target tarvo
port=${TARVO_DEMO_PORT:-18767}
build/tarvo -s -t -h 127.0.0.1 -p "$port" >/dev/null &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
sleep 0.5
build/tarvo -t -p "$port" "$@" 127.0.0.1
