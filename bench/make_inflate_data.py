#!/usr/bin/python3
"""Writes the inflate benchmark's input: rows of a photograph-like RGB image (smooth
gradients with sensor noise), each row filtered with PNG's Sub filter and prefixed by its
filter byte as in PNG image data, compressed by zlib itself at its default level.

Usage: make_inflate_data.py OUTPUT_FOLDER"""
import os
import random
import sys
import zlib

WIDTH, HEIGHT = 1024, 880


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    rnd = random.Random(1234)
    noise = bytes(rnd.randrange(0, 4) for _ in range(1 << 16))
    rows = bytearray()
    n = 0
    for y in range(HEIGHT):
        row = bytearray(1 + WIDTH * 3)
        for x in range(WIDTH):
            base = 1 + x * 3
            row[base] = (x // 5 + y // 7 + noise[n & 0xFFFF]) & 0xFF
            row[base + 1] = (128 + (x - y) // 9 + noise[(n + 1) & 0xFFFF]) & 0xFF
            row[base + 2] = (200 - y // 6 + noise[(n + 2) & 0xFFFF]) & 0xFF
            n += 3 + (x & 1)
        for i in range(len(row) - 1, 3, -1):
            row[i] = (row[i] - row[i - 3]) & 0xFF
        row[0] = 1
        rows += row
    packed = zlib.compress(bytes(rows), 6)
    with open(os.path.join(folder, "rows.zlib"), "wb") as f:
        f.write(packed)
    with open(os.path.join(folder, "rows.size"), "w") as f:
        f.write("%d %d\n" % (len(rows), 1 + WIDTH * 3))


if __name__ == "__main__":
    main()
