#!/usr/bin/env python3
"""Power cuts end to end: stkboot on a pty console is killed (SIGKILL) at
seeded random instants while it stores an image received from sx (option 4),
activates the backup image (option 11), rewrites and sends its event log
(start-up, option 3) and receives a diagnostics image (option 13). After each
cut it starts again on the same board folder, and the start must reach the
auto-boot prompt with the old or the new image active and valid, every image
and the diagnostics image still there (old or new content), and every file
the image list names present.

    scripts/powercut.py [--trials N] [--seed S] [--build DIR] [--keep]
"""
import argparse, collections, os, random, select, signal, socket, struct, subprocess
import sys, tempfile, threading, time, tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROMPT, CHOICE = b"[Boot Menu] ", b"Select (1, 2):"
LOG_RECORDS, LOG_RECORD = 16384 // 52, 52
# Where a cut may land, per operation: (phase, weight). The store phases are
# short but they are where an image can be lost, so they weigh most.
PHASES = {
    "store": [("transfer", 2), ("settle", 1), ("check+store", 5)],
    "activate": [("activate", 1)],
    "eventlog": [("start-up", 3), ("convert", 2), ("transfer", 1), ("tail", 1)],
    "diag": [("transfer", 2), ("settle", 1), ("store", 5)],
}


class Killed(Exception):
    pass


class Failure(Exception):
    pass


class Board:
    """One stkboot process on the board folder, its pty held like a terminal."""

    def __init__(self, exe, folder, work):
        self.exe, self.folder, self.work = exe, folder, work
        self.proc, self.fd, self.peer = None, -1, None

    def start(self):
        self.err = open(os.path.join(self.work, "stderr.txt"), "wb+")
        self.proc = subprocess.Popen([self.exe, "--board", self.folder, "--console", "pty"],
                                     stdin=subprocess.DEVNULL, stdout=self.err,
                                     stderr=self.err, start_new_session=True)
        mark, deadline = b"stkboot: console on ", time.time() + 10
        while True:  # the program waits only 2 s at the prompt: open the pty at once
            self.err.seek(0)
            text = self.err.read()
            if mark in text and b"\n" in text.split(mark, 1)[1]:
                break
            if time.time() > deadline or self.proc.poll() is not None:
                raise Failure("no pty announced: %r" % text[-300:])
            time.sleep(0.002)
        self.pty = text.split(mark, 1)[1].split(b"\n", 1)[0].decode()
        self.fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.out, self.cursor = b"", 0

    def expect(self, *texts, timeout=20):
        deadline = time.time() + timeout
        while True:
            hits = [(self.out.find(t, self.cursor), i) for i, t in enumerate(texts)]
            hits = [h for h in hits if h[0] >= 0]
            if hits:
                at, i = min(hits)
                self.cursor = at + len(texts[i])
                return i
            if not self.alive():
                raise Killed()
            if time.time() > deadline:
                raise Failure("waited in vain for %r; got %r" % (texts, self.out[-400:]))
            if select.select([self.fd], [], [], 0.02)[0]:
                try:
                    self.out += os.read(self.fd, 4096)
                except OSError:  # the program's end of the line has gone
                    time.sleep(0.01)

    def send(self, text):
        while text:
            try:
                text = text[os.write(self.fd, text):]
            except BlockingIOError:
                time.sleep(0.001)
            except OSError:
                raise Killed()

    def run_peer(self, argv, hold=0.0, timeout=60):
        """An lrzsz program joined to the console line, started after `hold` s
        (the sender's settle time, as an operator would wait). It sits on a
        socket relayed to the pty: lrzsz flushes its terminal input after
        each start character and acknowledgement, which on a pty loses bytes
        a serial line would have delivered."""
        time.sleep(hold)
        ours, theirs = socket.socketpair()
        self.peer = subprocess.Popen(argv, cwd=self.work, stdin=theirs, stdout=theirs,
                                     stderr=subprocess.DEVNULL)
        theirs.close()
        deadline, peer_open = time.time() + timeout, True
        while self.alive() and time.time() < deadline:
            if not peer_open and self.peer.poll() is not None:
                break
            for ready in select.select([self.fd] + [ours] * peer_open, [], [], 0.02)[0]:
                try:
                    data = os.read(self.fd, 4096) if ready == self.fd else ours.recv(4096)
                except OSError:  # the line has gone with the program: alive() tells
                    continue
                if ready == self.fd:
                    self.out += data
                    try:
                        ours.sendall(data)
                    except OSError:
                        pass  # the peer has ended; its exit status tells
                elif data:
                    self.send(data)
                else:
                    peer_open = False
        ours.close()
        if not self.alive():
            raise Killed()
        if self.peer.poll() != 0:
            raise Failure("%s ended with %s" % (argv[0], self.peer.poll()))

    def alive(self):
        """False once the program has ended; a fault unless it was the cut."""
        if self.proc.poll() is None:
            return True
        if self.proc.returncode != -signal.SIGKILL:
            raise Failure("stkboot ended with %d: %r" % (self.proc.returncode, self.out[-300:]))
        return False

    def reach_prompt(self):
        """Start-up up to the Boot Menu; True when the auto-boot choice came first."""
        self.expect(b"Boot Menu Version:")
        offered = self.expect(CHOICE, PROMPT) == 0
        if offered:
            self.send(b"2\r")
            self.expect(PROMPT)
        return offered

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        if self.proc:
            self.proc.wait()
        if self.peer and self.peer.poll() is None:
            self.peer.kill()
            self.peer.wait()
        self.peer = None
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class Trial:
    """Arms the cut when the chosen phase begins; times the phases."""

    def __init__(self, board, phase, fraction, spans):
        self.board, self.phase, self.fraction, self.spans = board, phase, fraction, spans
        self.timer, self.current, self.since, self.cut = None, None, 0, None

    def arm(self, phase):
        now = time.time()
        if self.current:
            self.spans[self.current] = max(self.spans.get(self.current, 0), now - self.since)
        self.current, self.since = phase, now
        if phase == self.phase:
            self.cut = self.fraction * self.spans.get(phase, 1.0) * 1.2
            self.timer = threading.Timer(self.cut, self.board.kill_now)
            self.timer.start()

    def finish(self):
        self.arm(None)
        if self.timer:
            self.timer.cancel()


def sha_label(data, pool):
    """The pool name whose bytes the file holds (lrzsz pads with ^Z), or None."""
    for name, body in pool.items():
        rest = data[len(body):]
        if data[:len(body)] == body and len(rest) < 1024 and rest.count(b"\x1a") == len(rest):
            return name
    return None


def read_list(files):
    with open(os.path.join(files, "boot.dim"), "rb") as f:
        blocks = f.read().decode(errors="replace").split("---IMAGE---\n")[1:]
    return [b.split("\n")[:3] for b in blocks]  # current state, next state, file name


def board_state(files, pool, diags, stkimage):
    entries = read_list(files)
    for entry in entries:
        if len(entry) < 3 or not os.path.exists(os.path.join(files, entry[2])):
            raise Failure("the list names a missing file: %r" % entries)
    active = [e[2] for e in entries if e[0] == "active"]
    if len(active) != 1:
        raise Failure("not one active image in the list: %r" % entries)
    verify = subprocess.run([stkimage, "verify", os.path.join(files, active[0])],
                            capture_output=True)
    if verify.returncode != 0:
        raise Failure("active image %s not valid: %s" % (active[0], verify.stdout[-200:]))
    state = {"active": active[0]}
    for name in ("image1", "image2", "diag_image.stk"):
        path = os.path.join(files, name)
        data = open(path, "rb").read() if os.path.exists(path) else None
        state[name] = None if data is None else sha_label(data, diags if "diag" in name else pool)
        if data is not None and state[name] is None:
            raise Failure("%s holds neither an old nor a new image" % name)
    return state


def plant_log(files, rng):
    """A full log (start-up must clear it) or a partly used one (kept)."""
    used = LOG_RECORDS if rng.random() < 0.5 else rng.randint(1, 40)
    record = struct.pack(">I", 1) + b"powercut.py".ljust(32) + struct.pack(">IIII", 7, 1, 2, 3)
    with open(os.path.join(files, "log2.bin"), "wb") as f:
        f.write(record * used + b"\xff" * LOG_RECORD * (LOG_RECORDS - used))


def run_op(op, board, trial, new, rng):
    if op == "eventlog":
        board.kill()
        plant_log(board.files, rng)
        board.start()
        trial.arm("start-up")
        board.reach_prompt()
        board.send(b"3\r")
        trial.arm("convert")
        board.expect(b"transfer starts.")
        trial.arm("transfer")
        board.run_peer(["rx", "-c", "event.log"], hold=0.6)  # 426 ms settle at 9600
        trial.arm("tail")
        board.expect(b"Event log transmitted.")
        board.expect(PROMPT)
    elif op == "activate":
        board.send(b"11\r")
        trial.arm("activate")
        board.expect(b"activated.")
        board.expect(PROMPT)
    else:
        board.send(b"4\r" if op == "store" else b"13\r")
        board.expect(b"transfer starts.")
        trial.arm("transfer")
        board.run_peer(["sx", "-k", new])
        trial.arm("settle")
        board.expect(b"XMODEM transfer complete")
        trial.arm("check+store" if op == "store" else "store")
        board.expect(PROMPT)


def outcome(op, before, after, new):
    """Checks the image kept or stored against the state before; its name."""
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
    if after[target] == before[target]:
        return "old kept"
    if after[target] == new:
        return "new stored"
    raise Failure("%s lost: was %s, now %s" % (target, before[target], after[target]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--trials", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--build", default=None, help="folder with stkboot and stkimage")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    build = args.build or next(os.path.join(ROOT, d) for d in ("build-test", "build")
                               if os.path.exists(os.path.join(ROOT, d, "stkboot")))
    stkboot, stkimage = os.path.join(build, "stkboot"), os.path.join(build, "stkimage")
    work = tempfile.mkdtemp(prefix="powercut-")
    folder = os.path.join(work, "board")
    rng = random.Random(args.seed)

    pool, diags = {}, {}  # name -> bytes: images for option 4, files for option 13
    for i, size in enumerate((3000, 5000, 7000)):
        fw = os.path.join(work, "fw%d.bin" % i)
        with open(fw, "wb") as f:
            f.write(rng.randbytes(size))
        out = os.path.join(work, "img%c" % "ABC"[i])
        subprocess.run([stkimage, "create", fw, "-o", out, "--compression", "zlib",
                        "--version", "1.0.0.%d" % (i + 1)], check=True, capture_output=True)
        pool[os.path.basename(out)] = open(out, "rb").read()
    for i, size in enumerate((2000, 3000, 4000)):
        diags["diag%d" % i] = rng.randbytes(size)
        with open(os.path.join(work, "diag%d" % i), "wb") as f:
            f.write(diags["diag%d" % i])

    board = Board(stkboot, folder, work)
    board.files = os.path.join(folder, "DskVol", "files")
    board.kill_now = lambda: board.proc.send_signal(signal.SIGKILL)
    board.start()  # the first start formats the flash disk
    board.reach_prompt()
    board.kill()
    for name, src in (("image1", "imgA"), ("image2", "imgB"), ("diag_image.stk", "diag0")):
        with open(os.path.join(board.files, name), "wb") as f:
            f.write((pool if src.startswith("img") else diags)[src])
    board.start()
    board.reach_prompt()
    state = board_state(board.files, pool, diags, stkimage)

    counts, failures, spans = collections.Counter(), [], {}
    ops = list(PHASES)
    started = time.time()
    for number in range(-len(ops), args.trials):
        op = ops[number] if number < 0 else rng.choice(ops)  # first: each once, uncut
        phase = rng.choices(*zip(*PHASES[op]))[0] if number >= 0 else None
        fraction = rng.random()
        candidates = pool if op == "store" else diags
        held = state[state["active"]] if op == "store" else state["diag_image.stk"]
        new = rng.choice([n for n in candidates if n != held])
        trial = Trial(board, phase, fraction, spans.setdefault(op, {}))
        killed = False
        try:
            mark = len(board.out)
            try:
                run_op(op, board, trial, new, rng)
                text = board.out[0 if op == "eventlog" else mark:]
                if b"rror" in text or b"failed" in text:
                    raise Failure("uncut %s failed: %r" % (op, text[-300:]))
            except Killed:
                killed = True
            trial.finish()
            board.kill()
            board.start()
            if not board.reach_prompt():
                raise Failure("restart reached the menu without a valid active image")
            after = board_state(board.files, pool, diags, stkimage)
            result = outcome(op, state, after, new)
            state = after
        except Failure as fault:
            trial.finish()
            failures.append((number, op, phase, trial.cut, str(fault)))
            print("FAIL trial %d (seed %d) %s, cut in %s after %.3f s: %s"
                  % (number, args.seed, op, phase, trial.cut or 0, fault), flush=True)
            board.kill()
            if len(failures) >= 5:
                break
            board.start()  # go on from whatever the board holds now
            board.reach_prompt()
            state = board_state(board.files, pool, diags, stkimage)
            continue
        if number >= 0:
            where = ("cut in " + phase) if killed else "finished before the cut"
            counts[(op, result, where)] += 1
    board.kill()

    done = sum(counts.values())
    print("powercut: seed %d, %d trials run in %.0f s, %d failures"
          % (args.seed, done + len(failures), time.time() - started, len(failures)))
    for (op, result, where), n in sorted(counts.items()):
        print("  %-9s %-17s %-32s %4d" % (op, result, where, n))
    for op, phases in sorted(spans.items()):
        print("  %-9s longest phases: %s" % (op, ", ".join(
            "%s %.3f s" % (name, span) for name, span in phases.items())))
    if args.keep:
        print("work folder:", work)
    else:
        subprocess.run(["rm", "-rf", work])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
