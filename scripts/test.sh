#!/bin/sh
# Builds the test suite with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs it through CTest.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DSTK_SANITIZE=ON -DSTK_TESTS=ON >/dev/null
cmake --build build-test -j"$(nproc)"
cd build-test
ctest --output-on-failure -j"$(nproc)" "$@"
