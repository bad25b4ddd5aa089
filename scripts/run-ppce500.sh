#!/bin/bash
# Runs the boot program built for the board's processor on QEMU's ppce500
# machine:
#   scripts/run-ppce500.sh [--board DIR] [--console pty|stdio]
#                          [--rtc "YYYY-MM-DD HH:MM:SS"] [--no-reboot] [--elf FILE]
#                          [--append TEXT] [--demo]
# DIR (default ./board) holds the flash chip, norflash.bin: 32 MiB, created
# erased when missing. Without --elf the program is build-ppce500/stkboot.elf,
# configured and built first. --console pty (the default) prints
# "waiting for a terminal on /dev/pts/N" on standard error and keeps the board
# stopped until a terminal program opens that device, so nothing printed at
# start-up is lost; stdio runs at once on this terminal. --rtc sets the I2C
# clock (UTC); --no-reboot makes a board reset end QEMU. The exit status is
# QEMU's (0 after the board powers itself off). --append passes TEXT as
# the board's command line (the device tree's bootargs; tests use it).
# --demo on a fresh board (no norflash.bin yet) first puts the demo operational
# code (build-ppce500/demo/ppce500_demo.bin, packed by the stkimage of a host
# build of this tree: build, build-release or build-test, else build is made) on its
# flash disk: the boot program itself loads it with Boot Menu option 4 and
# sx -k in a QEMU session of its own, so the board then starts with the
# auto-boot choice and, left alone, decompresses and starts the demo.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ME=run-ppce500.sh
FLASH_BYTES=33554432

board=board console=pty rtc="" noreboot="" elf="" append="" demo=""
usage() {
    echo "usage: $ME [--board DIR] [--console pty|stdio] [--rtc \"YYYY-MM-DD HH:MM:SS\"] [--no-reboot] [--elf FILE] [--append TEXT] [--demo]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --board) [ $# -ge 2 ] || usage; board=$2; shift 2 ;;
    --console) [ $# -ge 2 ] || usage; console=$2; shift 2 ;;
    --rtc) [ $# -ge 2 ] || usage; rtc=$2; shift 2 ;;
    --no-reboot) noreboot=1; shift ;;
    --elf) [ $# -ge 2 ] || usage; elf=$2; shift 2 ;;
    --append) [ $# -ge 2 ] || usage; append=$2; shift 2 ;;
    --demo) demo=1; shift ;;
    -h | --help) usage ;;
    *) echo "$ME: unknown option $1" >&2; usage ;;
    esac
done
case $console in pty | stdio) ;; *) echo "$ME: --console takes pty or stdio, not $console" >&2; exit 2 ;; esac
rtc_arg=()
if [ -n "$rtc" ]; then
    if ! [[ $rtc =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]] ||
        ! date -u -d "$rtc" >/dev/null 2>&1; then
        echo "$ME: --rtc takes a UTC time as \"YYYY-MM-DD HH:MM:SS\", not \"$rtc\"" >&2
        exit 2
    fi
    rtc_arg=(-rtc "base=${rtc/ /T}")
fi

if [ -z "$elf" ]; then
    elf=$ROOT/build-ppce500/stkboot.elf
    if [ ! -f "$ROOT/build-ppce500/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$ROOT/build-ppce500" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/ppce500.cmake" >&2 ||
            exit 1
    fi
    cmake --build "$ROOT/build-ppce500" -j2 >&2 || exit 1
fi
[ -f "$elf" ] || { echo "$ME: no program $elf" >&2; exit 1; }

# The board folder: created when only the folder itself is missing.
if [ ! -d "$board" ]; then
    if [ -e "$board" ] || [ ! -d "$(dirname -- "$board")" ] || ! mkdir -- "$board" 2>/dev/null; then
        echo "$ME: cannot use board folder $board" >&2
        exit 1
    fi
fi
flash=$board/norflash.bin
[ -e "$flash" ] || fresh=1
if [ ! -e "$flash" ]; then
    # Written whole under another name first: never a short chip file.
    head -c $FLASH_BYTES /dev/zero | tr '\000' '\377' >"$flash.new" && mv "$flash.new" "$flash" ||
        { echo "$ME: cannot create $flash" >&2; rm -f "$flash.new"; exit 1; }
    [ -e "$board/flashdisk" ] || echo flash-ppce500 >"$board/flashdisk"  # for stkimage volume
fi
size=$(stat -L -c %s "$flash" 2>/dev/null || echo 0)
if [ "$size" != $FLASH_BYTES ]; then
    echo "$ME: $flash is $size bytes; QEMU's flash must be exactly $FLASH_BYTES bytes (32 MiB)" >&2
    exit 1
fi

# The VPD EEPROM, DIR/vpd_eeprom_512.bin (created with the factory record when
# missing): QEMU's at24c-eeprom at the board's EEPROM address (0x51) with two
# word address bytes. Its backing file must be a whole number of
# 512-byte sectors and exactly the part's size: the smallest such part.
EEPROM_BYTES=512
eeprom=$board/vpd_eeprom_512.bin
if [ ! -e "$eeprom" ]; then
    python3 "$ROOT/scripts/factory_vpd.py" --size $EEPROM_BYTES -o "$eeprom" || exit 1
fi
size=$(stat -L -c %s "$eeprom" 2>/dev/null || echo 0)
if [ "$size" != $EEPROM_BYTES ]; then
    echo "$ME: $eeprom is $size bytes; the board's EEPROM must be exactly $EEPROM_BYTES bytes" >&2
    exit 1
fi
eeprom_args=(-drive "if=none,id=vpd,file=$eeprom,format=raw"
    -device "at24c-eeprom,bus=i2c,address=0x51,rom-size=$EEPROM_BYTES,drive=vpd")

board_args=(qemu-system-ppc -M ppce500 -m 128M -display none -net none
    -drive "if=pflash,file=$flash,format=raw" -kernel "$elf" "${rtc_arg[@]}" "${eeprom_args[@]}")

if [ -n "$demo" ] && [ -n "${fresh:-}" ]; then
    demo_bin=$ROOT/build-ppce500/demo/ppce500_demo.bin
    [ -f "$demo_bin" ] || cmake --build "$ROOT/build-ppce500" -j2 >&2 || exit 1
    stkimage=""
    for dir in build build-release build-test; do
        [ -x "$ROOT/$dir/stkimage" ] && { stkimage=$ROOT/$dir/stkimage; break; }
    done
    if [ -z "$stkimage" ]; then
        cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTK_TESTS=OFF >&2 &&
            cmake --build "$ROOT/build" -j2 --target stkimage >&2 || exit 1
        stkimage=$ROOT/build/stkimage
    fi
    image=$(mktemp /tmp/ppce500-demo.XXXXXX)
    "$stkimage" create "$demo_bin" -o "$image" --compression zlib \
        --load-address 0x00010000 --version 1.0.0.1 --timestamp "Sun Dec  6 12:00:00 2026" \
        --file-text ppce500_demo.bin >/dev/null || { rm -f "$image"; exit 1; }
    echo "$ME: putting the demo operational code on the fresh board (Boot Menu option 4 with sx -k)" >&2
    python3 "$ROOT/scripts/qemu_session.py" load-image "$image" -- "${board_args[@]}"
    status=$?
    rm -f "$image"
    [ $status -eq 0 ] || exit 1
fi

tmp=$(mktemp -d /tmp/run-ppce500.XXXXXX)
qemu_args=("${board_args[@]}" -monitor "unix:$tmp/monitor.sock,server=on,wait=off")
[ -n "$noreboot" ] && qemu_args+=(-no-reboot)
[ -n "$append" ] && qemu_args+=(-append "$append")

if [ "$console" = stdio ]; then
    "${qemu_args[@]}" -serial stdio
    status=$?
    rm -rf "$tmp"
    exit $status
fi

qemu_pid="" watch_pid="" relay_pid=""
cleanup() {
    for pid in $watch_pid $relay_pid $qemu_pid; do kill "$pid" 2>/dev/null; done
    rm -rf "$tmp"
}
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM HUP
trap cleanup EXIT

# Started stopped (-S): it runs once a terminal has opened the pty.
# QEMU names the pty on its standard output; both its outputs go to one file.
: >"$tmp/qemu.err"
"${qemu_args[@]}" -serial pty -S >>"$tmp/qemu.err" 2>&1 &
qemu_pid=$!
pty=""
for _ in $(seq 1 1000); do
    pty=$(sed -n 's|.*char device redirected to \(/dev/pts/[0-9]*\).*|\1|p' "$tmp/qemu.err")
    [ -n "$pty" ] && break
    kill -0 $qemu_pid 2>/dev/null || break
    sleep 0.01
done
if [ -z "$pty" ]; then
    cat "$tmp/qemu.err" >&2
    wait $qemu_pid
    status=$?
    [ $status -ne 0 ] || status=1
    exit $status
fi
# QEMU's other messages still reach standard error.
tail -n +1 -f --pid=$qemu_pid "$tmp/qemu.err" | grep -v --line-buffered 'char device redirected to' >&2 &
relay_pid=$!

# The watch is set before the path is announced, so the terminal's open
# (the next one: QEMU has its end already) is never missed.
inotifywait -e open "$pty" >/dev/null 2>"$tmp/watch.err" &
watch_pid=$!
for _ in $(seq 1 500); do
    grep -q '^Watches established' "$tmp/watch.err" && break
    kill -0 $watch_pid 2>/dev/null || { cat "$tmp/watch.err" >&2; exit 1; }
    sleep 0.01
done
echo "waiting for a terminal on $pty" >&2
while kill -0 $watch_pid 2>/dev/null && kill -0 $qemu_pid 2>/dev/null; do sleep 0.05; done
wait $watch_pid 2>/dev/null
watch_pid=""
if kill -0 $qemu_pid 2>/dev/null; then
    python3 - "$tmp/monitor.sock" <<'EOF' || { echo "$ME: QEMU's monitor did not take \"cont\"" >&2; kill $qemu_pid; }
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
seen = b""
def until(mark):
    global seen
    while mark not in seen:
        chunk = s.recv(4096)
        if not chunk:
            sys.exit(1)
        seen += chunk
    seen = seen[seen.index(mark) + len(mark):]
until(b"(qemu) ")
s.sendall(b"cont\n")
until(b"(qemu) ")
EOF
fi
wait $qemu_pid
status=$?
qemu_pid=""
wait $relay_pid 2>/dev/null
relay_pid=""
exit $status
