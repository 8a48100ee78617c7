#!/usr/bin/python3
# Makes the PCX, SGI, Photoshop and Paintshop Pro test files of tests/data/formats (folders
# pcx, sgi, psd, psp) and the expected pixels beside each (<file>.rgba.gz, as generate.py
# writes them).
#
# PCX, SGI and PSD files come from independent encoders: Pillow, ImageMagick `convert` and
# netpbm (`ppmtopcx`, `pnmtosgi`). Their expected pixels are decoded by ImageMagick (at 16 bits
# for SGI and PSD) or Pillow, cross-checked with the other where both read the file, with the
# readers' rules applied: 16-bit samples become 8-bit by v * 255 // 65535; alpha is kept for
# 32-bit results only (PCX and PSD with four colour channels, SGI with four channels); grey
# images with a second channel show the first (PSD grey with alpha, marked by a negative layer
# count, keeps it); 1-bit PCX images are black and white; PSD RGBA
# colours are taken as stored (not as matted with white); CMYK
# becomes RGB as clamp(X * K // 255 - X - K + 255) of the ink amounts X and K.
#
# No tool writes Paintshop Pro files: the psp/ files are packed here byte by byte after the
# format's public description (major versions 3 and 5; stored, run-length and deflate
# channels; palette, grey, 1/4/8-bit and 24-bit layers with and without alpha), and their
# expected pixels are the pixels the script packed.
#
# Run from the repository root: /usr/bin/python3 tests/data/formats/generate_paint.py
import gzip
import os
import struct
import subprocess
import sys
import zlib

from PIL import Image

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, ROOT)
from generate import pillow_rgba, sample_image, write_reference  # noqa: E402

PCX = os.path.join(ROOT, "pcx")
SGI = os.path.join(ROOT, "sgi")
PSD = os.path.join(ROOT, "psd")
PSP = os.path.join(ROOT, "psp")


def magick_rgba16(path, frame=""):
    """RGBA samples at 16 bits as ImageMagick decodes the file, scaled to 8 bits."""
    raw = subprocess.run(["convert", path + frame, "-depth", "16", "-endian", "MSB", "rgba:-"],
                         check=True, capture_output=True).stdout
    values = struct.unpack(">%dH" % (len(raw) // 2), raw)
    return bytearray(v * 255 // 65535 for v in values)


def size_of(path, frame=""):
    out = subprocess.run(["identify", "-format", "%w %h\n", path + frame], check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def magick_listing_rgba(path):
    """8-bit RGBA pixels from ImageMagick's pixel listing (`txt:`)."""
    text = subprocess.run(["convert", path, "-depth", "8", "txt:-"], check=True,
                          capture_output=True, text=True).stdout
    rgba = bytearray()
    for line in text.splitlines()[1:]:
        values = line.split("(", 1)[1].split(")", 1)[0].split(",")
        rgba += bytes(int(float(v)) for v in values[:4])
    return rgba


def opaque(rgba):
    rgba[3::4] = b"\xff" * (len(rgba) // 4)
    return rgba


def cross_check(path, rgba, other):
    if rgba != other:
        diff = sum(1 for i in range(len(rgba)) if rgba[i] != other[i])
        print("note: %s: the decoders differ in %d samples" % (os.path.basename(path), diff))


def run(args, out):
    with open(out, "wb") as f:
        subprocess.run(args, check=True, stdout=f, stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------------------------------- PCX


def make_pcx():
    base = sample_image()
    src = os.path.join(PCX, "src.ppm")
    src16 = os.path.join(PCX, "src16.ppm")
    src8 = os.path.join(PCX, "src8.ppm")
    src4 = os.path.join(PCX, "src4.ppm")
    base.save(src)
    base.quantize(16).convert("RGB").save(src16)
    base.quantize(8).convert("RGB").save(src8)
    base.quantize(4).convert("RGB").save(src4)
    files = {}
    # Pillow: every mode it writes.
    for mode in ["1", "L", "P", "RGB"]:
        out = os.path.join(PCX, "pil_%s.pcx" % mode.lower())
        (base.quantize(60) if mode == "P" else base.convert(mode)).save(out)
        files[out] = "pillow"
    # ImageMagick: palette, true colour, true colour with alpha (four planes), bilevel.
    for name, args in [("im_palette.pcx", ["-type", "Palette"]), ("im_rgb.pcx", []),
                       ("im_rgba.pcx", ["-alpha", "set", "-channel", "A", "-fx", "i/40",
                                        "+channel"]),
                       ("im_palette_uncompressed.pcx", ["-type", "Palette", "-compress", "None"])]:
        out = os.path.join(PCX, name)
        subprocess.run(["convert", src, *args, out], check=True)
        files[out] = "magick"
    # netpbm: 16 colours in four bit planes, four and eight colours in two and three, packed
    # 2 and 4-bit pixels, 8-bit and 24-bit.
    for name, args, source in [("nb_planes4.pcx", [], src16), ("nb_planes3.pcx", ["-planes", "3"], src8),
                               ("nb_planes2.pcx", ["-planes", "2"], src4),
                               ("nb_packed4.pcx", ["-packed"], src16),
                               ("nb_packed2.pcx", ["-packed"], src4),
                               ("nb_8bit.pcx", ["-8bit"], src), ("nb_24bit.pcx", ["-24bit"], src)]:
        out = os.path.join(PCX, name)
        run(["ppmtopcx", *args, source], out)
        files[out] = "magick"
    for s in [src, src16, src8, src4]:
        os.remove(s)
    for path, decoder in files.items():
        alpha = os.path.basename(path) == "im_rgba.pcx"
        if decoder == "pillow":
            size, rgba = pillow_rgba(Image.open(path), False)
            cross_check(path, rgba, opaque(magick_rgba16(path)))
        else:
            size = size_of(path)
            rgba = magick_rgba16(path)
            if not alpha:
                opaque(rgba)
        write_reference(path, size[0], size[1], rgba)


# ---------------------------------------------------------------------------------------- SGI


def make_sgi():
    base = sample_image()
    files = []
    for mode in ["L", "RGB", "RGBA"]:
        out = os.path.join(SGI, "pil_%s.sgi" % mode.lower())
        im = base.convert(mode)
        if mode == "RGBA":
            im.putalpha(Image.linear_gradient("L").resize(im.size))
        im.save(out)
        files.append(out)
    src = os.path.join(SGI, "src.ppm")
    src16 = os.path.join(SGI, "src16.ppm")
    gray = os.path.join(SGI, "src.pgm")
    gray16 = os.path.join(SGI, "src16.pgm")
    base.save(src)
    subprocess.run(["convert", src, "-depth", "16", "-evaluate", "multiply", "0.9", src16], check=True)
    base.convert("L").save(gray)
    subprocess.run(["convert", gray, "-depth", "16", gray16], check=True)
    # ImageMagick writes verbatim channels.
    for name, args in [("im_rgb.sgi", []), ("im_rgb16.sgi", ["-depth", "16"]),
                       ("im_gray.sgi", ["-colorspace", "Gray"]),
                       ("im_gray16.sgi", ["-colorspace", "Gray", "-depth", "16"]),
                       ("im_rgba.sgi", ["-alpha", "set", "-channel", "A", "-fx", "j/22", "+channel"]),
                       ("im_grayalpha.sgi", ["-colorspace", "Gray", "-alpha", "set", "-channel", "A",
                                             "-fx", "j/22", "+channel"])]:
        out = os.path.join(SGI, name)
        subprocess.run(["convert", src16 if "16" in name else src, *args, out], check=True)
        files.append(out)
    # netpbm writes run-length rows (verbatim with -verbatim), 16 bits from 16-bit input.
    for name, args, source in [("nb_rgb_rle.sgi", ["-rle"], src), ("nb_gray_rle.sgi", ["-rle"], gray),
                               ("nb_rgb16_rle.sgi", ["-rle"], src16),
                               ("nb_gray16_rle.sgi", ["-rle"], gray16),
                               ("nb_rgb_verbatim.sgi", ["-verbatim"], src)]:
        out = os.path.join(SGI, name)
        run(["pnmtosgi", *args, source], out)
        files.append(out)
    for s in [src, src16, gray, gray16]:
        os.remove(s)
    for path in files:
        channels = struct.unpack(">H", open(path, "rb").read()[10:12])[0]
        rgba = magick_rgba16(path)
        if channels != 4:
            opaque(rgba)
        size = size_of(path)
        if open(path, "rb").read()[3] == 1:
            _, check = pillow_rgba(Image.open(path), channels == 4)
            cross_check(path, rgba, check)
        write_reference(path, size[0], size[1], rgba)


# ---------------------------------------------------------------------------------------- PSD


def make_psd():
    base = sample_image()
    src = os.path.join(PSD, "src.ppm")
    base.save(src)
    alpha = ["-alpha", "set", "-channel", "A", "-fx", "i/40", "+channel"]
    made = []
    for name, args in [
        ("im_rgb_raw.psd", ["-compress", "None"]),
        ("im_rgb_rle.psd", ["-compress", "RLE"]),
        ("im_rgba_rle.psd", [*alpha, "-compress", "RLE"]),
        ("im_rgb16_raw.psd", ["-depth", "16", "-compress", "None"]),
        ("im_rgb16_rle.psd", ["-depth", "16", "-compress", "RLE"]),
        ("im_gray_rle.psd", ["-colorspace", "Gray", "-compress", "RLE"]),
        ("im_gray16_raw.psd", ["-colorspace", "Gray", "-depth", "16", "-compress", "None"]),
        ("im_grayalpha_rle.psd", ["-colorspace", "Gray", *alpha, "-compress", "RLE"]),
        ("im_palette_raw.psd", ["-type", "Palette", "-compress", "None"]),
        ("im_palette_rle.psd", ["-type", "Palette", "-compress", "RLE"]),
        ("im_bitmap_rle.psd", ["-monochrome", "-depth", "1", "-compress", "RLE"]),
        ("im_cmyk_raw.psd", ["-colorspace", "CMYK", "-compress", "None"]),
        ("im_cmyk_rle.psd", ["-colorspace", "CMYK", "-compress", "RLE"]),
        ("im_cmyk16_rle.psd", ["-colorspace", "CMYK", "-depth", "16", "-compress", "RLE"]),
    ]:
        out = os.path.join(PSD, name)
        subprocess.run(["convert", src, *args, out], check=True)
        made.append(out)
    os.remove(src)
    for path in made:
        name = os.path.basename(path)
        if "palette" in name or "rgba" in name:
            # ImageMagick does not read its own indexed files back, and takes the colours of
            # its RGBA files as matted with white, which it did not do on writing; Pillow
            # decodes both as stored.
            size, rgba = pillow_rgba(Image.open(path), "rgba" in name)
            write_reference(path, size[0], size[1], rgba)
            continue
        width, height = size_of(path, "[0]")
        if "cmyk" in name:
            raw = subprocess.run(["convert", path + "[0]", "-depth", "16", "-endian", "MSB",
                                  "cmyk:-"], check=True, capture_output=True).stdout
            values = struct.unpack(">%dH" % (len(raw) // 2), raw)
            rgba = bytearray()
            for i in range(0, len(values), 4):
                c, m, y, k = values[i : i + 4]
                if "16" in name:
                    # 16-bit rows: m = X * K // 65535, s = X + K - m, 255 - s * 255 // 65535.
                    def mix(x):
                        s = (x + k - x * k // 65535) % 65536
                        return max(0, min(255, 255 - s * 255 // 65535))
                else:
                    k8 = k * 255 // 65535

                    def mix(x, k8=k8):
                        x = x * 255 // 65535
                        return max(0, min(255, x * k8 // 255 - x - k8 + 255))
                rgba += bytes((mix(c), mix(m), mix(y), 255))
        else:
            rgba = magick_rgba16(path, "[0]")
            channels = struct.unpack(">H", open(path, "rb").read()[12:14])[0]
            mode = struct.unpack(">H", open(path, "rb").read()[24:26])[0]
            if not (mode == 3 and channels >= 4):
                opaque(rgba)
            if "grayalpha" in name:
                # Grey with its alpha, which ImageMagick marks with a negative layer count. (Its
                # raw rgba output of grey-alpha files is garbled: the pixel listing is not.)
                rgba = magick_listing_rgba(path + "[0]")
        if "16" not in name and "cmyk" not in name and "grayalpha" not in name:
            check = Image.open(path)
            _, check = pillow_rgba(check, check.mode == "RGBA")
            cross_check(path, rgba, check)
        write_reference(path, width, height, rgba)


# ---------------------------------------------------------------------------- Paintshop Pro


def psp_rle(data):
    """Packets: b < 0x80 is followed by b literal bytes; b >= 0x80 repeats the next byte
    b - 0x80 times."""
    out, i, n = bytearray(), 0, len(data)
    while i < n:
        run = 1
        while i + run < n and run < 127 and data[i + run] == data[i]:
            run += 1
        if run >= 3:
            out += bytes((0x80 + run, data[i]))
            i += run
            continue
        j = i
        while j < n and j - i < 127:
            if j + 2 < n and data[j] == data[j + 1] == data[j + 2]:
                break
            j += 1
        out.append(j - i)
        out += data[i:j]
        i = j
    return bytes(out)


def psp_block(version, block_id, contents):
    if version == 3:
        return b"~BK\0" + struct.pack("<HII", block_id, len(contents), len(contents)) + contents
    return b"~BK\0" + struct.pack("<HI", block_id, len(contents)) + contents


def psp_chunk(version, contents):
    """Versions above 3 start each chunk inside a block with its length (itself included)."""
    return (struct.pack("<I", len(contents) + 4) if version > 3 else b"") + contents


def psp_channel(version, compression, data, channel_type, bitmap_type=0):
    packed = {0: data, 1: psp_rle(data), 2: zlib.compress(data, 9)}[compression]
    head = struct.pack("<IIHH", len(packed), len(data), bitmap_type, channel_type)
    return psp_block(version, 5, psp_chunk(version, head) + packed)


def psp_layer(version, channels, layer_type=0, width=0, height=0):
    name = b"Layer"
    info = bytes([layer_type]) + struct.pack("<iiii", 0, 0, width, height) + bytes(98)
    assert len(info) == 115
    if version == 3:
        head = name.ljust(256, b"\0") + info + struct.pack("<HH", 1, len(channels))
    else:
        head = psp_chunk(version, struct.pack("<H", len(name)) + name + info)
        head += psp_chunk(version, struct.pack("<HH", 1, len(channels)))
    return psp_block(version, 4, head + b"".join(channels))


def psp_file(version, width, height, depth, compression, grey, layers, palette=None,
             metric=1, resolution=72.0):
    attributes = struct.pack("<IIdBHHHIBIIH", width, height, resolution, metric, compression,
                             depth, 1, 2 ** min(depth, 24), grey, 0, 0, len(layers))
    if version > 3:
        attributes += struct.pack("<I", 1)
    out = b"Paint Shop Pro Image File\n\x1a".ljust(32, b"\0") + struct.pack("<HH", version, 0)
    out += psp_block(version, 0, psp_chunk(version, attributes))
    if palette is not None:
        entries = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
        out += psp_block(version, 2, psp_chunk(version, struct.pack("<I", len(palette)) + entries))
    out += psp_block(version, 3, b"".join(layers))
    return out


def psp_rows(values, width, height, depth):
    """Rows of one channel: 1-bit rows of (w + 7) // 8 bytes, 4-bit rows of w // 2 + 1 bytes
    (first pixel in the high nibble), 8-bit rows of w bytes."""
    out = bytearray()
    for y in range(height):
        row = values[y * width : (y + 1) * width]
        if depth == 8:
            out += bytes(row)
        elif depth == 4:
            packed = bytearray(width // 2 + 1)
            for x, v in enumerate(row):
                packed[x // 2] |= v << (4 if x % 2 == 0 else 0)
            out += packed
        else:
            packed = bytearray((width + 7) // 8)
            for x, v in enumerate(row):
                packed[x // 8] |= v << (7 - x % 8)
            out += packed
    return bytes(out)


def make_psp():
    w, h = 13, 7
    rgb = sample_image().resize((w, h), Image.NEAREST)
    red, green, blue = (list(c.getdata()) for c in rgb.split())
    alpha = [(x * 20 + y * 9) % 256 for y in range(h) for x in range(w)]
    files = {}

    def write(name, data, rgba):
        out = os.path.join(PSP, name)
        open(out, "wb").write(data)
        files[out] = rgba

    for version in [3, 5]:
        for compression, label in [(0, "none"), (1, "rle"), (2, "lz77")]:
            channels = [psp_channel(version, compression, bytes(c), t)
                        for c, t in [(red, 1), (green, 2), (blue, 3)]]
            data = psp_file(version, w, h, 24, compression, 0, [psp_layer(version, channels)])
            write("psp%d_rgb_%s.psp" % (version, label), data,
                  b"".join(bytes((r, g, b, 255)) for r, g, b in zip(red, green, blue)))
    # 24-bit with a transparency mask: the fourth channel, a composite one, is alpha.
    channels = [psp_channel(5, 2, bytes(c), t) for c, t in [(red, 1), (green, 2), (blue, 3)]]
    channels.append(psp_channel(5, 2, bytes(alpha), 0, bitmap_type=1))
    write("psp5_rgba_lz77.psp", psp_file(5, w, h, 24, 2, 0, [psp_layer(5, channels)]),
          b"".join(bytes(p) for p in zip(red, green, blue, alpha)))
    # Palette images of 8, 4 and 1 bits, and grey.
    for version, depth, compression in [(3, 8, 0), (5, 8, 1), (5, 4, 1), (5, 1, 0), (3, 4, 2)]:
        colours = 2 ** depth
        quant = rgb.quantize(colours)
        palette = [tuple(quant.getpalette()[3 * i : 3 * i + 3]) for i in range(colours)]
        indices = list(quant.getdata())
        channel = psp_channel(version, compression, psp_rows(indices, w, h, depth), 0)
        data = psp_file(version, w, h, depth, compression, 0, [psp_layer(version, [channel])],
                        palette=palette)
        write("psp%d_p%d_%s.psp" % (version, depth, ["none", "rle", "lz77"][compression]), data,
              b"".join(bytes((*palette[i], 255)) for i in indices))
    grey = list(rgb.convert("L").getdata())
    channel = psp_channel(5, 2, bytes(grey), 0)
    write("psp5_gray_lz77.psp", psp_file(5, w, h, 8, 2, 1, [psp_layer(5, [channel])]),
          b"".join(bytes((g, g, g, 255)) for g in grey))
    # A first layer that is not a raster layer, an unknown channel kind before the colour
    # channels, and a palette block of 300 entries in a 24-bit file (256 are taken, unused).
    skipped = psp_layer(5, [psp_channel(5, 1, bytes(w * h), 1)], layer_type=2)
    channels = [psp_channel(5, 1, bytes(range(50)), 9)]
    channels += [psp_channel(5, 1, bytes(c), t) for c, t in [(red, 1), (green, 2), (blue, 3)]]
    data = psp_file(5, w, h, 24, 1, 0, [skipped, psp_layer(5, channels)],
                    palette=[(i % 256, 0, 0) for i in range(300)])
    write("psp5_layers_skipped.psp", data,
          b"".join(bytes((r, g, b, 255)) for r, g, b in zip(red, green, blue)))
    for path, rgba in files.items():
        write_reference(path, w, h, rgba)

    # Files the reader refuses (bad/): each says in its name what is wrong.
    bad = os.path.join(PSP, "bad")
    os.makedirs(bad, exist_ok=True)

    def refused(name, data):
        open(os.path.join(bad, name), "wb").write(data)

    def layer(channels):
        return [psp_layer(5, channels)]

    colour = {t: psp_channel(5, 2, bytes(c), t) for c, t in [(red, 1), (green, 2), (blue, 3)]}
    refused("missing_blue.psp", psp_file(5, w, h, 24, 2, 0, layer([colour[1], colour[2]])))
    refused("palette_without_composite.psp",
            psp_file(5, w, h, 8, 0, 0, layer([psp_channel(5, 0, bytes(w * h), 1)])))
    refused("short_channel.psp",
            psp_file(5, w, h, 8, 0, 0, layer([psp_channel(5, 0, bytes(w * h - 1), 0)])))
    refused("jpeg_channels.psp", psp_file(5, w, h, 8, 3, 0, layer([psp_channel(5, 0, bytes(w * h), 0)])))
    refused("no_layer.psp", psp_file(5, w, h, 8, 0, 0, []))
    packed = zlib.compress(bytes(grey), 9)[:-8]
    cut = psp_block(5, 5, psp_chunk(5, struct.pack("<IIHH", len(packed), w * h, 0, 0)) + packed)
    refused("cut_deflate.psp", psp_file(5, w, h, 8, 2, 1, layer([cut])))


if __name__ == "__main__":
    for folder in [PCX, SGI, PSD, PSP]:
        os.makedirs(folder, exist_ok=True)
    make_pcx()
    make_sgi()
    make_psd()
    make_psp()
