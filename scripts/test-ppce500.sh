#!/bin/sh
# Builds the board build for QEMU's ppce500 machine (build-ppce500: the
# runtime, the platform and its test programs), then the host test program
# that drives them through scripts/run-ppce500.sh, and runs the tests labelled
# "target". Arguments go to CTest (e.g. -R Fault).
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build-ppce500 -DCMAKE_TOOLCHAIN_FILE=cmake/ppce500.cmake >/dev/null
cmake --build build-ppce500 -j2
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DSTK_SANITIZE=ON -DSTK_TESTS=ON >/dev/null
cmake --build build-test -j2 --target test_target stkimage
cd build-test
ctest --output-on-failure -j2 -L target "$@"
