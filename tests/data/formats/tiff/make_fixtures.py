#!/usr/bin/python3
# Makes the TIFF, EPS and Autodesk test files of tests/data/formats/{tiff,eps,autodesk} with
# independent writers (Pillow, libtiff's tiffcp, tiffcrop, raw2tiff, ppm2tiff, fax2tiff and
# tiff2bw, ImageMagick `convert`), and a reference of the expected pixels beside every file that
# loads: <file>.rgba.gz (see ../generate.py for the layout).
#
# References are the pixels libtiff decodes (through Pillow, ImageMagick or tiff2rgba), with
# the reader's deliberate rules applied where they differ from a plain decode:
# - 16-bit samples become 8-bit by v * 255 // 65535; samples of other depths are first
#   widened to 8 or 16 bits by v * max // (2^bits - 1);
# - CMYK: ClampByte(C * K // 255 - C - K + 255) per colour, from the stored samples;
# - CIE L*a*b*: the reader's formula on the stored samples (L scaled over 0..255);
# - YCbCr (not JPEG): the reader's chroma tables on the stored samples, every pixel of a
#   subsampled unit taking its unit's chroma (checked against tiff2rgba to within 3 levels);
# - an extra sample of a grey image that is not alpha is dropped; RGBA keeps its alpha as
#   stored; premultiplied colours are made straight (make_alpha).
# Files that no tool here writes (subsampled YCbCr without JPEG, ThunderScan, the EPS binary
# header and Autodesk files) are packed by this script after the formats' descriptions.
#
# Needs libtiff-tools and ImageMagick (scripts/install-deps.sh --bench installs both); the
# wide-sample files also OpenImageIO's oiiotool (Debian openimageio-tools).
# Run from anywhere: /usr/bin/python3 tests/data/formats/tiff/make_fixtures.py [group ...]
# where a group is tiff, eps, autodesk or wide (default: all); `wide` makes the BigTIFF, LZMA,
# Zstandard, WebP, 32-bit and floating-point files alone (make_wide below), `ojpeg` the
# old-style JPEG ones (make_old_jpeg), `hostile` the files a load must refuse quickly
# (make_hostile; needs jpegtran, Debian libjpeg-turbo-progs), `alpha` the transparent ones
# (make_alpha).
import gzip
import math
import os
import struct
import subprocess
import sys
import tempfile

from PIL import Image, TiffImagePlugin

HERE = os.path.dirname(os.path.abspath(__file__))
FORMATS = os.path.dirname(HERE)
sys.path.insert(0, FORMATS)
from generate import sample_image, write_reference  # noqa: E402

EPS = os.path.join(FORMATS, "eps")
AUTODESK = os.path.join(FORMATS, "autodesk")
WORK = tempfile.mkdtemp()


def run(*command):
    subprocess.run(command, check=True, capture_output=True)


def out(name):
    return os.path.join(HERE, name)


def tmp(name):
    return os.path.join(WORK, name)


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def clamp(x):
    return 0 if x < 0 else 255 if x > 255 else x


# ------------------------------------------------------------------- the reader's colour rules


def pillow_rgba(path, keep_alpha):
    im = Image.open(path)
    rgba = bytearray(im.convert("RGBA").tobytes())
    if not keep_alpha:
        rgba[3::4] = b"\xff" * (len(rgba) // 4)
    return im.size, rgba


def magick16(path, channels="rgba"):
    """Samples as 16-bit values through ImageMagick (libtiff), top row first."""
    raw = subprocess.run(["convert", path, "-depth", "16", "-endian", "MSB", channels + ":-"],
                         check=True, capture_output=True).stdout
    return struct.unpack(">%dH" % (len(raw) // 2), raw)


def scaled16_rgba(path, size, gray=False):
    values = magick16(path, "gray" if gray else "rgba")
    outb = bytearray()
    step = 1 if gray else 4
    for i in range(0, len(values), step):
        if gray:
            v = values[i] * 255 // 65535
            outb += bytes((v, v, v, 255))
        else:
            r, g, b, a = (v * 255 // 65535 for v in values[i:i + 4])
            outb += bytes((r, g, b, 255))
    write_reference(path, size[0], size[1], outb)


def widened_gray_rgba(path, size, bits):
    """Grey of `bits` bits: back to the stored value, widened to 16 bits, then reduced."""
    values = magick16(path, "gray")
    top = (1 << bits) - 1
    outb = bytearray()
    for q in values:
        v = round(q * top / 65535)
        w = v * 65535 // top if bits > 8 else v * 255 // top
        g = w * 255 // 65535 if bits > 8 else w
        outb += bytes((g, g, g, 255))
    write_reference(path, size[0], size[1], outb)


def widened_rgb_rgba(path, size, bits):
    values = magick16(path, "rgb")
    top = (1 << bits) - 1
    outb = bytearray()
    for i in range(0, len(values), 3):
        px = []
        for q in values[i:i + 3]:
            v = round(q * top / 65535)
            px.append(v * 255 // top if bits < 8 else (v * 65535 // top) * 255 // 65535)
        outb += bytes(px + [255])
    write_reference(path, size[0], size[1], outb)


def palette_rgba(path):
    """Palette colours from the 16-bit map by v * 255 // 65535 (Pillow takes the high byte)."""
    im = Image.open(path)
    assert im.mode == "P", path
    cmap = im.tag_v2[320]
    n = len(cmap) // 3
    colours = [[cmap[k * n + i] * 255 // 65535 for k in range(3)] for i in range(n)]
    outb = bytearray()
    for index in im.tobytes():
        outb += bytes(colours[index] + [255])
    write_reference(path, im.size[0], im.size[1], outb)


def cmyk_rgba(path):
    im = Image.open(path)
    assert im.mode == "CMYK", path
    data = im.tobytes()
    outb = bytearray()
    for i in range(0, len(data), 4):
        c, m, y, k = data[i:i + 4]
        outb += bytes([clamp(x * k // 255 - x - k + 255) for x in (c, m, y)] + [255])
    write_reference(path, im.size[0], im.size[1], outb)


def chroma_tables(kr=0.299, kg=0.587, kb=0.114):
    kr, kg, kb = f32(kr), f32(kg), f32(kb)
    cr = f32(2 - f32(2 * kr))
    cb = f32(2 - f32(2 * kb))
    gr = f32(f32(kr * cr) / kg)
    gb = f32(f32(kb * cb) / kg)
    d = [i - 128 for i in range(256)]
    return ([round(cr * v) for v in d], [round(cb * v) for v in d],
            [-round(gr * v) for v in d], [-round(gb * v) for v in d])


CR_RED, CB_BLUE, CR_GREEN, CB_GREEN = chroma_tables()


def ycc_pixel(y, cb, cr):
    return [clamp(y + CR_RED[cr]), clamp(y + CB_GREEN[cb] + CR_GREEN[cr]), clamp(y + CB_BLUE[cb])]


def ycbcr_rgba(path, pixels, size):
    outb = bytearray()
    for y, cb, cr in pixels:
        outb += bytes(ycc_pixel(y, cb, cr) + [255])
    write_reference(path, size[0], size[1], outb)


def check_close(path, reference, size, tolerance):
    """The reference against libtiff's own RGBA decode (tiff2rgba)."""
    run("tiff2rgba", "-c", "none", path, tmp("check.tif"))
    theirs = Image.open(tmp("check.tif")).convert("RGBA").tobytes()
    assert len(theirs) == len(reference), path
    worst = max(abs(a - b) for a, b in zip(theirs, reference))
    assert worst <= tolerance, (path, worst)


# ------------------------------------------------------------------------ a small TIFF writer


def tiff_file(width, height, entries, data, big_endian=False):
    """A one-image TIFF: `entries` are (tag, type, values); strip data follows the header and
    its offset replaces the value of tag 273 (given as None)."""
    e = ">" if big_endian else "<"
    sizes = {1: "B", 2: "B", 3: "H", 4: "I", 5: "II", 7: "B"}
    body = bytearray()
    header_size = 8
    data_offset = header_size
    ifd_offset = data_offset + len(data) + (len(data) & 1)
    entries = sorted(entries, key=lambda t: t[0])
    extra_at = ifd_offset + 2 + 12 * len(entries) + 4
    extra = bytearray()
    table = bytearray(struct.pack(e + "H", len(entries)))
    for tag, kind, values in entries:
        if tag == 273:
            values = [data_offset]
        fmt = sizes[kind]
        if kind == 5:
            packed = b"".join(struct.pack(e + "II", *v) for v in values)
            count = len(values)
        else:
            packed = struct.pack(e + fmt * len(values), *values)
            count = len(values)
        if len(packed) <= 4:
            field = packed + b"\0" * (4 - len(packed))
        else:
            field = struct.pack(e + "I", extra_at + len(extra))
            extra += packed + (b"\0" if len(packed) & 1 else b"")
        table += struct.pack(e + "HHI", tag, kind, count) + field
    table += struct.pack(e + "I", 0)
    body += (b"MM\0*" if big_endian else b"II*\0") + struct.pack(e + "I", ifd_offset)
    body += data + (b"\0" if len(data) & 1 else b"")
    body += table + extra
    return bytes(body)


def make_ycbcr_units(name, src, h, v):
    """Uncompressed YCbCr stored in h x v units, the chroma of a unit that of its top-left pixel
    (Pillow's YCbCr conversion gives the samples)."""
    ycc = src.convert("YCbCr")
    width, height = ycc.size
    px = ycc.load()
    data = bytearray()
    expected = [None] * (width * height)
    for uy in range(0, height, v):
        for ux in range(0, width, h):
            lumas = []
            for r in range(v):
                for c in range(h):
                    x, y = min(ux + c, width - 1), min(uy + r, height - 1)
                    lumas.append(px[x, y][0])
            cb, cr = px[ux, uy][1], px[ux, uy][2]
            data += bytes(lumas + [cb, cr])
            for r in range(v):
                for c in range(h):
                    x, y = ux + c, uy + r
                    if x < width and y < height:
                        expected[y * width + x] = (lumas[r * h + c], cb, cr)
    entries = [(256, 3, [width]), (257, 3, [height]), (258, 3, [8, 8, 8]), (259, 3, [1]),
               (262, 3, [6]), (273, 4, None), (277, 3, [3]), (278, 3, [height]),
               (279, 4, [len(data)]), (284, 3, [1]), (530, 3, [h, v]),
               (532, 5, [(0, 1), (255, 1), (128, 1), (255, 1), (128, 1), (255, 1)])]
    path = out(name)
    open(path, "wb").write(tiff_file(width, height, entries, bytes(data)))
    ycbcr_rgba(path, expected, (width, height))
    return path, expected


def make_thunderscan(name):
    """4-bit grey ThunderScan rows: each row is raw codes (top bits 11), a run (00), and 2-bit
    (01) and 3-bit (10) deltas."""
    width, height = 29, 6
    rows, data = [], bytearray()
    for y in range(height):
        samples, codes = [], bytearray()
        last = 0
        for x in range(0, 10):
            value = (x + y) % 16
            codes.append(0xC0 | value)
            samples.append(value)
            last = value
        codes.append(0x05)  # the last value five times more
        samples += [last] * 5
        # 3-bit deltas +3 and -2, then 2-bit deltas +1, 0, -1
        codes.append(0x80 | (3 << 3) | 6)
        last = (last + 3) & 15
        samples.append(last)
        last = (last - 2) & 15
        samples.append(last)
        codes.append(0x40 | (1 << 4) | (0 << 2) | 3)
        for delta in (1, 0, -1):
            last = (last + delta) & 15
            samples.append(last)
        while len(samples) < width:
            codes.append(0xC0 | (len(samples) % 16))
            samples.append(len(samples) % 16)
        rows.append(samples[:width])
        data += codes
    entries = [(256, 3, [width]), (257, 3, [height]), (258, 3, [4]), (259, 3, [32809]),
               (262, 3, [1]), (273, 4, None), (277, 3, [1]), (278, 3, [height]),
               (279, 4, [len(data)])]
    path = out(name)
    open(path, "wb").write(tiff_file(width, height, entries, bytes(data), big_endian=True))
    ref = bytearray()
    for samples in rows:
        for s in samples:
            ref += bytes((s * 17, s * 17, s * 17, 255))
    write_reference(path, width, height, ref)


# --------------------------------------------------------------------------------- the files


def make_tiff():
    rgb = sample_image(37, 23)
    wide = sample_image(70, 46)
    gray = rgb.convert("L")
    bilevel = wide.convert("1")
    rgb.save(tmp("rgb.ppm"))
    gray.save(tmp("gray.pgm"))
    bilevel.save(tmp("bilevel.pbm"))
    wide.save(tmp("wide.ppm"))

    def plain(name, keep_alpha=False):
        path = out(name)
        size, rgba = pillow_rgba(path, keep_alpha)
        write_reference(path, size[0], size[1], rgba)

    # Pillow
    rgb.save(out("pil_rgb_raw.tif"))
    plain("pil_rgb_raw.tif")
    rgba = wide.copy()
    rgba.putalpha(Image.linear_gradient("L").resize(wide.size))
    rgba.save(out("pil_rgba_deflate.tif"), compression="tiff_adobe_deflate")
    plain("pil_rgba_deflate.tif", keep_alpha=True)
    la = gray.copy().convert("LA")
    la.save(out("pil_la_packbits.tif"), compression="packbits")
    plain("pil_la_packbits.tif")
    wide.quantize(50).save(out("pil_palette_lzw.tif"), compression="tiff_lzw")
    palette_rgba(out("pil_palette_lzw.tif"))
    rgb.convert("CMYK").save(out("pil_cmyk_lzw.tif"), compression="tiff_lzw")
    cmyk_rgba(out("pil_cmyk_lzw.tif"))
    # Compared with pil_rgb_raw.tif, the picture it was made from (tests/formats/LabTest.cpp).
    rgb.convert("LAB").save(out("pil_lab.tif"))
    # The same picture as ImageMagick writes Lab: relative to D65, with a WhitePoint tag.
    run("convert", out("pil_rgb_raw.tif"), "-colorspace", "Lab", "-compress", "none",
        out("im_lab_d65.tif"))
    ycc = rgb.convert("YCbCr")
    ycc.save(out("pil_ycbcr.tif"))
    ycbcr_rgba(out("pil_ycbcr.tif"), list(ycc.getdata()), rgb.size)
    bilevel.save(out("pil_bilevel_g3.tif"), compression="group3")
    plain("pil_bilevel_g3.tif")
    bilevel.save(out("pil_bilevel_g4.tif"), compression="group4")
    plain("pil_bilevel_g4.tif")
    wide.save(out("pil_jpeg.tif"), compression="jpeg", quality=90)
    plain("pil_jpeg.tif")
    gray16 = Image.frombytes("I;16", rgb.size,
                             bytes(b for x in range(rgb.size[0] * rgb.size[1])
                                   for b in struct.pack("<H", (x * 2749) % 65536)))
    gray16.save(out("pil_gray16.tif"))
    scaled16_rgba(out("pil_gray16.tif"), rgb.size, gray=True)

    # tiffcp
    src = out("pil_rgb_raw.tif")
    rgb_wide = tmp("wide.tif")
    wide.save(rgb_wide)
    cp = [
        ("cp_rgb_lzw_pred.tif", ["-c", "lzw:2", "-r", "4"], src),
        ("cp_rgb_zip_pred_be.tif", ["-B", "-c", "zip:2", "-r", "5"], src),
        ("cp_rgb_packbits.tif", ["-c", "packbits", "-r", "3"], src),
        ("cp_tiles_none.tif", ["-t", "-w", "16", "-l", "16"], rgb_wide),
        ("cp_tiles_lzw_pred.tif", ["-t", "-w", "16", "-l", "16", "-c", "lzw:2"], rgb_wide),
        ("cp_tiles_zip_be.tif", ["-B", "-t", "-w", "32", "-l", "16", "-c", "zip"], rgb_wide),
        ("cp_tiles_jpeg.tif", ["-t", "-w", "16", "-l", "16", "-c", "jpeg:90"], rgb_wide),
        ("cp_tiles_packbits.tif", ["-t", "-w", "48", "-l", "32", "-c", "packbits"], rgb_wide),
        ("cp_planar_none.tif", ["-p", "separate"], src),
        ("cp_planar_lzw_pred.tif", ["-p", "separate", "-c", "lzw:2", "-r", "6"], rgb_wide),
        ("cp_planar_tiles_zip.tif", ["-p", "separate", "-t", "-w", "16", "-l", "32", "-c", "zip"],
         rgb_wide),
        ("cp_planar_rgba_packbits.tif", ["-p", "separate", "-c", "packbits"],
         out("pil_rgba_deflate.tif")),
        ("cp_bilevel_lsb2msb.tif", ["-f", "lsb2msb"], out("pil_bilevel_g3.tif")),
        ("cp_bilevel_tiles_lzw.tif", ["-t", "-w", "16", "-l", "16", "-c", "lzw"],
         out("pil_bilevel_g3.tif")),
        ("cp_rgb_g3_2d.tif", ["-c", "g3:2d"], out("pil_bilevel_g3.tif")),
    ]
    for name, args, source in cp:
        run("tiffcp", *args, source, out(name))
        plain(name, keep_alpha="rgba" in name)
    # 16-bit grey, big-endian, LZW with the predictor on 16-bit samples.
    run("convert", tmp("gray.pgm"), "-depth", "16", "-compress", "none", tmp("gray16.tif"))
    run("tiffcp", "-B", "-c", "lzw:2", tmp("gray16.tif"), out("cp_gray16_lzw_pred_be.tif"))
    scaled16_rgba(out("cp_gray16_lzw_pred_be.tif"), rgb.size, gray=True)
    # Two images in a big-endian file: the second is the grey one.
    gray.save(tmp("gray8.tif"))
    run("tiffcp", "-B", src, tmp("gray8.tif"), out("cp_two_images_be.tif"))
    plain("cp_two_images_be.tif")

    # tiffcrop: turned a quarter and written in tiles.
    run("tiffcrop", "-R", "90", "-c", "lzw", src, out("crop_rotate90_lzw.tif"))
    plain("crop_rotate90_lzw.tif")
    run("tiffcrop", "-t", "-w", "16", "-l", "16", "-c", "zip", rgb_wide, out("crop_tiles_zip.tif"))
    plain("crop_tiles_zip.tif")

    # raw2tiff
    open(tmp("rgb.raw"), "wb").write(rgb.tobytes())
    run("raw2tiff", "-w", "37", "-l", "23", "-b", "3", "-p", "rgb", "-c", "packbits",
        tmp("rgb.raw"), out("raw_rgb_packbits.tif"))
    plain("raw_rgb_packbits.tif")
    open(tmp("gray.raw"), "wb").write(gray.tobytes())
    run("raw2tiff", "-w", "37", "-l", "23", "-p", "miniswhite", "-r", "7", tmp("gray.raw"),
        out("raw_miniswhite.tif"))
    plain("raw_miniswhite.tif")
    planes = b"".join(rgb.getchannel(c).tobytes() for c in "RGB")
    open(tmp("bands.raw"), "wb").write(planes)
    run("raw2tiff", "-w", "37", "-l", "23", "-b", "3", "-p", "rgb", "-i", "band", "-c", "zip",
        tmp("bands.raw"), out("raw_rgb_bands_zip.tif"))
    plain("raw_rgb_bands_zip.tif")

    # ppm2tiff
    run("ppm2tiff", "-c", "lzw", "-r", "4", tmp("rgb.ppm"), out("ppm_rgb_lzw.tif"))
    plain("ppm_rgb_lzw.tif")
    run("ppm2tiff", "-c", "zip", tmp("gray.pgm"), out("ppm_gray_zip.tif"))
    plain("ppm_gray_zip.tif")
    run("ppm2tiff", "-c", "packbits", tmp("bilevel.pbm"), out("ppm_bilevel_packbits.tif"))
    plain("ppm_bilevel_packbits.tif")

    # fax2tiff, from the raw Group 3 stream of the codec tests
    fax = os.path.join(FORMATS, "..", "codecs", "fax.g3")
    run("fax2tiff", "-M", "-5", "-m", "-X", "100", "-o", out("fax_g3_1d.tif"), fax)
    plain("fax_g3_1d.tif")
    run("fax2tiff", "-M", "-8", "-X", "100", "-o", out("fax_g4.tif"), fax)
    plain("fax_g4.tif")

    # tiff2bw
    run("tiff2bw", "-c", "lzw", src, out("bw_gray_lzw.tif"))
    plain("bw_gray_lzw.tif")

    # ImageMagick
    run("convert", tmp("wide.ppm"), "-depth", "16", "-compress", "zip", out("im_rgb16_zip.tif"))
    scaled16_rgba(out("im_rgb16_zip.tif"), wide.size)
    run("convert", tmp("rgb.ppm"), "-colors", "16", "-type", "palette", "-depth", "4",
        "-compress", "none", out("im_palette4.tif"))
    palette_rgba(out("im_palette4.tif"))
    run("convert", tmp("gray.pgm"), "-depth", "2", "-compress", "none", out("im_gray2.tif"))
    plain("im_gray2.tif")
    run("convert", tmp("gray.pgm"), "-depth", "12", "-compress", "none", out("im_gray12.tif"))
    widened_gray_rgba(out("im_gray12.tif"), rgb.size, 12)
    run("convert", tmp("rgb.ppm"), "-depth", "5", "-compress", "none", out("im_rgb5.tif"))
    widened_rgb_rgba(out("im_rgb5.tif"), rgb.size, 5)
    run("convert", tmp("wide.ppm"), "-endian", "MSB", "-compress", "lzw", out("im_rgb_lzw_msb.tif"))
    plain("im_rgb_lzw_msb.tif")
    run("convert", tmp("rgb.ppm"), "-colorspace", "CMYK", "-compress", "none", out("im_cmyk.tif"))
    cmyk_rgba(out("im_cmyk.tif"))
    run("convert", out("pil_rgba_deflate.tif"), "-define", "tiff:tile-geometry=16x16",
        "-compress", "lzw", out("im_tiles_rgba_lzw.tif"))
    plain("im_tiles_rgba_lzw.tif", keep_alpha=True)

    # Packed here: subsampled YCbCr without JPEG, and ThunderScan.
    for name, h, v in [("py_ycbcr_h2v1.tif", 2, 1), ("py_ycbcr_h2v2.tif", 2, 2),
                       ("py_ycbcr_h4v2.tif", 4, 2)]:
        path, expected = make_ycbcr_units(name, rgb, h, v)
        check_close(path, [c for p in expected for c in ycc_pixel(*p) + [255]], rgb.size, 3)
    make_thunderscan("py_thunderscan.tif")


# -------------------------------------------------------------------------------------- EPS


def eps_file(tiff, postscript=b"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\nshowpage\n",
             tiff_length=None):
    header_size = 30
    ps_offset = header_size
    tiff_offset = ps_offset + len(postscript)
    header = struct.pack("<IIIIIIIH", 0xC6D3D0C5, ps_offset, len(postscript), 0, 0, tiff_offset,
                         len(tiff) if tiff_length is None else tiff_length, 0xFFFF)
    return header + postscript + tiff


def make_eps():
    os.makedirs(EPS, exist_ok=True)
    for name, source in [("eps_lzw_pred.eps", "cp_rgb_lzw_pred.tif"),
                         ("eps_planar_tiles.eps", "cp_planar_tiles_zip.tif")]:
        path = os.path.join(EPS, name)
        open(path, "wb").write(eps_file(open(out(source), "rb").read()))
        size, rgba = pillow_rgba(out(source), False)
        write_reference(path, size[0], size[1], rgba)
    # A header that says there is no preview (length 0); the TIFF is there all the same.
    open(os.path.join(EPS, "eps_no_preview.eps"), "wb").write(
        eps_file(open(out("pil_rgb_raw.tif"), "rb").read(), tiff_length=0))


# --------------------------------------------------------------------------------- Autodesk


def autodesk_file(width, height, palette, pixels, depth=8):
    header = struct.pack("<HHHHHBB20x", 0x9119, width, height, 0, 0, depth, 0)
    assert len(header) == 32
    return header + bytes(c for entry in palette for c in entry) + bytes(pixels)


def make_autodesk():
    os.makedirs(AUTODESK, exist_ok=True)
    width, height = 37, 23
    palette = [(i % 64, (i * 5) % 64, 63 - i % 64) for i in range(256)]
    palette[7] = (63, 63, 63)
    pixels = [(x * 7 + y * 13) % 256 for y in range(height) for x in range(width)]
    for name, depth in [("py_palette.cel", 8), ("py_depth16.pic", 16)]:
        path = os.path.join(AUTODESK, name)
        open(path, "wb").write(autodesk_file(width, height, palette, pixels, depth))
        ref = bytearray()
        for p in pixels:
            ref += bytes([(c << 2) & 0xFF for c in palette[p]] + [255])
        write_reference(path, width, height, ref)


# ----------------------------------------------------------- BigTIFF, modern schemes, wide samples


def oiio_rgba(path, keep_alpha=False, affine=None):
    """The reference of `path` as OpenImageIO decodes it to 8 bits (floating-point samples in
    0..1 clamped and rounded, integers scaled); `affine` = (low, high) first maps that range
    onto 0..1, as the reader does with SMinSampleValue and SMaxSampleValue."""
    args = ["oiiotool", path]
    if affine:
        args += ["--subc", repr(affine[0]), "--divc", repr(affine[1] - affine[0])]
    run(*args, "-d", "uint8", "-o", tmp("oiio.tif"))
    size, rgba = pillow_rgba(tmp("oiio.tif"), keep_alpha)
    write_reference(path, size[0], size[1], rgba)


def magick_float(source, name, depth, *args):
    """ImageMagick writes floating-point TIFF (and exits 1 over a predictor tag it does not
    know, after writing the file)."""
    subprocess.run(["convert", source, "-define", "quantum:format=floating-point", "-depth",
                    str(depth), *args, out(name)], capture_output=True)
    assert os.path.getsize(out(name)) > 0, name


def make_wide():
    rgb = sample_image(37, 23)
    wide = sample_image(70, 46)
    rgb.save(tmp("rgb.tif"))
    rgb.save(tmp("rgb.ppm"))
    wide.save(tmp("wide.tif"))
    rgba = wide.copy()
    rgba.putalpha(Image.linear_gradient("L").resize(wide.size))
    rgba.save(tmp("rgba.tif"))

    def plain(name, keep_alpha=False):
        # libtiff's decode: tiffcp to a classic uncompressed file, which Pillow reads.
        path = out(name)
        run("tiffcp", "-c", "none", path, tmp("plain.tif"))
        size, data = pillow_rgba(tmp("plain.tif"), keep_alpha)
        write_reference(path, size[0], size[1], data)

    # BigTIFF (tiffcp -8), and the schemes libtiff hands to liblzma, libzstd and libwebp.
    cp = [
        ("big_lzw_pred.tif", ["-8", "-c", "lzw:2", "-r", "5"], tmp("rgb.tif")),
        ("big_tiles_zip_be.tif", ["-8", "-B", "-t", "-w", "16", "-l", "16", "-c", "zip"],
         tmp("wide.tif")),
        ("cp_rgb_lzma.tif", ["-c", "lzma", "-r", "8"], tmp("rgb.tif")),
        ("cp_rgb_zstd_pred.tif", ["-c", "zstd:2", "-r", "6"], tmp("rgb.tif")),
        ("cp_tiles_zstd_be.tif", ["-B", "-t", "-w", "32", "-l", "16", "-c", "zstd"],
         tmp("wide.tif")),
        ("cp_rgb_webp.tif", ["-c", "webp", "-r", "8"], tmp("rgb.tif")),
        ("cp_rgba_webp_lossless.tif", ["-c", "webp:p100", "-t", "-w", "32", "-l", "32"],
         tmp("rgba.tif")),
    ]
    for name, args, source in cp:
        run("tiffcp", *args, source, out(name))
        plain(name, keep_alpha="rgba" in name)

    # Floating point: ImageMagick writes 16, 32 and 64 bits with SMinSampleValue 0 and
    # SMaxSampleValue 1; tiffcp adds the floating-point and horizontal predictors.
    magick_float(tmp("rgb.ppm"), "im_float32.tif", 32, "-compress", "none")
    magick_float(tmp("rgb.ppm"), "im_half_zip.tif", 16, "-compress", "zip")
    magick_float(tmp("rgb.ppm"), "im_double_lzw.tif", 64, "-compress", "lzw")
    run("tiffcp", "-c", "lzw:3", out("im_float32.tif"), out("cp_float_lzw_fpred.tif"))
    run("tiffcp", "-B", "-c", "zip:3", "-r", "4", out("im_double_lzw.tif"),
        out("cp_double_zip_fpred_be.tif"))
    run("tiffcp", "-c", "lzw:2", out("im_float32.tif"), out("cp_float_lzw_hpred.tif"))
    # 32-bit unsigned integers (ImageMagick), with the horizontal predictor (tiffcp).
    run("convert", tmp("rgb.ppm"), "-depth", "32", "-compress", "none", out("im_uint32.tif"))
    run("tiffcp", "-B", "-c", "zip:2", "-r", "3", out("im_uint32.tif"), out("cp_uint32_zip_pred_be.tif"))
    for name in ["im_float32.tif", "im_half_zip.tif", "im_double_lzw.tif",
                 "cp_float_lzw_fpred.tif", "cp_double_zip_fpred_be.tif", "cp_float_lzw_hpred.tif",
                 "im_uint32.tif", "cp_uint32_zip_pred_be.tif"]:
        oiio_rgba(out(name))

    # Pillow: grey floats over -0.5 .. 1.5 with that range stated, and signed 32-bit
    # integers, negative ones included (the reader maps 0 .. 2^31 - 1 onto 0..255, negative
    # values to 0; OpenImageIO rounds where the reader truncates: checked within 1).
    width, height = 37, 23
    floats = Image.new("F", (width, height))
    floats.putdata([-0.5 + 2.0 * ((x * 7 + y * 11) % 64) / 63 for y in range(height)
                    for x in range(width)])
    stated = TiffImagePlugin.ImageFileDirectory_v2()
    for tag, value in [(340, -0.5), (341, 1.5)]:
        stated[tag] = value
        stated.tagtype[tag] = 11  # FLOAT
    floats.save(out("pil_gray_float_range.tif"), tiffinfo=stated)
    oiio_rgba(out("pil_gray_float_range.tif"), affine=(-0.5, 1.5))
    ints = Image.new("I", (width, height))
    values = [((x * 97 + y * 53) % 192 - 64) * 16777216 for y in range(height) for x in range(width)]
    ints.putdata(values)
    ints.save(out("pil_gray_int32.tif"), compression="tiff_deflate")
    reference = bytearray()
    for v in values:
        g = 0 if v <= 0 else v * 255 // 2147483647
        reference += bytes((g, g, g, 255))
    write_reference(out("pil_gray_int32.tif"), width, height, reference)
    run("oiiotool", out("pil_gray_int32.tif"), "-d", "uint8", "-o", tmp("int.tif"))
    theirs = Image.open(tmp("int.tif")).convert("L").tobytes()
    assert max(abs(a - b) for a, b in zip(theirs, reference[::4])) <= 1


def jpeg_segments(data):
    """The marker segments of a baseline JPEG up to its scan, and the entropy-coded data."""
    at, segments = 2, []
    while True:
        marker, length = data[at + 1], struct.unpack(">H", data[at + 2:at + 4])[0]
        segments.append((marker, data[at + 4:at + 2 + length]))
        at += 2 + length
        if marker == 0xDA:
            return segments, data[at:data.rindex(b"\xff\xd9")]


def make_old_jpeg():
    """Old-style JPEG (compression 6), which no tool here writes: packed after TIFF 6.0,
    section 22, around baseline JPEG streams Pillow (libjpeg) encoded; the references are
    Pillow's decodes of those streams, checked against libtiff's (tiff2rgba) over the smooth
    top third of the picture (libtiff replicates chroma where libjpeg interpolates it, which
    differs much on the stripes and noise below)."""
    src = sample_image(70, 46)
    src.save(tmp("ojpeg.jpg"), quality=90, subsampling=2)
    jfif = open(tmp("ojpeg.jpg"), "rb").read()
    width, height = src.size
    expected = bytearray(Image.open(tmp("ojpeg.jpg")).convert("RGBA").tobytes())
    # The interchange stream, scan included, at JPEGInterchangeFormat (and the strip offset).
    entries = [(256, 3, [width]), (257, 3, [height]), (258, 3, [8, 8, 8]), (259, 3, [6]),
               (262, 3, [6]), (273, 4, None), (277, 3, [3]), (278, 3, [height]),
               (279, 4, [len(jfif)]), (512, 3, [1]), (513, 4, [8]), (514, 4, [len(jfif)]),
               (530, 3, [2, 2])]
    path = out("py_ojpeg_interchange.tif")
    open(path, "wb").write(tiff_file(width, height, entries, jfif))
    write_reference(path, width, height, expected)
    check_old_jpeg(path, expected, width)
    # The same scan as a strip, its tables in JPEGQTables, JPEGDCTables and JPEGACTables
    # (component i takes tables i, so the chroma tables are written twice).
    segments, scan = jpeg_segments(jfif)
    quant, huff = {}, {}
    for marker, body in segments:
        i = 0
        while marker == 0xDB and i < len(body):
            quant[body[i] & 15] = body[i + 1:i + 65]
            i += 65
        while marker == 0xC4 and i < len(body):
            n = sum(body[i + 1:i + 17])
            huff[body[i]] = body[i + 1:i + 17 + n]
            i += 17 + n
        if marker == 0xC0:
            frame = body
        if marker == 0xDA:
            scan_header = body
    q_of = [frame[6 + 3 * c + 2] for c in range(3)]
    dc_of = [scan_header[2 + 2 * c] >> 4 for c in range(3)]
    ac_of = [scan_header[2 + 2 * c] & 15 for c in range(3)]
    data = bytearray(scan)
    offsets = {"q": [], "dc": [], "ac": []}
    for key, tables in [("q", [quant[q] for q in q_of]), ("dc", [huff[d] for d in dc_of]),
                        ("ac", [huff[0x10 | a] for a in ac_of])]:
        for table in tables:
            data += b"\0" * (len(data) & 1)
            offsets[key].append(8 + len(data))
            data += table
    entries = [(256, 3, [width]), (257, 3, [height]), (258, 3, [8, 8, 8]), (259, 3, [6]),
               (262, 3, [6]), (273, 4, None), (277, 3, [3]), (278, 3, [height]),
               (279, 4, [len(scan)]), (512, 3, [1]), (519, 4, offsets["q"]),
               (520, 4, offsets["dc"]), (521, 4, offsets["ac"]), (530, 3, [2, 2])]
    path = out("py_ojpeg_tables.tif")
    open(path, "wb").write(tiff_file(width, height, entries, bytes(data)))
    write_reference(path, width, height, expected)
    check_old_jpeg(path, expected, width)


def check_old_jpeg(path, expected, width):
    run("tiff2rgba", "-c", "none", path, tmp("check.tif"))
    theirs = Image.open(tmp("check.tif")).convert("RGBA").tobytes()
    top = 12 * width * 4
    assert max(abs(a - b) for a, b in zip(theirs[:top], expected[:top])) <= 16, path


def make_hostile():
    """Files that ask for far more work or memory than they hold, which a load must refuse
    quickly: JPEG strips of flat grey pictures (Pillow's JPEG made progressive by jpegtran) of
    4000 x 4000 samples, whose coefficients (32 MB) pass a small budget; of 128 scans (the last
    scan repeated, which libjpeg takes with a warning); and of 90 scans over 4096 x 4096
    samples from a few kilobytes. (hostile_fuzz_scans_4096.tif is a fuzzer's mutation of the
    last, kept as found.)"""
    def strip_tiff(name, size, data):
        entries = [(256, 4, [size]), (257, 4, [size]), (258, 3, [8]), (259, 3, [7]),
                   (262, 3, [1]), (273, 4, None), (277, 3, [1]), (278, 4, [size]),
                   (279, 4, [len(data)])]
        open(out(name), "wb").write(tiff_file(size, size, entries, data))

    for size, name, scans in [(4000, "hostile_progressive_4000.tif", None),
                              (64, "hostile_scans_128.tif", 128),
                              (4096, "hostile_scans_90_4096.tif", 90)]:
        Image.new("L", (size, size), 128).save(tmp("flat.jpg"), quality=90)
        run("jpegtran", "-progressive", "-outfile", tmp("scanned.jpg"), tmp("flat.jpg"))
        data = open(tmp("scanned.jpg"), "rb").read()
        if scans:
            starts = [i for i in range(len(data) - 1) if data[i] == 0xFF and data[i + 1] == 0xDA]
            last = data[starts[-1]:data.rindex(b"\xff\xd9")]
            data = data[:starts[-1]] + last * (scans - len(starts) + 1) + b"\xff\xd9"
        strip_tiff(name, size, data)


def stored_samples(path):
    """The samples of a one-strip 8-bit TIFF as stored, decoded by libtiff (tiffcp -c none)."""
    run("tiffcp", "-c", "none", "-r", "100000", path, tmp("stored.tif"))
    data = open(tmp("stored.tif"), "rb").read()
    assert data[:4] == b"II*\0"
    (ifd,) = struct.unpack_from("<I", data, 4)
    tags = {}
    for i in range(struct.unpack_from("<H", data, ifd)[0]):
        tag, kind, _, value = struct.unpack_from("<HHII", data, ifd + 2 + 12 * i)
        tags[tag] = value & 0xFFFF if kind == 3 else value
    offset, count = tags[273], tags[279]
    return (tags[256], tags[257]), data[offset:offset + count]


def straight(color, alpha):
    """The reader's rule for premultiplied colours."""
    return 0 if alpha == 0 else min(255, (color * 255 + alpha // 2) // alpha)


def make_alpha():
    """Transparency: grey with alpha (Pillow), grey and RGB with premultiplied alpha (ImageMagick
    writes associated alpha), and palette indices with an alpha sample, which no tool here
    writes (packed after TIFF 6.0's ExtraSamples). References of premultiplied files apply the
    reader's rule to the samples libtiff decodes, checked against OpenImageIO's unpremultiplied
    decode (within 2 levels where alpha is above 64)."""
    rgba = sample_image(37, 23).convert("RGBA")
    rgba.putalpha(Image.linear_gradient("L").resize(rgba.size))
    rgba.save(tmp("rgba.png"))
    rgba.convert("LA").save(out("pil_la_alpha_zip.tif"), compression="tiff_adobe_deflate")
    size, data = pillow_rgba(out("pil_la_alpha_zip.tif"), True)
    write_reference(out("pil_la_alpha_zip.tif"), size[0], size[1], data)
    rgba.convert("LA").save(tmp("la.png"))
    for name, source, samples in [("im_rgba_premultiplied_lzw.tif", "rgba.png", 4),
                                  ("im_la_premultiplied_zip.tif", "la.png", 2)]:
        compression = "lzw" if "lzw" in name else "zip"
        run("convert", tmp(source), "-define", "tiff:alpha=associated", "-compress", compression,
            out(name))
        (width, height), stored = stored_samples(out(name))
        reference = bytearray()
        for i in range(0, len(stored), samples):
            px = stored[i:i + samples]
            alpha = px[-1]
            colours = px[:3] if samples == 4 else px[:1] * 3
            reference += bytes([straight(c, alpha) for c in colours] + [alpha])
        write_reference(out(name), width, height, reference)
        run("oiiotool", out(name), "--unpremult", "-d", "uint8", "-o", tmp("straight.png"))
        theirs = Image.open(tmp("straight.png")).convert("RGBA").tobytes()
        assert max(abs(a - b) for i, (a, b) in enumerate(zip(theirs, reference))
                   if reference[i | 3] > 64) <= 2, name
    # Palette indices with alpha: 8-bit index, 8-bit alpha (unassociated), big-endian.
    width, height = 37, 23
    colours = [((i * 37) % 256, (i * 91) % 256, (255 - i * 5) % 256) for i in range(256)]
    cmap = [c[k] * 257 for k in range(3) for c in colours]
    pixels, reference = bytearray(), bytearray()
    for y in range(height):
        for x in range(width):
            index, alpha = (x * 7 + y * 3) % 256, (x * 255) // (width - 1)
            pixels += bytes((index, alpha))
            reference += bytes(list(colours[index]) + [alpha])
    entries = [(256, 3, [width]), (257, 3, [height]), (258, 3, [8, 8]), (259, 3, [1]),
               (262, 3, [3]), (273, 4, None), (277, 3, [2]), (278, 3, [height]),
               (279, 4, [len(pixels)]), (320, 3, cmap), (338, 3, [2])]
    path = out("py_palette_alpha_be.tif")
    open(path, "wb").write(tiff_file(width, height, entries, bytes(pixels), big_endian=True))
    write_reference(path, width, height, reference)
    # The colours as libtiff decodes them (tiff2rgba leaves a palette image's alpha out).
    run("tiff2rgba", "-c", "none", path, tmp("palette.tif"))
    theirs = Image.open(tmp("palette.tif")).convert("RGB").tobytes()
    assert theirs == bytes(b for i, b in enumerate(reference) if i % 4 != 3), path


if __name__ == "__main__":
    groups = {"tiff": make_tiff, "eps": make_eps, "autodesk": make_autodesk, "wide": make_wide,
              "ojpeg": make_old_jpeg, "hostile": make_hostile, "alpha": make_alpha}
    for group in sys.argv[1:] or groups:
        groups[group]()
