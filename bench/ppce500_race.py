#!/usr/bin/env python3
"""The boot program on QEMU's ppce500 machine against the packaged boot loader
(u-boot-qemu's qemu-ppce500 build) on the same machine, with the same
-serial pty set-up, measured in one run:

  1. from the processor's first instruction (QEMU started stopped, then
     "cont") to our auto-boot prompt, against the peer's autoboot countdown;
  2. an XMODEM-1K receive of the same 1 MiB file from sx -k, from sx's start
     to its exit: ours with Boot Menu option 13 onto the flash volume, the
     peer's loadx into RAM;
  3. load-to-run: from the command that starts a 4 MiB-payload image (ours: a
     zlib image with option 1; the peer: bootm of the same payload as a gzip
     image made with mkimage) to the operational code's first line;
  4. the console line's own limit: the same 1 MiB pushed through the same pty
     to a loop in our console layer that only counts it
     (bench/ppce500_line_sink.cpp).

Not part of CI; it takes a few minutes (the peer's loadx alone about one) and
its numbers are only worth something on a quiet machine.

    bench/ppce500_race.py [--runs N]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from qemu_session import QemuSession, load_image  # noqa: E402

BUILD = os.path.join(ROOT, "build-ppce500")
UBOOT = "/usr/lib/u-boot/qemu-ppce500/uboot.elf"
MACHINE = ["qemu-system-ppc", "-M", "ppce500", "-m", "128M", "-display", "none", "-net", "none"]
FLASH_BYTES = 32 << 20
DEMO_LINE = "Demo operational code is running on the board."


def build():
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        subprocess.check_call(["cmake", "-S", ROOT, "-B", BUILD,
                               "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake/ppce500.cmake")])
    subprocess.check_call(["cmake", "--build", BUILD, "-j2"], stdout=subprocess.DEVNULL)
    for folder in ["build", "build-release", "build-test"]:
        tool = os.path.join(ROOT, folder, "stkimage")
        if os.access(tool, os.X_OK):
            return tool
    subprocess.check_call(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build"),
                           "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DSTK_TESTS=OFF"])
    subprocess.check_call(["cmake", "--build", os.path.join(ROOT, "build"), "-j2", "--target",
                           "stkimage"])
    return os.path.join(ROOT, "build", "stkimage")


def make_files(work, stkimage):
    rng = random.Random(26)
    files = {"r1m": os.path.join(work, "r1m.bin")}
    with open(files["r1m"], "wb") as f:
        f.write(rng.randbytes(1 << 20))
    # The demo code followed by words of text to 4 MiB: a payload that
    # compresses about as operational code does.
    demo = open(os.path.join(BUILD, "demo", "ppce500_demo_off.bin"), "rb").read()
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(3000)]
    pad = bytearray()
    while len(pad) < (4 << 20) - len(demo):
        pad += rng.choice(words) + b" "
    payload = os.path.join(work, "payload.bin")
    with open(payload, "wb") as f:
        f.write(demo + bytes(pad[:(4 << 20) - len(demo)]))
    files["demo"] = os.path.join(work, "demo.stk")
    files["big"] = os.path.join(work, "big.stk")
    for name, source in (("demo", os.path.join(BUILD, "demo", "ppce500_demo_off.bin")),
                         ("big", payload)):
        subprocess.check_call([stkimage, "create", source, "-o", files[name], "--compression",
                               "zlib", "--load-address", "0x00010000"], stdout=subprocess.DEVNULL)
    gz = payload + ".gz"
    with open(gz, "wb") as f:
        subprocess.check_call(["gzip", "-9", "-n", "-c", payload], stdout=f)
    files["uimage"] = os.path.join(work, "big.uimage")
    subprocess.check_call(["mkimage", "-A", "ppc", "-O", "u-boot", "-T", "standalone", "-C",
                           "gzip", "-a", "0x10000", "-e", "0x10000", "-n", "race payload", "-d",
                           gz, files["uimage"]], stdout=subprocess.DEVNULL)
    return files


def board_with(work, name, image):
    """A board folder's flash whose active image is `image`, loaded by the
    boot program itself (option 4, sx -k)."""
    flash = os.path.join(work, name + ".flash")
    with open(flash, "wb") as f:
        f.write(b"\xff" * FLASH_BYTES)
    load_image(image, ours_args(flash))
    return flash


def ours_args(flash, elf="stkboot.elf"):
    return MACHINE + ["-drive", "if=pflash,file=%s,format=raw" % flash,
                      "-kernel", os.path.join(BUILD, elf)]


def peer_args(*extra):
    return MACHINE + ["-bios", UBOOT] + list(extra)


def fresh_copy(flash):
    copy = flash + ".run"
    shutil.copyfile(flash, copy)
    return copy


def session(args):
    s = QemuSession(args)
    s.start()
    return s


def peer_prompt(s):
    s.expect("Hit any key to stop autoboot")
    s.send("\r")
    s.expect("=> ")


def ours_menu(s):
    s.expect("Select (1, 2):")
    s.send("2\r")
    s.expect("[Boot Menu] ")


def send_file(s, path):
    """sx -k on the console line; its seconds, and when its start stall (a
    retry it announces with "NAK on sector") ended, seconds after its start."""
    began = time.monotonic()
    sx = subprocess.Popen(["sx", "-k", path], stdin=s.fd, stdout=s.fd, stderr=subprocess.PIPE)
    stall = [None]
    seen = [b""]

    def watch():
        for chunk in iter(lambda: sx.stderr.read1(4096), b""):
            seen[0] += chunk
            if stall[0] is None and b"NAK on sector" in seen[0]:
                stall[0] = time.monotonic() - began
    reader = threading.Thread(target=watch)
    reader.start()
    rc = sx.wait(600)
    took = time.monotonic() - began
    reader.join()
    s.seen = len(s.out)
    if rc != 0:
        raise SystemExit("sx -k %s ended with %d: %s\nthe console showed: %s" % (
            path, rc, seen[0][-300:].decode(errors="replace"),
            s.out[-500:].decode(errors="replace")))
    return took, stall[0]


def race_start(boards, runs):
    ours, peer = [], []
    for _ in range(runs):
        s = session(ours_args(fresh_copy(boards["demo"])))
        ours.append(s.expect("Select (1, 2):") - s.started)
        s.close()
        s = session(peer_args())
        peer.append(s.expect("Hit any key to stop autoboot") - s.started)
        s.close()
    return statistics.median(ours), statistics.median(peer)


def race_receive(boards, files):
    s = session(ours_args(fresh_copy(boards["demo"])))
    ours_menu(s)
    s.send("13\r")
    s.expect("transfer starts.")
    ours, stall = send_file(s, files["r1m"])
    s.expect("XMODEM transfer complete....", 120)
    s.close()
    s = session(peer_args())
    peer_prompt(s)
    s.send("loadx 0x2000000\r")
    s.expect("Ready for binary")
    peer, _ = send_file(s, files["r1m"])
    s.expect("## Total Size", 60)
    s.close()
    return ours, stall, peer


def race_load_to_run(boards, files, runs):
    ours, peer = [], []
    for _ in range(runs):
        s = session(ours_args(fresh_copy(boards["big"])))
        ours_menu(s)
        began = time.monotonic()
        s.send("1\r")
        ours.append(s.expect(DEMO_LINE, 60) - began)
        s.close()
        s = session(peer_args("-device", "loader,file=%s,addr=0x2000000,force-raw=on"
                              % files["uimage"]))
        peer_prompt(s)
        s.send("setenv autostart yes\r")
        s.expect("=> ")
        began = time.monotonic()
        s.send("bootm 0x2000000\r")
        peer.append(s.expect(DEMO_LINE, 60) - began)
        s.close()
    return statistics.median(ours), statistics.median(peer)


def line_limit(files):
    s = session(MACHINE + ["-kernel", os.path.join(BUILD, "ppce500_line_sink.elf")])
    size = os.path.getsize(files["r1m"])
    s.expect("bytes to count? ")
    s.send("%d\r" % size)
    s.expect("send %d bytes" % size)
    began = time.monotonic()
    subprocess.check_call(["cat", files["r1m"]], stdout=s.fd)
    took = s.expect("counted %d bytes" % size, 600) - began
    s.close()
    return took


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of races 1 and 3 (median)")
    runs = parser.parse_args().runs
    stkimage = build()
    work = tempfile.mkdtemp(prefix="stkrace-")
    try:
        files = make_files(work, stkimage)
        print("preparing boards (images loaded with option 4 and sx -k) ...", flush=True)
        boards = {"demo": board_with(work, "demo", files["demo"]),
                  "big": board_with(work, "big", files["big"])}
        start = race_start(boards, runs)
        recv, stall, peer_recv = race_receive(boards, files)
        run = race_load_to_run(boards, files, runs)
        limit = line_limit(files)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    rows = [
        ("1 start to the auto-boot prompt", start[0], start[1], "peer", 1.0),
        ("2 sx -k 1 MiB, sx start to exit", recv, peer_recv, "peer", None),
        ("  the same against the line's limit", recv, limit, "limit", 1.3),
        ("3 start command to the code's line", run[0], run[1], "peer", 1.0),
        ("4 the line's limit, 1 MiB counted", limit, None, "", None),
    ]
    print("\n%-38s %10s %12s %8s %6s" % ("race (QEMU ppce500, -serial pty)", "ours s",
                                         "against s", "ratio", "goal"))
    for name, ours, against, what, goal in rows:
        ratio = "%.2f" % (ours / against) if against else ""
        goal_text = ("<=%.1f %s" % (goal, "met" if ours / against <= goal else "missed")
                     if goal else "")
        against_text = "%.3f %s" % (against, what) if against else ""
        print("%-38s %10.3f %12s %8s %s" % (name, ours, against_text, ratio, goal_text))
    if stall:
        print("\n2: sx -k stalls at the start on the 'K' the receive engine sends after 'C'"
              " (it takes it for a bad answer and waits for the next NAK): %.1f s of ours;"
              " without it %.3f s, %.2f times the line's limit." % (
                  stall, recv - stall, (recv - stall) / limit))
    print("3: ours holds 2 s of the launch's fixed pauses (after the progress bar, before the"
          " jump); without them %.3f s, %.2f times the peer's." % (
              run[0] - 2.0, (run[0] - 2.0) / run[1]))


if __name__ == "__main__":
    main()
