#!/bin/sh
# Builds the unit tests for s390x, a big-endian Linux target like the board's
# processor, and runs them under qemu-user, so that a file or line format that
# depends on the host's byte order fails here. Installs what is missing (the
# cross compiler, qemu-user, and zlib and liblzma for s390x). Arguments go to
# CTest. The tests start the build's own programs through the emulator; the
# interop tests are left out, as several start them through the shell, which
# would need the emulator registered with the kernel (binfmt_misc).
set -e
cd "$(dirname "$0")/.."
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! command -v s390x-linux-gnu-g++ >/dev/null || ! command -v qemu-s390x >/dev/null; then
    $SUDO apt-get update -qq
    $SUDO apt-get install -y --no-install-recommends g++-s390x-linux-gnu qemu-user
fi
# The s390x libraries are unpacked into a folder of their own, not installed
# through multiarch: that needs the same version for both architectures, and
# Debian's security archive has no s390x builds, so the host's are often newer.
sysroot=build-be/sysroot
if [ ! -f $sysroot/usr/lib/s390x-linux-gnu/liblzma.a ]; then
    dpkg --print-foreign-architectures | grep -qx s390x || $SUDO dpkg --add-architecture s390x
    $SUDO apt-get update -qq
    mkdir -p build-be/debs
    (cd build-be/debs && apt-get download zlib1g-dev:s390x liblzma-dev:s390x)
    for deb in build-be/debs/*.deb; do dpkg-deb -x "$deb" $sysroot; done
    rm -f $sysroot/usr/lib/s390x-linux-gnu/*.so* # static programs only
    mkdir -p $sysroot/usr/share/cmake
    ln -sfn /usr/include/CLI $sysroot/usr/include/CLI # header-only
    cp -r /usr/share/cmake/CLI11 $sysroot/usr/share/cmake/
fi
cmake -S . -B build-be -DCMAKE_BUILD_TYPE=Debug -DSTK_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake >/dev/null
cmake --build build-be -j"$(nproc)"
cd build-be
ctest --output-on-failure -j"$(nproc)" -LE interop "$@"
