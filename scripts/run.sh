#!/bin/sh
# Builds stkboot and starts it on the demo board in ./board (extra arguments
# are passed on, e.g. --console pty).
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTK_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/stkboot --board board --demo "$@"
