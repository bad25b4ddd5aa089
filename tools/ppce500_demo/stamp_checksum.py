#!/usr/bin/env python3
"""Writes the demo's checksum into the last word of its binary: the sum of the
big-endian words before it, rotated left by one after each word."""
import struct
import sys

path = sys.argv[1]
data = bytearray(open(path, "rb").read())
if len(data) < 4 or len(data) % 4:
    sys.exit(f"{path}: {len(data)} bytes, not whole words")
total = 0
for (word,) in struct.iter_unpack(">I", data[:-4]):
    total = (((total << 1) | (total >> 31)) + word) & 0xFFFFFFFF
data[-4:] = struct.pack(">I", total)
open(path, "wb").write(data)
