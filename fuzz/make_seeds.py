#!/usr/bin/env python3
"""Builds the seed corpus of every fuzz target from the files of tests/data.

The table (written by fuzz/CMakeLists.txt from each chronolith_add_fuzzer's SEEDS) has one
line per target: its name, then seed sources. A source is a glob under tests/data, copied as it
is (what a reader's target wants), or RECIPE:glob, where the recipe turns each file into the
target's own input (a decoder target's header bytes and the compressed data it decodes):

    prefix-HEX     the file after the bytes HEX (e.g. prefix-03: a selector byte of 3)
    lzw-tiff       fuzz_lzw: the first strip of an LZW TIFF file
    lzw-gif        fuzz_lzw: the LZW data of a GIF file's first image
    rle-tiff       fuzz_run_length: the first strip of a PackBits TIFF file
    rle-targa      fuzz_run_length: the pixel packets of a run-length Targa file
    fax-tiff       fuzz_fax: the first strip of a fax TIFF file
    deflate-png    fuzz_deflate: the zlib stream of a PNG file's IDAT chunks
    jpeg-tiff      fuzz_tiff_jpeg: the tables and first strip of a JPEG TIFF file
    thunder-pnm    fuzz_thunder_pcd: a PGM/PPM file's rows as ThunderScan 4-bit data
    pcd-pnm        fuzz_thunder_pcd: a PGM/PPM file's row differences as Photo-CD residuals

Every source must match a file and every file must make a seed, so that a renamed fixture or a
mistyped glob fails the build instead of leaving a target without a corpus.

Usage: make_seeds.py --data tests/data --table seeds.txt --out DIR
"""

import argparse
import glob
import gzip
import os
import shutil
import struct
import sys
import zlib


class SeedError(Exception):
    pass


# --- Containers ---


def tiff_first_image(data):
    """Tags (number -> list of values) and strips of the first image of a little-endian TIFF."""
    if data[:4] != b"II*\0":
        raise SeedError("not a little-endian TIFF file")
    (ifd,) = struct.unpack_from("<I", data, 4)
    (count,) = struct.unpack_from("<H", data, ifd)
    sizes = {1: 1, 2: 1, 3: 2, 4: 4, 7: 1}
    codes = {1: "B", 2: "B", 3: "H", 4: "I", 7: "B"}
    tags = {}
    for i in range(count):
        tag, kind, n, value = struct.unpack_from("<HHII", data, ifd + 2 + 12 * i)
        if kind not in sizes:
            continue
        at = ifd + 2 + 12 * i + 8 if sizes[kind] * n <= 4 else value
        tags[tag] = list(struct.unpack_from("<%d%s" % (n, codes[kind]), data, at))
    strips = [data[o : o + c] for o, c in zip(tags[273], tags[279])]
    return tags, strips


def tiff_tag(tags, tag, default=0):
    return tags.get(tag, [default])[0]


def gif_first_image(data):
    """Width, height, minimum code size and the joined data sub-blocks of a GIF's first image."""
    if data[:3] != b"GIF":
        raise SeedError("not a GIF file")
    pos = 13
    if data[10] & 0x80:
        pos += 3 << ((data[10] & 7) + 1)
    while data[pos] == 0x21:  # extensions
        pos += 2
        while data[pos]:
            pos += 1 + data[pos]
        pos += 1
    if data[pos] != 0x2C:
        raise SeedError("no image in the GIF file")
    width, height = struct.unpack_from("<HH", data, pos + 5)
    flags = data[pos + 9]
    pos += 10
    if flags & 0x80:
        pos += 3 << ((flags & 7) + 1)
    minimum = data[pos]
    pos += 1
    blocks = bytearray()
    while data[pos]:
        blocks += data[pos + 1 : pos + 1 + data[pos]]
        pos += 1 + data[pos]
    return width, height, minimum, bytes(blocks)


def png_idat(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SeedError("not a PNG file")
    pos, stream = 8, bytearray()
    while pos + 8 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        if kind == b"IDAT":
            stream += data[pos + 8 : pos + 8 + length]
        pos += 12 + length
    if not stream:
        raise SeedError("no IDAT chunk in the PNG file")
    return bytes(stream)


def pnm_grey(data):
    """Width, height and 8-bit grey rows of a binary PGM or PPM file (PPM: the green channel)."""
    fields, pos = [], 2
    if data[:2] not in (b"P5", b"P6"):
        raise SeedError("not a binary PGM or PPM file")
    while len(fields) < 3:
        while data[pos : pos + 1].isspace():
            pos += 1
        start = pos
        while data[pos : pos + 1].isdigit():
            pos += 1
        fields.append(int(data[start:pos]))
    width, height, maximum = fields
    if maximum > 255:
        raise SeedError("16-bit PNM files are not used")
    pixels = data[pos + 1 :]
    if data[:2] == b"P5":
        return width, height, [pixels[y * width : (y + 1) * width] for y in range(height)]
    return width, height, [pixels[y * width * 3 + 1 : (y + 1) * width * 3 : 3] for y in range(height)]


# --- Recipes: file bytes -> one seed ---


def be24(n):
    return bytes([(n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF])


def tiff_strip_bytes(tags):
    """Decoded bytes of the first strip."""
    width, height = tiff_tag(tags, 256), tiff_tag(tags, 257)
    rows = min(tiff_tag(tags, 278, height), height)
    bits = tiff_tag(tags, 258, 1) * tiff_tag(tags, 277, 1)
    return rows * ((width * bits + 7) // 8)


def lzw_tiff(data):
    tags, strips = tiff_first_image(data)
    if tiff_tag(tags, 259) != 5:
        raise SeedError("not LZW-compressed")
    # Byte 0 bit 7 clear: the TIFF decoder; bytes 1-3: the output size.
    return bytes([0]) + be24(tiff_strip_bytes(tags) % 300000) + strips[0]


def lzw_gif(data):
    width, height, minimum, blocks = gif_first_image(data)
    return bytes([0x80 | minimum]) + be24(width * height % 300000) + blocks


def rle_tiff(data):
    tags, strips = tiff_first_image(data)
    if tiff_tag(tags, 259) != 32773:
        raise SeedError("not PackBits-compressed")
    # Selector 1: PackBits; bytes 1-2: the output size.
    return bytes([1]) + struct.pack(">H", tiff_strip_bytes(tags) & 0xFFFF) + strips[0]


def rle_targa(data):
    id_length, map_type, kind = data[0], data[1], data[2]
    if kind not in (9, 10, 11):
        raise SeedError("not a run-length Targa file")
    map_length, map_bits = struct.unpack_from("<H", data, 5)[0], data[7]
    width, height, depth = struct.unpack_from("<HH", data, 12) + (data[16],)
    depths = {8: 0, 15: 1, 16: 2, 24: 3, 32: 4}
    if depth not in depths:
        raise SeedError("unexpected Targa depth %d" % depth)
    start = 18 + id_length + (map_length * ((map_bits + 7) // 8) if map_type else 0)
    # Selector 0: Targa, its depth in bits 3-5; bytes 1-2: the pixel count.
    count = min(width * height, 0xFFFF)
    return bytes([depths[depth] << 3]) + struct.pack(">H", count) + data[start:]


def fax_tiff(data):
    tags, strips = tiff_first_image(data)
    compression = tiff_tag(tags, 259)
    reverse = 4 if tiff_tag(tags, 266, 1) == 2 else 0
    options = tiff_tag(tags, 292) if compression == 3 else 0
    if compression == 3 and options & 1:  # two-dimensional Group 3, T4 options in bits 4-7
        kind = 3 | reverse | (options << 4)
    elif compression == 3:  # Group 3 with its T4 options in bits 3-7
        kind = (options << 3) | reverse
    elif compression == 4:  # Group 4
        kind = 3 | reverse | 8
    elif compression in (2, 32771):  # Modified Huffman, word-aligned for 32771
        kind = (1 if compression == 2 else 2) | reverse
    else:
        raise SeedError("not fax-compressed")
    width = tiff_tag(tags, 256)
    return bytes([kind]) + struct.pack("<HH", width, tiff_strip_bytes(tags) % 20000) + strips[0]


def deflate_png(data):
    # Partial flush, one stream, 256-byte pieces into 4081-byte outputs.
    return bytes([1, 0, 255, 255]) + png_idat(data)


def jpeg_tiff(data):
    tags, strips = tiff_first_image(data)
    if tiff_tag(tags, 259) != 7:
        raise SeedError("not JPEG-compressed")
    width, height = tiff_tag(tags, 256), tiff_tag(tags, 257)
    samples, bits = tiff_tag(tags, 277, 1), tiff_tag(tags, 258, 8)
    if width > 128 or height > 128 or samples > 4:
        raise SeedError("larger than the harness's images")
    flags = (samples - 1) | (4 if bits == 12 else 0) | ((tiff_tag(tags, 284) & 3) << 3)
    subsampling = 0
    if tiff_tag(tags, 262) == 6:
        flags |= 0x20 | 0x40
        h, v = tags.get(530, [2, 2])
        subsampling = (h - 1) | ((v - 1) << 2)
    tables = bytes(tags.get(347, []))
    tables += bytes(-len(tables) % 4)  # whole words; the bytes after its end marker are unread
    if len(tables) > 255 * 4:
        raise SeedError("tables longer than the harness takes")
    rows = min(tiff_tag(tags, 278, height), 128)
    header = bytes([width - 1, height - 1, flags, subsampling, rows - 1, 0, len(tables) // 4, 0])
    return header + tables + strips[0]


def thunder_row(row):
    """One row of 4-bit samples as ThunderScan codes: runs of the last value, 3-bit delta pairs
    and raw values."""
    delta3 = {0: 0, 1: 1, 2: 2, 3: 3, -3: 5, -2: 6, -1: 7}
    out, last, x = bytearray(), 0, 0
    while x < len(row):
        run = 0
        while x + run < len(row) and row[x + run] == last and run < 63:
            run += 1
        if run:
            out.append(run)
            x += run
            continue
        d1 = row[x] - last
        d2 = row[x + 1] - row[x] if x + 1 < len(row) else None
        if d1 in delta3 and d2 in delta3:
            out.append(0x80 | (delta3[d1] << 3) | delta3[d2])
            last, x = row[x + 1], x + 2
        else:
            out.append(0xC0 | row[x])
            last, x = row[x], x + 1
    return out


def thunder_pnm(data):
    width, _, rows = pnm_grey(data)
    width = min(width, 4087)
    row_bytes = (width + 1) // 2
    count = min(len(rows), 255 * 8 // row_bytes)
    if count == 0:
        raise SeedError("rows too wide for the harness's output")
    codes = bytearray()
    for row in rows[:count]:
        codes += thunder_row([v >> 4 for v in row[:width]])
    # Byte 0 odd: ThunderScan; bytes 1-2: the width + 8; byte 3: the output size / 8.
    size = width + 8
    return bytes([1, size & 0xFF, size >> 8, (count * row_bytes + 7) // 8]) + codes


class BitWriter:
    def __init__(self):
        self.bits = []

    def put(self, value, count):
        self.bits += [(value >> (count - 1 - i)) & 1 for i in range(count)]

    def bytes(self):
        padded = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(int("".join(map(str, padded[i : i + 8])), 2) for i in range(0, len(padded), 8))


def pcd_pnm(data):
    width, height, rows = pnm_grey(data)
    stride = min(width, 1536)  # one table up to 1536 bytes a row
    count = min(height, 63)
    # The table: residuals -7..7 as 4-bit codes 0..14 (15 unused, so no code run looks like a
    # row header).
    table = bytes([14]) + b"".join(bytes([3, i << 4, 0, (i - 7) & 0xFF]) for i in range(15))
    bits = BitWriter()
    for y in range(count):
        bits.put(0xFFFFFE, 24)  # 23 ones and a zero
        bits.put(0, 2)  # luma
        bits.put(y, 13)
        bits.put(0, 1)
        previous = rows[y - 1] if y else bytes(width)
        for x in range(stride):
            bits.put(max(-7, min(7, rows[y][x] - previous[x])) + 7, 4)
    bits.put(0xFFFFFE, 24)  # the row after the last ends the plane
    bits.put(0, 2)
    bits.put(count, 13)
    bits.put(0, 17)
    stream = table + bits.bytes()
    stream += bytes(-len(stream) % 2048)  # read in whole 2048-byte blocks
    # Byte 0 even: Photo-CD; bytes 1-2: the stride - 1; byte 3: the rows.
    return bytes([0, (stride - 1) & 0xFF, (stride - 1) >> 8, count]) + stream


RECIPES = {
    "lzw-tiff": lzw_tiff,
    "lzw-gif": lzw_gif,
    "rle-tiff": rle_tiff,
    "rle-targa": rle_targa,
    "fax-tiff": fax_tiff,
    "deflate-png": deflate_png,
    "jpeg-tiff": jpeg_tiff,
    "thunder-pnm": thunder_pnm,
    "pcd-pnm": pcd_pnm,
    # Fixtures kept compressed (a Photo-CD pack takes 768 kB).
    "gunzip": gzip.decompress,
}


def recipe_of(name):
    if name is None:
        return lambda data: data
    if name.startswith("prefix-"):
        prefix = bytes.fromhex(name[len("prefix-") :])
        return lambda data: prefix + data
    if name not in RECIPES:
        raise SeedError("unknown recipe %s" % name)
    return RECIPES[name]


def build(data_dir, target, sources, out_dir):
    target_dir = os.path.join(out_dir, target)
    os.makedirs(target_dir)
    for source in sources:
        recipe, pattern = source.split(":", 1) if ":" in source else (None, source)
        make = recipe_of(recipe)
        files = sorted(glob.glob(os.path.join(data_dir, pattern)))
        if not files:
            raise SeedError("%s: %s matches no file of %s" % (target, pattern, data_dir))
        for path in files:
            name = os.path.relpath(path, data_dir).replace(os.sep, "_")
            try:
                with open(path, "rb") as f:
                    seed = make(f.read())
            except (SeedError, IndexError, KeyError, struct.error) as e:
                raise SeedError("%s: %s: %s" % (path, recipe, str(e) or type(e).__name__))
            with open(os.path.join(target_dir, (recipe + "_" if recipe else "") + name), "wb") as f:
                f.write(seed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)
    try:
        with open(args.table) as table:
            for line in table:
                fields = line.split()
                if fields:
                    build(args.data, fields[0], fields[1:], args.out)
    except SeedError as e:
        sys.exit("make_seeds.py: %s" % e)


if __name__ == "__main__":
    main()
