#!/usr/bin/env python3
"""Power cuts end to end: kills stkboot (SIGKILL) at seeded random instants while it
stores an image from sx (option 4), activates the backup (11), rewrites its event log
at start-up and sends it (3), or receives a diagnostics image (13), and restarts it on
the same board: it must reach the auto-boot prompt with the old or the new image active
and valid, no image lost, no listed file missing. powercut.py [--trials N] [--seed S]"""
import argparse, atexit, collections, os, random, select, signal, socket, struct
import subprocess, sys, tempfile, termios, threading, time, tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROMPT, CHOICE = b"[Boot Menu] ", b"Select (1, 2):"
LOG_RECORD, LOG_RECORDS = 52, 16384 // 52
# Each operation as an operator drives it: bytes ending in CR are typed, other
# bytes awaited, None is the start-up up to the menu, a list runs lrzsz on the line
# and a tuple (phase, weight, longest time measured in s) starts a phase where the
# cut may land. The store phases are short, but an image can be lost there: they weigh most.
OPS = {
    "store": [b"4\r", b"transfer starts.", ("transfer", 2, 7.5), ["sx", "-k"], ("settle", 1, 5.0),
              b"XMODEM transfer complete", ("check", 1, 1.0),
              b"Storing Operational code in Flash.", ("store", 4, 0.01), PROMPT],
    "activate": [b"11\r", ("activate", 1, 1.0), b"activated.", PROMPT],
    "eventlog": [("start-up", 3, 1.1), None, b"3\r", ("convert", 2, 0.2), b"transfer starts.",
                 ("transfer", 1, 2.6), ["rx", "-c", "event.log"], ("tail", 1, 5.0),
                 b"Event log transmitted.", PROMPT],
    "diag": [b"13\r", b"transfer starts.", ("transfer", 2, 7.5), ["sx", "-k"], ("settle", 1, 5.0),
             b"XMODEM transfer complete", ("store", 5, 0.005), PROMPT],
}
VERIFIED = set()  # image bytes stkimage found valid
PHASES = {op: [step for step in steps if isinstance(step, tuple)] for op, steps in OPS.items()}


class Killed(Exception): pass  # the cut came
class Failure(Exception): pass  # a check failed


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


class Board:
    """One stkboot process on the board folder, its pty held like a terminal."""

    def __init__(self, exe, folder, work):
        self.exe, self.folder, self.work = exe, folder, work
        self.files = os.path.join(folder, "DskVol", "files")
        self.proc, self.peer, self.fd = None, None, -1

    def start(self):
        self.proc = subprocess.Popen([self.exe, "--board", self.folder, "--console", "pty"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)
        mark = b"stkboot: console on "  # at once, and it waits only 2 s at the prompt
        line = next((line for line in self.proc.stderr if line.startswith(mark)), b"")
        if not line.endswith(b"\n"):
            raise Failure("stkboot announced no pty")
        self.fd = os.open(line[len(mark):].split()[0].decode(), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd, termios.TCSANOW)  # keeping what it wrote before we came
        self.out, self.cursor = b"", 0

    def alive(self):
        """False once the program has ended; a fault unless it was the cut."""
        if self.proc.poll() is None:
            return True
        if self.proc.returncode != -signal.SIGKILL:
            raise Failure("stkboot ended with %d: %r" % (self.proc.returncode, self.out[-300:]))
        return False

    def read(self):
        try:
            return os.read(self.fd, 4096)
        except OSError:  # the line has gone with the program: alive() tells
            time.sleep(0.01)
            return b""

    def send(self, data):
        try:
            return os.write(self.fd, data)
        except OSError:
            raise Killed()

    def expect(self, *texts, timeout=20):
        """Reads the line until one of the texts comes; its index."""
        deadline = time.time() + timeout
        while True:
            hits = sorted((self.out.find(t, self.cursor), i) for i, t in enumerate(texts))
            at, i = next(((at, i) for at, i in hits if at >= 0), (-1, -1))
            if at >= 0:
                self.cursor = at + len(texts[i])
                return i
            if not self.alive():
                raise Killed()
            if time.time() > deadline:
                raise Failure("waited in vain for %r; got %r" % (texts, self.out[-400:]))
            if select.select([self.fd], [], [], 0.02)[0]:
                self.out += self.read()

    def reach_prompt(self):
        """Start-up up to the Boot Menu; True when the auto-boot choice came first."""
        self.expect(b"Boot Menu Version:")
        offered = self.expect(CHOICE, PROMPT) == 0
        if offered:
            self.send(b"2\r")
            self.expect(PROMPT)
        return offered

    def run_peer(self, argv, hold=0.0, timeout=60):
        """lrzsz on the line after `hold` s, on a socket relayed to the pty: lrzsz
        flushes its terminal input, which on a pty loses bytes a UART delivers."""
        time.sleep(hold)
        ours, theirs = socket.socketpair()
        self.peer = subprocess.Popen(argv, cwd=self.work, stdin=theirs, stdout=theirs,
                                     stderr=subprocess.DEVNULL)
        theirs.close()
        line, deadline = self.out[self.cursor:], time.time() + timeout  # a start character
        while self.alive() and time.time() < deadline and (ours or self.peer.poll() is None):
            try:
                ours and line and ours.sendall(line)
            except OSError:
                pass  # the peer has ended; its exit status tells
            line = b""
            for ready in select.select([self.fd] + [ours] * bool(ours), [], [], 0.02)[0]:
                if ready is not ours:
                    line = self.read()
                    self.out += line
                else:
                    try:
                        data = ours.recv(4096)
                    except OSError:  # the peer ended leaving bytes unread
                        data = b""
                    if not self.send(data):
                        ours = ours.close()  # the peer closed its end
        if not self.alive():
            raise Killed()
        if self.peer.poll() != 0:
            raise Failure("%s ended with %s" % (argv[0], self.peer.poll()))

    def kill(self):
        for proc in filter(None, (self.proc, self.peer)):
            proc.kill()  # nothing happens to one that has ended
            proc.wait()
            proc.stderr and proc.stderr.close()
        if self.fd >= 0:
            os.close(self.fd)
        self.peer, self.fd = None, -1

    def restart(self):
        self.kill()
        self.start()
        return self.reach_prompt()


def run_op(op, board, arm, new, rng):
    if op == "eventlog":  # on a full log (start-up must clear it) or a partly used one
        board.kill()
        used = LOG_RECORDS if rng.random() < 0.5 else rng.randint(1, 40)
        record = struct.pack(">I32sIIII", 1, b"powercut.py".ljust(32), 7, 1, 2, 3)
        put(os.path.join(board.files, "log2.bin"),
            record * used + b"\xff" * LOG_RECORD * (LOG_RECORDS - used))
        board.start()
    for step in OPS[op]:
        if isinstance(step, tuple):
            arm(step[0])
        elif isinstance(step, list):  # a receiver waits out the 426 ms send settle at 9600
            board.run_peer(step + [new] * (step[0] == "sx"), hold=0.6 * (step[0] == "rx"))
        elif step is None:
            board.reach_prompt()
        elif step.endswith(b"\r"):
            board.send(step)
        else:
            board.expect(step)


def label(data, pool):
    """The pool name whose bytes the file holds (lrzsz pads with ^Z), or None."""
    for name, body in pool.items():
        rest = data[len(body):]
        if data[:len(body)] == body and len(rest) < 1024 and rest.count(b"\x1a") == len(rest):
            return name
    return None


def board_state(files, pool, diags, stkimage):
    with open(os.path.join(files, "boot.dim"), "rb") as f:
        blocks = f.read().decode(errors="replace").split("---IMAGE---\n")[1:]
    entries = [b.split("\n")[:3] for b in blocks]  # current state, next state, file name
    if any(len(e) < 3 or not os.path.exists(os.path.join(files, e[2])) for e in entries):
        raise Failure("the list names a missing file: %r" % entries)
    active = [e[2] for e in entries if e[0] == "active"]
    if len(active) != 1:
        raise Failure("not one active image in the list: %r" % entries)
    with open(os.path.join(files, active[0]), "rb") as f:
        data = f.read()
    if data not in VERIFIED:  # the tool takes seconds: each content is checked once
        verify = subprocess.run([stkimage, "verify", os.path.join(files, active[0])],
                                capture_output=True)
        if verify.returncode != 0:
            raise Failure("active image %s not valid: %r" % (active[0], verify.stdout[-200:]))
        VERIFIED.add(data)
    state = {"active": active[0]}
    for name in ("image1", "image2", "diag_image.stk"):
        path = os.path.join(files, name)
        data = open(path, "rb").read() if os.path.exists(path) else None
        state[name] = None if data is None else label(data, diags if "diag" in name else pool)
        if data is not None and state[name] is None:
            raise Failure("%s holds neither an old nor a new image" % name)
    return state


def outcome(op, before, after, new):
    """Checks the state after a cut against the one before; names the result."""
    target = {"store": before["active"], "diag": "diag_image.stk"}.get(op)
    for name in ("image1", "image2", "diag_image.stk"):
        if name != target and after[name] != before[name]:
            raise Failure("%s changed from %s to %s" % (name, before[name], after[name]))
    if op == "activate":
        return "old kept" if after["active"] == before["active"] else "backup activated"
    if after["active"] != before["active"]:
        raise Failure("active image changed from %s to %s" % (before["active"], after["active"]))
    if op == "eventlog":
        return "images kept"
    if after[target] not in (before[target], new):
        raise Failure("%s lost: was %s, now %s" % (target, before[target], after[target]))
    return "old kept" if after[target] == before[target] else "new stored"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--trials", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--build", help="folder with stkboot and stkimage (build-test or build)")
    args = ap.parse_args()
    build = os.path.abspath(args.build or next(
        os.path.join(ROOT, d) for d in ("build-test", "build")
        if os.path.exists(os.path.join(ROOT, d, "stkboot"))))
    stkimage, work = os.path.join(build, "stkimage"), tempfile.mkdtemp(prefix="powercut-")
    rng = random.Random(args.seed)
    pool, diags = {}, {}  # name -> bytes: images for option 4, files for option 13
    for i, size in enumerate((3000, 5000, 7000)):  # made side by side: the tool pauses
        diags["diag%d" % i] = rng.randbytes(size // 2 + 500)
        put(os.path.join(work, "diag%d" % i), diags["diag%d" % i])
        put(os.path.join(work, "fw%d" % i), rng.randbytes(size))
        pool["img" + "ABC"[i]] = subprocess.Popen(
            [stkimage, "create", "fw%d" % i, "-o", "img" + "ABC"[i], "--compression", "zlib",
             "--version", "1.0.0.%d" % (i + 1)], cwd=work, stdout=subprocess.DEVNULL)
    for name, maker in pool.items():
        if maker.wait() != 0:
            raise SystemExit("stkimage create failed")
        pool[name] = open(os.path.join(work, name), "rb").read()
    board = Board(os.path.join(build, "stkboot"), os.path.join(work, "board"), work)
    atexit.register(board.kill)  # none is left running, whatever ends the script
    board.restart()  # the first start formats the flash disk
    board.kill()
    for name, data in (("image1", pool["imgA"]), ("image2", pool["imgB"]),
                       ("diag_image.stk", diags["diag0"])):
        put(os.path.join(board.files, name), data)
    board.restart()
    state = board_state(board.files, pool, diags, stkimage)

    counts, failure, started = collections.Counter(), None, time.time()
    for number in range(args.trials):
        op = rng.choice(list(PHASES))
        phase, _, span = rng.choices(PHASES[op], [p[1] for p in PHASES[op]])[0]
        # Half the cuts spread evenly over the phase, half log-evenly from 0.1 ms,
        # so that the few milliseconds of a rename get their share.
        even, where = rng.random() < 0.5, rng.random()
        cut = where * span * 1.2 if even else 1e-4 * (span * 1.2 / 1e-4) ** where
        held = state[state["active"]] if op == "store" else state["diag_image.stk"]
        new = rng.choice([n for n in (pool if op == "store" else diags) if n != held])
        timers, killed, mark = [], False, len(board.out)

        def arm(name):  # the chosen phase begins: the cut comes `cut` s later
            if name == phase:
                timers.append(threading.Timer(cut, board.proc.send_signal, [signal.SIGKILL]))
                timers[0].start()
        try:
            try:
                run_op(op, board, arm, new, rng)
                text = board.out[0 if op == "eventlog" else mark:]
                if b"rror" in text or b"failed" in text:
                    raise Failure("uncut %s failed: %r" % (op, text[-300:]))
            except Killed:
                killed = True
            [timer.cancel() for timer in timers]
            if not board.restart():
                raise Failure("the restart found no valid active image")
            after = board_state(board.files, pool, diags, stkimage)
            counts[(op, outcome(op, state, after, new),
                    "cut in " + phase if killed else "finished before the cut")] += 1
            state = after
        except Failure as fault:  # the board is left as it was found
            [timer.cancel() for timer in timers]
            failure = "FAIL: trial %d (seed %d): %s, cut in %s after %.4f s: %s" % (
                number, args.seed, op, phase, cut, fault)
            break
    board.kill()
    print("powercut: seed %d, %d trials in %.0f s, %d failed"
          % (args.seed, sum(counts.values()) + bool(failure), time.time() - started,
             bool(failure)))
    for (op, result, where), n in sorted(counts.items()):
        print("  %-9s %-17s %-28s %4d" % (op, result, where, n))
    print(failure and failure + "\nboard folder kept: " + work or "no failure")
    if not failure:
        subprocess.run(["rm", "-rf", work])
    return 1 if failure else 0


if __name__ == "__main__":
    sys.exit(main())
