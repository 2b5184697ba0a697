#!/usr/bin/env bash
# tools/test.sh -- builds tarvo and runs every test: once as shipped, once
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/needs.sh
needs g++ cmake make libgtest-dev iproute2

jobs=$(( $(nproc) + 1 ))
run_suite() {  # build-dir [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 180)
}

echo "== tests of the shipped build"
run_suite build
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan -DTARVO_SANITIZE=address,undefined
