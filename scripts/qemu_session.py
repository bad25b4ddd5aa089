#!/usr/bin/env python3
"""A QEMU ppce500 machine driven like a terminal, for scripts (the demo board's
preparation in scripts/run-ppce500.sh, the race in bench/ppce500_race.py).

The machine starts stopped with its console on a pseudo-terminal that this
process holds in raw mode; start() lets it run (the monitor's "cont"), so no
output is lost and times count from the processor's first instruction.

    python3 scripts/qemu_session.py load-image IMAGE -- QEMU ARGUMENTS...

boots the boot program of the arguments (a fresh board: start-up formats its
flash disk), loads IMAGE with Boot Menu option 4 and sx -k, and ends QEMU once
the Boot Menu is back: the image is then the board's active image."""
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time
import tty


class SessionError(Exception):
    pass


class QemuSession:
    def __init__(self, qemu_args):
        self.tmp = tempfile.mkdtemp(prefix="stkqemu-")
        self.sock_path = os.path.join(self.tmp, "monitor.sock")
        cmd = list(qemu_args) + ["-serial", "pty", "-S",
                                 "-monitor", "unix:%s,server=on,wait=off" % self.sock_path]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.pty = None
        for line in self.proc.stdout:
            m = re.search(rb"char device redirected to (/dev/pts/\d+)", line)
            if m:
                self.pty = m.group(1).decode()
                break
        if not self.pty:
            self.proc.wait()
            raise SessionError("QEMU did not start (%s)" % " ".join(cmd))
        self.fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.out = b""
        self.seen = 0  # output before this offset is matched
        self.started = None
        self.monitor = socket.socket(socket.AF_UNIX)
        for _ in range(500):
            try:
                self.monitor.connect(self.sock_path)
                break
            except OSError:
                time.sleep(0.01)
        self._monitor_reply()

    def _monitor_reply(self):
        reply = b""
        while not reply.endswith(b"(qemu) "):
            chunk = self.monitor.recv(4096)
            if not chunk:
                raise SessionError("QEMU's monitor closed")
            reply += chunk
        return reply

    def start(self):
        """Lets the machine run; the time of this call is returned."""
        self.started = time.monotonic()
        self.monitor.sendall(b"cont\n")
        self._monitor_reply()
        return self.started

    def _read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], max(timeout, 0))
        if not ready:
            return False
        try:
            chunk = os.read(self.fd, 65536)
        except OSError:
            chunk = b""
        if not chunk:  # the machine has ended
            time.sleep(min(timeout, 0.05))
            return False
        self.out += chunk
        return True

    def expect(self, text, timeout=60):
        """Waits for text after the last match; the time it was read."""
        mark = text.encode() if isinstance(text, str) else text
        deadline = time.monotonic() + timeout
        while True:
            at = self.out.find(mark, self.seen)
            if at >= 0:
                self.seen = at + len(mark)
                return time.monotonic()
            if time.monotonic() >= deadline:
                raise SessionError("no %r within %d s; the console showed:\n%s" % (
                    text, timeout, self.out[self.seen:][-2000:].decode(errors="replace")))
            self._read(deadline - time.monotonic())

    def send(self, text):
        os.write(self.fd, text.encode() if isinstance(text, str) else text)

    def run_on_line(self, argv, cwd=None, timeout=600):
        """Runs a program (lrzsz) with the console line as its standard input
        and output, as a terminal program's send command would; its exit status
        and the seconds from its start to its end."""
        began = time.monotonic()
        rc = subprocess.call(argv, stdin=self.fd, stdout=self.fd, stderr=subprocess.DEVNULL,
                             cwd=cwd, timeout=timeout)
        ended = time.monotonic()
        self.seen = len(self.out)  # what the program read is not console output
        return rc, ended - began

    def close(self):
        if self.proc.poll() is None:
            try:
                self.monitor.sendall(b"quit\n")
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        os.close(self.fd)
        self.monitor.close()
        for name in os.listdir(self.tmp):
            os.unlink(os.path.join(self.tmp, name))
        os.rmdir(self.tmp)


def load_image(image, qemu_args):
    """Option 4 with sx -k on a board that starts into the Boot Menu."""
    session = QemuSession(qemu_args)
    try:
        session.start()
        session.expect("[Boot Menu] ", 120)
        session.send("4\r")
        session.expect("transfer starts.")
        rc, _ = session.run_on_line(["sx", "-k", os.path.abspath(image)])
        if rc != 0:
            raise SessionError("sx -k %s ended with %d" % (image, rc))
        session.expect("Verified operational code CRC.")
        session.expect("[Boot Menu] ", 120)
    finally:
        session.close()


def main(argv):
    if len(argv) < 4 or argv[1] != "load-image" or argv[3] != "--":
        sys.exit("usage: qemu_session.py load-image IMAGE -- QEMU ARGUMENTS...")
    try:
        load_image(argv[2], argv[4:])
    except (SessionError, OSError, subprocess.SubprocessError) as e:
        sys.exit("qemu_session.py: %s" % e)


if __name__ == "__main__":
    main(sys.argv)
