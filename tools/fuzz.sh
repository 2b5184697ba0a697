#!/usr/bin/env bash
# tools/fuzz.sh [SECONDS] -- builds the libFuzzer target of the servers'
# command handling with clang, ASan and UBSan, and runs it from the seed
# corpus for a bounded time (default 60 s). A crash or a sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/needs.sh
needs clang libclang-rt-14-dev cmake

seconds=${1:-60}
CXX=clang++ cmake -S . -B build-fuzz -DTARVO_FUZZ=ON -DTARVO_TESTS=OFF -DTARVO_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target control_fuzz
corpus=build-fuzz/corpus
mkdir -p "$corpus"
build-fuzz/control_fuzz -max_total_time="$seconds" -max_len=70000 -dict=fuzz/control.dict -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "$corpus" fuzz/corpus 2>&1 | tee build-fuzz/fuzz.log | grep -E 'Done|stat::number_of_executed_units|ERROR|SUMMARY'
