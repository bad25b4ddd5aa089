#!/usr/bin/env python3
"""Checks that the folders under src/ depend downward only.

A file may include headers of its own folder, of folders of a lower rank, and
of folders of its own rank as long as the folders of one rank form no circle.
Exits non-zero, naming each offending include, when the order is broken.
"""
import os
import re
import sys

RANKS = {
    "platform": 0,
    "fs": 1,
    "board": 2,
    "osapi": 3, "image": 3, "eventlog": 3, "xmodem": 3,
    "launch": 4, "load": 4, "bootflash": 4,
    "boot": 5,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/')


def folder_of(path, src):
    rel = os.path.relpath(path, src)
    return "main" if rel == "main.cpp" else rel.split(os.sep)[0]


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    src = os.path.join(root, "src")
    problems, edges = [], set()
    for dirpath, _, files in os.walk(src):
        for name in sorted(files):
            path = os.path.join(dirpath, name)
            own = folder_of(path, src)
            if own != "main" and own not in RANKS:
                problems.append(f"{path}: folder {own} has no place in the order")
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m or m.group(1) == own:
                        continue
                    other = m.group(1)
                    if other not in RANKS:
                        problems.append(f"{path}:{number}: includes unknown folder {other}")
                    elif own != "main" and RANKS[other] > RANKS[own]:
                        problems.append(f"{path}:{number}: {own} includes {other}, a folder above it")
                    elif own != "main" and RANKS[other] == RANKS[own]:
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
