#!/usr/bin/env bash
# tools/test.sh -- builds tarvo and runs every test, in five runs: the suite
# as shipped; under AddressSanitizer and UndefinedBehaviorSanitizer; the
# threaded tests under ThreadSanitizer; the linters; and the fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/needs.sh
needs g++ cmake make libgtest-dev iproute2 groff-base man-db dpkg clang libclang-rt-14-dev clang-tidy cppcheck \
      systemd systemd-container lintian buildah python3-yaml tcpdump

jobs=$(( $(nproc) + 1 ))
run_suite() {  # build-dir [cmake options...] [-- ctest options...]
    local dir=$1; shift
    local configure=() select=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
    [ $# -gt 0 ] && shift && select=("$@")
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_TESTS=ON "${configure[@]}" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 180 "${select[@]}")
}

echo "== tests of the shipped build"
run_suite build
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer (all but accuracy, wire, packaging and deployment)"
# the accuracy and wire tests measure a shaped link, the packaging and
# deployment tests the shipped package and image, not memory: once, as
# shipped, is enough
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan -DTARVO_SANITIZE=address,undefined -- -E 'Accuracy|Wire|Packaging|Deploy'
echo "== threaded tests under ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_suite build-tsan -DTARVO_SANITIZE=thread -- -R 'Threads|TcpServer|UdpServer|SocketPair|Hostile'
echo "== clang-format, clang-tidy and cppcheck"
tools/lint.sh
echo "== fuzzing the servers' command handling"
tools/fuzz.sh 30  # the dictionary reaches the edge values within seconds
