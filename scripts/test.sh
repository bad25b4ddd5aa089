#!/bin/sh
# Builds the test suite with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs it through CTest: the unit tests first, then the interop tests, which
# talk to real peer programs in real time and mostly wait, so they run wider.
# Arguments go to both CTest runs (e.g. -R Menu). Without arguments (as in CI)
# the optimised configuration of the README's benchmark command is built too
# (tests and benchmarks, not run), so that it keeps building on a clean clone,
# and the board build for QEMU's ppce500 machine is built and its tests run
# (scripts/test-ppce500.sh: the selftest and the terminal sessions on QEMU), then
# a few power cuts end to end follow (scripts/powercut.py takes a larger
# count), then the fuzz targets run briefly over their corpora, then the unit
# tests built for big-endian s390x under qemu-user (scripts/test-be.sh). The
# board build's tests run with other arguments too once build-ppce500 exists.
set -e
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSTK_BENCH=ON >/dev/null
    cmake --build build-release -j"$(nproc)"
fi
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DSTK_SANITIZE=ON -DSTK_TESTS=ON >/dev/null
cmake --build build-test -j"$(nproc)"
cd build-test
ctest --output-on-failure -j"$(nproc)" -LE interop "$@"
ctest --output-on-failure -j8 -L interop -LE target "$@"
if [ $# -eq 0 ]; then ../scripts/test-ppce500.sh; else ctest --output-on-failure -j2 -L target "$@"; fi
if [ $# -eq 0 ]; then python3 ../scripts/powercut.py --trials 4 --build .; fi
if [ $# -eq 0 ]; then ../scripts/fuzz.sh --short; fi
if [ $# -eq 0 ]; then ../scripts/test-be.sh; fi
