#!/bin/sh
# Prepares the C library and the decoders of the bare-metal PowerPC build
# (QEMU's ppce500 machine) inside BUILD_DIR/runtime, and nowhere else:
#   newlib 3.3.0  from the newlib-source package (/usr/src/newlib)
#   zlib          inflate only, from Debian's zlib source package, fetched with
#                 apt-get source through a deb-src list of the build's own
#   LzmaDec       the raw LZMA decoder of the lzma-dev package (/usr/include/lzma)
# Results: runtime/include (newlib's headers), runtime/zlib/include,
# runtime/lzma/include and runtime/lib/{libc,libm,libz,liblzmadec}.a.
# Each part is skipped when it was built before with the same compiler and
# flags, so a re-run takes well under a second.
set -e
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
mkdir -p "$1"
R=$(cd "$1" && pwd)/runtime
mkdir -p "$R/lib" "$R/stamps"
exec 9>"$R/.lock"
flock 9 # one preparation at a time per build folder

# CMake runs this while configuring, with the cross compiler in CC and CXX;
# newlib's configure needs the host's compiler for its build tools.
unset CC CXX CPP CFLAGS CXXFLAGS CPPFLAGS LDFLAGS ASM ASMFLAGS MAKEFLAGS MFLAGS MAKELEVEL

CROSS=powerpc-linux-gnu-
# The board's core (e500v2) traps classic floating point: soft float. The
# Linux compiler's 128-bit long double does not fit newlib's headers, and it
# makes position-independent code unless told otherwise.
TARGET_FLAGS="-mcpu=8548 -msoft-float -mlong-double-64 -fno-pie -O2 -g -ffunction-sections -fdata-sections"
JOBS=${STK_JOBS:-2}
for tool in gcc ar ranlib; do
    command -v ${CROSS}$tool >/dev/null || { echo "$0: ${CROSS}$tool missing (run scripts/install-deps.sh)" >&2; exit 1; }
done
COMPILER_ID=$(${CROSS}gcc --version | head -1)

# A part is current when its stamp holds the same recipe (compiler, flags, sources).
current() { [ -f "$R/stamps/$1" ] && [ "$(cat "$R/stamps/$1")" = "$2" ]; }
stamp() { printf '%s' "$2" >"$R/stamps/$1"; }

# --- newlib --------------------------------------------------------------------
NEWLIB_TAR=/usr/src/newlib/newlib-3.3.0.tar.xz
# No floating point in formatted I/O: the cross compiler's libgcc is built for
# hard float (its __adddf3 is an fadd, which traps on this core), and the boot
# program prints no floating-point values.
NEWLIB_OPTIONS="--disable-multilib --disable-newlib-supplied-syscalls
    --enable-newlib-nano-malloc --enable-newlib-reent-small --disable-newlib-io-float
    --enable-newlib-io-long-long --enable-newlib-io-c99-formats --disable-libgloss --disable-nls"
recipe="$COMPILER_ID|$TARGET_FLAGS|$NEWLIB_OPTIONS|$(stat -c %s "$NEWLIB_TAR")"
if ! current newlib "$recipe"; then
    echo "runtime: building newlib (about a minute)"
    rm -rf "$R/newlib-src" "$R/newlib-build" "$R/newlib"
    mkdir -p "$R/newlib-src" "$R/newlib-build"
    tar xJf "$NEWLIB_TAR" -C "$R/newlib-src" --strip-components=1
    (
        cd "$R/newlib-build"
        "$R/newlib-src/configure" --target=powerpc-eabi --prefix="$R/newlib" $NEWLIB_OPTIONS \
            CC_FOR_TARGET=${CROSS}gcc CXX_FOR_TARGET=${CROSS}g++ AR_FOR_TARGET=${CROSS}ar \
            AS_FOR_TARGET=${CROSS}as LD_FOR_TARGET=${CROSS}ld RANLIB_FOR_TARGET=${CROSS}ranlib \
            NM_FOR_TARGET=${CROSS}nm CFLAGS_FOR_TARGET="$TARGET_FLAGS" >configure.log 2>&1 ||
            { tail -20 configure.log >&2; exit 1; }
        make -j"$JOBS" all-target-newlib >make.log 2>&1 || { tail -30 make.log >&2; exit 1; }
        make install-target-newlib >install.log 2>&1 || { tail -20 install.log >&2; exit 1; }
    )
    rm -rf "$R/include"
    cp -r "$R/newlib/powerpc-eabi/include" "$R/include"
    cp "$R/newlib/powerpc-eabi/lib/libc.a" "$R/newlib/powerpc-eabi/lib/libm.a" "$R/lib/"
    rm -rf "$R/newlib-src" "$R/newlib-build" # 200 MB of objects nobody needs again
    stamp newlib "$recipe"
fi

# Compiles C sources into one static library: lib NAME, include dirs, sources.
build_lib() {
    name=$1 incs=$2
    shift 2
    objdir="$R/obj-$name"
    rm -rf "$objdir"
    mkdir -p "$objdir"
    for src in "$@"; do
        ${CROSS}gcc $TARGET_FLAGS -ffreestanding -isystem "$R/include" $incs \
            -c "$src" -o "$objdir/$(basename "$src" .c).o"
    done
    rm -f "$R/lib/lib$name.a"
    ${CROSS}ar rcs "$R/lib/lib$name.a" "$objdir"/*.o
    rm -rf "$objdir"
}

# --- zlib ------------------------------------------------------------------------
# The deb-src list mirrors the machine's own archives; apt works entirely in
# the build folder (its lists, cache and state), the system's sources stay as
# they are.
if [ ! -f "$R/zlib-src/inflate.c" ]; then
    echo "runtime: fetching zlib's source package"
    A="$R/apt"
    rm -rf "$A" "$R/zlib-src"
    mkdir -p "$A/lists/partial" "$A/cache/archives/partial" "$A/get"
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            # deb822 stanzas: one deb-src line per stanza of deb entries.
            awk '
                function flush() {
                    if (types ~ /deb/ && uris != "" && suites != "") {
                        n = split(uris, u, " "); m = split(suites, s, " ")
                        for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
                            printf "deb-src %s%s %s %s\n", (key != "" ? "[signed-by=" key "] " : ""), u[i], s[j], comps
                    }
                    types = uris = suites = comps = key = ""
                }
                /^[ \t]*$/ { flush(); next }
                /^#/ { next }
                /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
                /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
                /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
                /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
                /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $0 }
                END { flush() }' "$f"
        done
        [ -f /etc/apt/sources.list ] && sed -n 's/^deb[ \t]/deb-src /p' /etc/apt/sources.list
    } >"$A/sources.list"
    [ -s "$A/sources.list" ] || { echo "$0: no Debian archive found in /etc/apt" >&2; exit 1; }
    set -- -o Dir::Etc::SourceList="$A/sources.list" -o Dir::Etc::SourceParts=- \
        -o Dir::State::Lists="$A/lists" -o Dir::Cache="$A/cache" \
        -o Dir::State::status=/var/lib/dpkg/status \
        -o APT::Sandbox::User=root
    apt-get "$@" -qq update >"$A/update.log" 2>&1 || { cat "$A/update.log" >&2; exit 1; }
    # The version of the host's zlib first (what the host build links), then
    # whatever the archives offer: a mirror may list a version it cannot serve.
    host=$(dpkg-query -W -f='${source:Version}' zlib1g-dev 2>/dev/null || true)
    got=""
    for want in ${host:+zlib=$host} zlib $(awk '{print "zlib/" $(NF-1)}' "$A/sources.list"); do
        if (cd "$A/get" && apt-get "$@" -qq source "$want" >>../source.log 2>&1); then
            got=$want
            break
        fi
        rm -rf "$A/get" && mkdir -p "$A/get"
    done
    [ -n "$got" ] || { cat "$A/source.log" >&2; exit 1; }
    dir=$(find "$A/get" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*' | head -1)
    [ -n "$dir" ] && [ -f "$dir/inflate.c" ] || { echo "$0: zlib's sources not unpacked" >&2; exit 1; }
    mv "$dir" "$R/zlib-src"
    rm -rf "$A/get"
fi
recipe="$COMPILER_ID|$TARGET_FLAGS|$(cat "$R/zlib-src/zlib.h" | cksum)"
if ! current zlib "$recipe" || [ ! -f "$R/lib/libz.a" ]; then
    echo "runtime: building zlib (inflate)"
    # Built against newlib, so inflateInit_ with Z_NULL allocators takes the
    # default allocator (calloc/free) as on the host.
    Z="$R/zlib-src"
    build_lib z "-I$Z" "$Z/adler32.c" "$Z/crc32.c" "$Z/inflate.c" "$Z/inffast.c" \
        "$Z/inftrees.c" "$Z/zutil.c" "$Z/uncompr.c"
    rm -rf "$R/zlib/include"
    mkdir -p "$R/zlib/include"
    cp "$Z/zlib.h" "$Z/zconf.h" "$R/zlib/include/"
    stamp zlib "$recipe"
fi

# --- LzmaDec ---------------------------------------------------------------------
L=/usr/include/lzma
recipe="$COMPILER_ID|$TARGET_FLAGS|$(cat $L/LzmaDec.c $L/LzmaDec.h $L/Types.h | cksum)"
if ! current lzmadec "$recipe" || [ ! -f "$R/lib/liblzmadec.a" ]; then
    echo "runtime: building LzmaDec"
    rm -rf "$R/lzma"
    mkdir -p "$R/lzma/include"
    cp $L/LzmaDec.c "$R/lzma/"
    cp $L/LzmaDec.h $L/Types.h "$R/lzma/include/"
    build_lib lzmadec "-I$R/lzma/include" "$R/lzma/LzmaDec.c"
    stamp lzmadec "$recipe"
fi
