#!/usr/bin/env python3
"""Checks that the folders of the boot program depend downward only.

A file may include headers of its own folder, of folders of a lower rank, and
of folders of its own rank as long as the folders of one rank form no circle.
The platform interface (platform/) is the bottom; a target's implementation
of it (platform/host, platform/ppce500) is included only by the programs of
that target, the host-only device models (sim/) and nothing else; the models
are included only by the host program. Exits non-zero, naming each offending
include, when the order is broken.
"""
import os
import re
import sys

RANKS = {
    "platform": 0,
    "platform/host": 1, "platform/ppce500": 1,
    "fs": 2,
    "board": 3,
    "osapi": 4, "xmodem": 4,
    "eventlog": 5, "image": 5,
    "bootflash": 6,
    "bspapi": 7,
    "launch": 8, "load": 8,
    "boot": 9,
    "program/host": 10, "program/ppce500": 10,
    "sim": 2,
}
# Who may include a folder other than by rank.
ONLY = {
    "platform/host": {"platform/host", "program/host", "sim"},
    "platform/ppce500": {"platform/ppce500", "program/ppce500"},
    "program/host": {"program/host"},
    "program/ppce500": {"program/ppce500"},
    "sim": {"sim", "program/host"},
}
# The host-only models may include the host's platform and the interface only.
SIM_MAY = {"platform", "platform/host", "sim"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_/]+)/[^/"]+"')


def folder_of(path, root):
    rel = os.path.relpath(os.path.dirname(path), root)
    # The C library corrections of the bare-metal build belong to its platform.
    rel = rel.split("/libc_compat")[0]
    return rel[len("src/"):] if rel.startswith("src/") else rel


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    problems, edges = [], set()
    for top in ("src", "sim"):
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h", ".c", ".S")):
                    continue
                path = os.path.join(dirpath, name)
                own = folder_of(path, root)
                if own not in RANKS:
                    problems.append(f"{path}: folder {own} has no place in the order")
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m or m.group(1) == own:
                            continue
                        other = m.group(1)
                        where = f"{path}:{number}"
                        if other not in RANKS:
                            problems.append(f"{where}: includes unknown folder {other}")
                        elif other in ONLY and own not in ONLY[other]:
                            problems.append(f"{where}: {own} may not include {other}")
                        elif own == "sim" and other not in SIM_MAY:
                            problems.append(f"{where}: the device models include {other}")
                        elif own == "sim" or other in ONLY:
                            continue
                        elif RANKS[other] > RANKS[own]:
                            problems.append(f"{where}: {own} includes {other}, a folder above it")
                        elif RANKS[other] == RANKS[own]:
                            edges.add((own, other))
    # Folders of one rank may use each other only without a circle.
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)

    def reaches(start, goal, seen):
        for nxt in graph.get(start, ()):
            if nxt == goal or (nxt not in seen and reaches(nxt, goal, seen | {nxt})):
                return True
        return False

    for a, b in sorted(edges):
        if reaches(b, a, {b}):
            problems.append(f"circle between folders {a} and {b}")
    for p in problems:
        print(p)
    print(f"layers: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
