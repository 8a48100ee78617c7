#!/usr/bin/python3
# Makes the GIF, Targa and extra PNG test files of tests/data/formats with independent encoders
# (Pillow, ImageMagick `convert`, giflib's `gifbuild`), and a reference of the expected pixels
# beside every file: <file>.rgba.gz, gzip of "RGBA" + width and height (two 32-bit little-endian
# numbers) + width x height RGBA bytes, decoded by Pillow or ImageMagick.
#
# References already hold the reader's deliberate rules where they differ from a plain decode:
# 16-bit samples become 8-bit by v * 255 // 65535; PNG files with a gAMA chunk before the image
# data pass colour samples (not alpha) through round((v/255) ** (1 / (gamma * 2.2)) * 255); PNG
# alpha is kept for RGBA images only; GIF and palette Targa files show their palette colours.
#
# Run from the repository root: /usr/bin/python3 tests/data/formats/generate.py
import gzip
import io
import os
import sys
import struct
import subprocess
import zlib

from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)))
PNG = os.path.join(ROOT, "png")
GIF = os.path.join(ROOT, "gif")
TGA = os.path.join(ROOT, "tga")


def write_reference(path, width, height, rgba):
    assert len(rgba) == width * height * 4, path
    with open(path + ".rgba.gz", "wb") as f:
        f.write(gzip.compress(b"RGBA" + struct.pack("<II", width, height) + bytes(rgba), 9, mtime=0))


def sample_image(width=37, height=23):
    """A picture with gradients, flat runs and noise, so that every encoder path is used."""
    im = Image.new("RGB", (width, height))
    px = im.load()
    seed = 12345
    for y in range(height):
        for x in range(width):
            if y < height // 3:
                px[x, y] = (x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), 128)
            elif y < 2 * height // 3:
                px[x, y] = (200, 30, 60) if (x // 6) % 2 else (10, 220, 90)
            else:
                seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
                px[x, y] = (seed & 255, (seed >> 8) & 255, (seed >> 16) & 255)
    return im


def pillow_rgba(im, keep_alpha):
    rgba = im.convert("RGBA")
    data = bytearray(rgba.tobytes())
    if not keep_alpha:
        data[3::4] = b"\xff" * (len(data) // 4)
    return rgba.size, data


# ---------------------------------------------------------------------------------------- PNG


def png_chunks(data):
    pos, out = 8, []
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        out.append((kind, data[pos + 8 : pos + 8 + length]))
        pos += 12 + length
    return out


def png_reference(path):
    data = open(path, "rb").read()
    chunks = png_chunks(data)
    ihdr = chunks[0][1]
    width, height, depth, colour_type = struct.unpack(">IIBB", ihdr[:10])
    gamma = None
    for kind, body in chunks:
        if kind == b"IDAT":
            break
        if kind == b"gAMA":
            gamma = struct.unpack(">I", body)[0] / 100000.0
    # ImageMagick gives every sample as 16 bits, whatever the file's depth. It is handed the
    # file without its colour-space chunks, so that it returns the samples as stored.
    stripped = bytearray(data[:8])
    for kind, body in chunks:
        if kind not in (b"gAMA", b"cHRM", b"sRGB", b"iCCP"):
            stripped += struct.pack(">I", len(body)) + kind + body
            stripped += struct.pack(">I", zlib.crc32(kind + body))
    raw = subprocess.run(
        ["convert", "png:-", "-depth", "16", "-endian", "MSB", "rgba:-"], input=bytes(stripped), check=True,
        capture_output=True
    ).stdout
    values = struct.unpack(">%dH" % (len(raw) // 2), raw)
    table = list(range(256))
    if gamma:
        exponent = struct.unpack("f", struct.pack("f", 1.0 / (gamma * 2.2)))[0]
        table = [round((i / 255.0) ** exponent * 255.0) for i in range(256)]
    out = bytearray()
    for i in range(0, len(values), 4):
        r, g, b, a = (v * 255 // 65535 for v in values[i : i + 4])
        out += bytes((table[r], table[g], table[b], a))
    # Cross-check the plain 8-bit files against Pillow, transparency included (but for grey
    # below 8 bits with a transparent level, which Pillow compares after widening the samples
    # and so never matches).
    low_grey_key = colour_type == 0 and depth < 8 and any(k == b"tRNS" for k, _ in chunks)
    if depth <= 8 and not gamma and not low_grey_key:
        _, check = pillow_rgba(Image.open(path), True)
        assert check == out, path
    write_reference(path, width, height, out)


def make_png():
    base = sample_image()
    src = os.path.join(PNG, "im_source.ppm")
    base.save(src)
    made = []

    def convert(name, *args, fmt=""):
        out = os.path.join(PNG, name)
        subprocess.run(["convert", src, *args, fmt + out], check=True)
        made.append(out)

    # One file per filter type, for 8-bit RGB, 16-bit RGB and 16-bit grey with alpha.
    for f, label in enumerate(["none", "sub", "up", "avg", "paeth"]):
        convert("im_filter_%s_rgb8.png" % label, "-define", "png:compression-filter=%d" % f,
                "-define", "png:exclude-chunks=gAMA,cHRM,bKGD,date,tIME,tEXt,zTXt", fmt="PNG24:")
    for f, label in enumerate(["none", "sub", "up", "avg", "paeth"]):
        convert("im_filter_%s_rgb16.png" % label, "-depth", "16",
                "-define", "png:compression-filter=%d" % f,
                "-define", "png:exclude-chunks=gAMA,cHRM,bKGD,date,tIME,tEXt,zTXt")
    # Gamma and background as ImageMagick writes them; an interlaced RGBA and grey-alpha file.
    convert("im_gamma_0_7.png", "-set", "gamma", "0.7",
            "-define", "png:exclude-chunks=cHRM,date,tIME,tEXt,zTXt")
    convert("im_bkgd_rgb.png", "-background", "#336699",
            "-define", "png:exclude-chunks=gAMA,cHRM,date,tIME,tEXt,zTXt")
    convert("im_adam7_rgba16.png", "-alpha", "set", "-channel", "A", "-fx", "(i+j)/60",
            "+channel", "-depth", "16", "-interlace", "PNG",
            "-define", "png:exclude-chunks=gAMA,cHRM,bKGD,date,tIME,tEXt,zTXt", fmt="PNG64:")
    # Adam7 on the small sizes where passes are skipped.
    for w, h in [(1, 1), (1, 9), (3, 2), (5, 5), (9, 1)]:
        out = os.path.join(PNG, "im_adam7_%dx%d.png" % (w, h))
        subprocess.run(["convert", src, "-crop", "%dx%d+3+5" % (w, h), "+repage",
                        "-interlace", "PNG", "-define",
                        "png:exclude-chunks=gAMA,cHRM,bKGD,date,tIME,tEXt,zTXt", "PNG24:" + out],
                       check=True)
        made.append(out)
    os.remove(src)
    # Pillow: palette with fewer than 256 colours, grey with alpha, and 1-bit.
    pil = [
        ("pil_palette_16.png", base.quantize(16), {}),
        ("pil_gray_alpha.png", base.convert("LA"), {}),
        ("pil_bilevel.png", base.convert("1"), {}),
        ("pil_rgba.png", base.convert("RGBA"), {}),
    ]
    for name, im, kw in pil:
        out = os.path.join(PNG, name)
        im.save(out, **kw)
        made.append(out)
    for path in sorted(os.listdir(PNG)):
        if path.endswith(".png"):
            png_reference(os.path.join(PNG, path))


# ---------------------------------------------------------------------------------------- GIF


def gif_reference(path):
    """The first frame, its transparent colour (if any) with alpha 0."""
    im = Image.open(path)
    im.seek(0)
    size, data = pillow_rgba(im, True)
    write_reference(path, size[0], size[1], data)


def gifbuild(name, text):
    out = os.path.join(GIF, name)
    data = subprocess.run(["gifbuild"], input=text.encode(), check=True, capture_output=True).stdout
    open(out, "wb").write(data)
    return out


def make_gif():
    base = sample_image()
    quant = base.quantize(64)
    files = []
    out = os.path.join(GIF, "pil_87a.gif")
    quant.save(out, interlace=False)
    files.append(out)
    out = os.path.join(GIF, "pil_89a_interlaced_comment.gif")
    big = sample_image(40, 30).quantize(200)
    big.save(out, interlace=True, comment=b"a comment before the image")
    files.append(out)
    out = os.path.join(GIF, "pil_2colours.gif")
    base.convert("1").save(out)
    files.append(out)
    out = os.path.join(GIF, "pil_animated.gif")
    frames = [sample_image(24, 16).quantize(32), Image.new("RGB", (24, 16), (9, 8, 7)).quantize(4)]
    frames[0].save(out, save_all=True, append_images=frames[1:], duration=100, loop=0,
                   transparency=0)
    files.append(out)
    src = os.path.join(GIF, "src.ppm")
    base.save(src)
    for name, args in [
        ("im_interlaced.gif", ["-interlace", "GIF"]),
        ("im_interlaced_5x1.gif", ["-crop", "5x1+2+2", "+repage", "-interlace", "GIF"]),
        ("im_interlaced_7x3.gif", ["-crop", "7x3+2+2", "+repage", "-interlace", "GIF"]),
        ("im_interlaced_3x10.gif", ["-crop", "3x10+2+2", "+repage", "-interlace", "GIF"]),
    ]:
        out = os.path.join(GIF, name)
        subprocess.run(["convert", src, *args, out], check=True)
        files.append(out)
    os.remove(src)
    # gifbuild: an image with a local colour table over a different global one, preceded by
    # graphic control, application and plain text extensions.
    rows = ["0123", "3210", "1122", "3300"]
    files.append(gifbuild("gb_local_table.gif", "\n".join([
        "screen width 4", "screen height 4", "screen colors 2", "screen background 0",
        "pixel aspect byte 0", "screen map", "\trgb 255 255 255 is 0", "\trgb 0 0 0 is 1",
        "end",
        "graphics control", "\tdisposal mode 0", "\tuser input flag off", "\tdelay 0",
        "end",
        "netscape loop 0",
        "image # 1", "image left 0", "image top 0",
        "image map", "\trgb 255 0 0 is 0", "\trgb 0 255 0 is 1", "\trgb 0 0 255 is 2",
        "\trgb 10 20 30 is 3", "end",
        "image bits 4 by 4", *rows, "",
    ])))
    for path in files:
        gif_reference(path)


# -------------------------------------------------------------------------------------- Targa


def tga_header(id_len, cmap_type, image_type, cmap_len, cmap_bits, w, h, depth, desc):
    return struct.pack("<BBBHHBHHHHBB", id_len, cmap_type, image_type, 0, cmap_len, cmap_bits,
                       0, 0, w, h, depth, desc)


def rle_row(pixels, size):
    """Packets for one row, from the Targa file format's own description (never across rows)."""
    out, i, n = bytearray(), 0, len(pixels)
    while i < n:
        run = 1
        while i + run < n and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run > 1:
            out.append(0x80 | (run - 1))
            out += pixels[i]
            i += run
            continue
        j = i
        while j < n and j - i < 128 and (j + 1 >= n or pixels[j + 1] != pixels[j]):
            j += 1
        out.append(j - i - 1)
        for p in pixels[i:j]:
            out += p
        i = j
    return bytes(out)


def make_tga():
    base = sample_image()
    files = []
    # Pillow: every mode it writes, raw and run-length, bottom-up and top-down.
    for mode in ["L", "P", "RGB", "RGBA"]:
        im = base.convert(mode) if mode != "P" else base.quantize(50)
        if mode == "RGBA":
            alpha = Image.linear_gradient("L").resize(im.size)
            im.putalpha(alpha)
        for rle in [False, True]:
            for orientation in [-1, 1]:
                name = "pil_%s_%s_%s.tga" % (mode.lower(), "rle" if rle else "raw",
                                             "topdown" if orientation == 1 else "bottomup")
                out = os.path.join(TGA, name)
                kw = {"orientation": orientation}
                if rle:
                    kw["compression"] = "tga_rle"
                im.save(out, **kw)
                files.append(out)
    # ImageMagick: run-length true colour, grey and palette.
    src = os.path.join(TGA, "src.ppm")
    base.save(src)
    for name, args in [("im_rgb_rle.tga", ["-compress", "RLE"]),
                       ("im_gray_rle.tga", ["-type", "Grayscale", "-compress", "RLE"]),
                       ("im_palette_rle.tga", ["-type", "Palette", "-compress", "RLE"]),
                       ("im_rgb_raw.tga", ["-compress", "None"])]:
        out = os.path.join(TGA, name)
        subprocess.run(["convert", src, *args, out], check=True)
        files.append(out)
    os.remove(src)
    # 15- and 16-bit pixels and colour maps of 15, 16 and 32 bits: no tool at hand writes them,
    # so they are packed here after the file format's description; Pillow decodes them.
    w, h = 13, 7
    rgb = base.resize((w, h), Image.NEAREST)
    words = []
    for y in range(h):
        for x in range(w):
            r, g, b = rgb.getpixel((x, y))
            words.append(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
    for depth in [15, 16]:
        for rle in [False, True]:
            body = bytearray()
            for y in range(h - 1, -1, -1):
                row = [struct.pack("<H", words[y * w + x]) for x in range(w)]
                body += rle_row(row, 2) if rle else b"".join(row)
            name = "py_rgb%d_%s.tga" % (depth, "rle" if rle else "raw")
            out = os.path.join(TGA, name)
            open(out, "wb").write(tga_header(0, 0, 10 if rle else 2, 0, 0, w, h, depth, 0) + body)
            files.append(out)
    pal = base.quantize(20).resize((w, h), Image.NEAREST)
    colours = pal.getpalette()[: 20 * 3]
    for bits in [15, 16, 32]:
        cmap = bytearray()
        for i in range(20):
            r, g, b = colours[3 * i : 3 * i + 3]
            if bits == 32:
                cmap += bytes((b, g, r, 255))
            else:
                cmap += struct.pack("<H", ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
        body = bytes(pal.tobytes())
        name = "py_cmap%d_topdown.tga" % bits
        out = os.path.join(TGA, name)
        open(out, "wb").write(tga_header(3, 1, 1, 20, bits, w, h, 8, 0x20) + b"abc" + cmap + body)
        files.append(out)
    for path in files:
        data = bytearray(open(path, "rb").read())
        five_bit = data[16] in (15, 16) or (data[1] == 1 and data[7] in (15, 16))
        if data[16] == 15:  # Pillow takes 15-bit pixels only when the depth says 16
            data[16] = 16
        if data[7] == 15:  # and reads 15-bit colour map entries as one byte each
            data[7] = 16
        if data[7] == 32:  # nor does it take 32-bit colour maps: give it the 24-bit one
            start = 18 + data[0]
            count = struct.unpack("<H", data[5:7])[0]
            cmap = data[start : start + 4 * count]
            del cmap[3::4]
            data[start : start + 4 * count] = cmap
            data[7] = 24
        im = Image.open(io.BytesIO(bytes(data)))
        size, rgba = pillow_rgba(im, im.mode == "RGBA")
        if five_bit:
            # Back to the stored 5 bits; colour maps widen them by a shift of 3, 15/16-bit
            # pixels stay 5-bit in the bitmap, which widens by bit replication.
            for i in range(len(rgba)):
                if i % 4 != 3:
                    v = round(rgba[i] * 31 / 255)
                    rgba[i] = (v << 3) if data[16] == 8 else ((v << 3) | (v >> 2))
        write_reference(path, size[0], size[1], rgba)


if __name__ == "__main__":
    if sys.argv[1:] == ["png-references"]:
        # The references alone, for every PNG file of the folder (the suite's files included).
        for name in sorted(os.listdir(PNG)):
            if name.endswith(".png"):
                png_reference(os.path.join(PNG, name))
        sys.exit(0)
    make_png()
    make_gif()
    make_tga()
