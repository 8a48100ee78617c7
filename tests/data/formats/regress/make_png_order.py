#!/usr/bin/python3
"""Palette PNGs whose gAMA chunk follows PLTE (the standard wants it before; no encoder here
writes that order, so the chunks are put together by hand with zlib). Each image is 37 x 5
pixels of 1, 2 or 4 bits, the index of pixel (x, y) being (x + y) mod 2^depth; the palette
entry i is (40 i, 255 - 40 i, 7). Run from this folder: /usr/bin/python3 make_png_order.py"""
import struct
import zlib

WIDTH, HEIGHT = 37, 5


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def packed_row(indices, depth):
    bits = "".join(format(i, "0%db" % depth) for i in indices)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


def pixels(depth):
    return [[(x + y) % (1 << depth) for x in range(WIDTH)] for y in range(HEIGHT)]


ADAM7 = [(0, 0, 8, 8), (0, 4, 8, 8), (4, 0, 8, 4), (0, 2, 4, 4), (2, 0, 4, 2), (0, 1, 2, 2),
         (1, 0, 2, 1)]


def image_data(depth, interlaced):
    rows = pixels(depth)
    raw = b""
    if not interlaced:
        for row in rows:
            raw += b"\0" + packed_row(row, depth)
    else:
        for r0, c0, rs, cs in ADAM7:
            if c0 >= WIDTH:
                continue
            for y in range(r0, HEIGHT, rs):
                raw += b"\0" + packed_row(rows[y][c0::cs], depth)
    return zlib.compress(raw, 9)


for depth in (1, 2, 4):
    for interlaced in (False, True):
        palette = b"".join(bytes((40 * i % 256, (255 - 40 * i) % 256, 7)) for i in range(1 << depth))
        data = b"\x89PNG\r\n\x1a\n"
        data += chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, depth, 3, 0, 0, int(interlaced)))
        data += chunk(b"PLTE", palette)
        data += chunk(b"gAMA", struct.pack(">I", 45455))
        data += chunk(b"IDAT", image_data(depth, interlaced))
        data += chunk(b"IEND", b"")
        name = "gamma_after_palette_%dbit%s.png" % (depth, "_interlaced" if interlaced else "")
        open(name, "wb").write(data)
