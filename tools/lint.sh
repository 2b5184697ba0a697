#!/usr/bin/env bash
# tools/lint.sh -- the layout of .clang-format on all C++ code, then
# clang-tidy (configured by .clang-tidy) and cppcheck on src/; any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/needs.sh
needs clang-format clang-tidy cppcheck cmake g++ libgtest-dev

clang-format --dry-run --Werror src/*/*.cc src/*/*.h tests/*.cc tests/*.h fuzz/*.cc bench/*.cc

cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARVO_TESTS=OFF >/dev/null
clang-tidy -p build-lint --quiet src/*/*.cc 2>/dev/null | tee build-lint/clang-tidy.log
if grep -q -E '(warning|error):' build-lint/clang-tidy.log; then
    echo "clang-tidy found the above" >&2
    exit 1
fi
cppcheck --quiet --enable=warning,performance,portability,style --std=c++20 --inline-suppr \
    --error-exitcode=1 -I src src
echo "clang-format, clang-tidy and cppcheck: nothing to report"
