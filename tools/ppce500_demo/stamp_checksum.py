#!/usr/bin/env python3
"""Writes the demo's checksum into the last word of its binary: the sum of the
big-endian words before it, rotated left by one after each word.
With --filler OUT N it writes N fixed random bytes to OUT instead (the filler
the demo carries, the same bytes on every build)."""
import random
import struct
import sys

if sys.argv[1] == "--filler":
    open(sys.argv[2], "wb").write(random.Random(26).randbytes(int(sys.argv[3])))
    sys.exit(0)
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
if len(data) < 4 or len(data) % 4:
    sys.exit(f"{path}: {len(data)} bytes, not whole words")
total = 0
for (word,) in struct.iter_unpack(">I", data[:-4]):
    total = (((total << 1) | (total >> 31)) + word) & 0xFFFFFFFF
data[-4:] = struct.pack(">I", total)
open(path, "wb").write(data)
