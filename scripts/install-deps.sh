#!/bin/sh
# Installs the Debian packages that stkboot needs to build, run and test,
# skipping those already present. Run as root (or with sudo available).
set -e
PACKAGES="build-essential cmake pkg-config zlib1g-dev liblzma-dev libcli11-dev
libgtest-dev libgmock-dev libbenchmark-dev lrzsz xz-utils python3 pigz picocom
clang libclang-rt-14-dev dosfstools mtools"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y --no-install-recommends $missing
