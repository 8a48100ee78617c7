#!/usr/bin/python3
# Makes the portable map, Photo-CD, Dr. Halo CUT and Alias/Wavefront RLA test files of
# tests/data/formats, with a reference of the expected pixels beside every file:
# <file>.rgba.gz, gzip of "RGBA" + width and height (two 32-bit little-endian numbers) +
# width x height RGBA bytes.
#
# Portable maps come from independent writers: netpbm (pnmdepth, pnmtoplainpnm, pbmmake,
# ppmtopgm, pgmtopbm), ImageMagick `convert` and Pillow; a few have their header rewritten by
# this script (comments, one-line header, CR LF line ends) with the raster left as written.
# Their references are netpbm's decode: `pnmdepth 255` of the file, which scales each sample
# v of maximum m to round(v * 255 / m).
#
# No tool here writes Photo-CD, CUT or RLA files correctly, so this script packs them byte by
# byte after the formats' public descriptions, and computes their references from the
# pixels it packed. ImageMagick confirms the CUT file with a palette (pixel for pixel) and the
# Photo-CD pack's layout (it converts the colours its own way, so only the picture's shape is
# compared). Its RLA reader (6.9.11) refuses every file of more than one row, so the RLA files
# rest on the description alone.
#
# Run from the repository root: /usr/bin/python3 tests/data/formats/make_maps.py
import gzip
import os
import struct
import subprocess

from PIL import Image

ROOT = os.path.dirname(os.path.abspath(__file__))
PNM = os.path.join(ROOT, "pnm")
PCD = os.path.join(ROOT, "pcd")
CUT = os.path.join(ROOT, "cut")
RLA = os.path.join(ROOT, "rla")


def write_reference(path, width, height, rgba):
    assert len(rgba) == width * height * 4, path
    with open(path + ".rgba.gz", "wb") as f:
        f.write(gzip.compress(b"RGBA" + struct.pack("<II", width, height) + bytes(rgba), 9, mtime=0))


def sample_image(width=37, height=23):
    """Gradients, flat runs and noise, so that runs and literals both occur."""
    im = Image.new("RGB", (width, height))
    px = im.load()
    seed = 4242
    for y in range(height):
        for x in range(width):
            if y < height // 3:
                px[x, y] = (x * 255 // (width - 1), y * 255 // (height - 1), 128)
            elif y < 2 * height // 3:
                px[x, y] = (200, 30, 60) if (x // 6) % 2 else (10, 220, 90)
            else:
                seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
                px[x, y] = (seed & 255, (seed >> 8) & 255, (seed >> 16) & 255)
    return im


def run(command, data=None):
    return subprocess.run(command, input=data, check=True, capture_output=True).stdout


# ------------------------------------------------------------------------------ portable maps


def parse_pnm255(data):
    """Width, height and RGBA of a raw P5 or P6 file of maximum 255 as netpbm writes it."""
    fields, pos = [], 2
    while len(fields) < 3:
        while data[pos : pos + 1].isspace():
            pos += 1
        start = pos
        while data[pos : pos + 1].isdigit():
            pos += 1
        fields.append(int(data[start:pos]))
    width, height, maximum = fields
    assert maximum == 255
    raster = data[pos + 1 :]
    out = bytearray()
    if data[:2] == b"P5":
        for v in raster[: width * height]:
            out += bytes((v, v, v, 255))
    else:
        for i in range(width * height):
            out += raster[3 * i : 3 * i + 3] + b"\xff"
    return width, height, out


def pnm_reference(path):
    width, height, rgba = parse_pnm255(run(["pnmdepth", "255", path]))
    write_reference(path, width, height, rgba)


def make_pnm():
    os.makedirs(PNM, exist_ok=True)
    made = []

    def out(name):
        made.append(os.path.join(PNM, name))
        return made[-1]

    def save(name, data):
        with open(out(name), "wb") as f:
            f.write(data)

    base = sample_image()
    src = os.path.join(PNM, "source.ppm")
    base.save(src)
    gray = run(["ppmtopgm", src])
    bits = run(["pgmtopbm", "-threshold"], gray)

    # Pillow: raw pixel, grey and bit maps of maximum 255 (and 1), 16-bit grey of 65535.
    base.save(out("pil_rgb.ppm"))
    base.convert("L").save(out("pil_gray.pgm"))
    base.convert("1").save(out("pil_bits.pbm"))
    base.convert("L").convert("I").point(lambda v: v * 257).save(out("pil_gray16.pgm"))

    # netpbm: every maximum value, raw and plain.
    for maximum in (1, 15, 100, 1000, 65535):
        save("nb_rgb_max%d.ppm" % maximum, run(["pnmdepth", str(maximum), src]))
        save("nb_gray_max%d.pgm" % maximum, run(["pnmdepth", str(maximum)], gray))
    for maximum in (15, 255, 1000):
        plain = run(["pnmtoplainpnm"], run(["pnmdepth", str(maximum), src]))
        save("nb_plain_rgb_max%d.ppm" % maximum, plain)
        save("nb_plain_gray_max%d.pgm" % maximum,
             run(["pnmtoplainpnm"], run(["pnmdepth", str(maximum)], gray)))
    save("nb_bits.pbm", bits)
    save("nb_plain_bits.pbm", run(["pnmtoplainpnm"], bits))
    save("nb_pattern_9x5.pbm", run(["pbmmake", "-g", "9", "5"]))
    save("nb_plain_pattern_13x7.pbm", run(["pnmtoplainpnm"], run(["pbmmake", "-g", "13", "7"])))

    # ImageMagick: 16-bit raw and plain pixel maps, plain grey.
    run(["convert", src, "-depth", "16", out("im_rgb16.ppm")])
    run(["convert", src, "-compress", "none", out("im_plain_rgb.ppm")])
    run(["convert", src, "-colorspace", "gray", "-depth", "16", "-compress", "none",
         out("im_plain_gray16.pgm")])

    # Headers rewritten, rasters as netpbm wrote them.
    def raster_of(data, numbers):
        fields, pos = 0, 2
        while fields < numbers:
            while data[pos : pos + 1].isspace():
                pos += 1
            while data[pos : pos + 1].isdigit():
                pos += 1
            fields += 1
        return data[pos + 1 :]

    rgb15 = run(["pnmdepth", "15", src])
    w, h = base.size
    save("hd_one_line.ppm", b"P6 %d %d 15\n" % (w, h) + raster_of(rgb15, 3))
    save("hd_comments.ppm",
         b"P6\n# made by hand\n# twice\n%d # width\n# between\n%d\n#\n15# closing comment\n" % (w, h)
         + raster_of(rgb15, 3))
    save("hd_crlf_header.pgm",
         b"P5\r\n%d %d\r\n255\n" % (w, h) + raster_of(run(["pnmdepth", "255"], gray), 3))
    save("hd_tabs.pbm", b"P4\t%d\x0b%d\x0c" % (w, h) + raster_of(bits, 2))
    plain = run(["pnmtoplainpnm"], run(["pnmdepth", "100"], gray))
    save("hd_crlf_plain.pgm", plain.replace(b"\n", b"\r\n"))
    plain_bits = run(["pnmtoplainpnm"], bits)
    # The bits of a plain bitmap without separators, all on one line.
    digits = b"".join(raster_of(plain_bits, 2).split())
    save("hd_plain_bits_packed.pbm", b"P1\n%d %d\n" % (w, h) + digits + b"\n")

    for path in made:
        pnm_reference(path)
    os.remove(src)


# ------------------------------------------------------------------------------ Photo-CD

SECTOR = 2048


def pcd_planes(width, height):
    """Luma and two half-size chroma planes with smooth gradients and a few edges."""
    luma = bytearray(width * height)
    for y in range(height):
        for x in range(width):
            v = 20 + (x * 180) // width + (y * 40) // height
            if (x // 64 + y // 64) % 2:
                v += 15
            luma[y * width + x] = min(v, 255)
    cw, ch = width // 2, height // 2
    c1 = bytearray(cw * ch)
    c2 = bytearray(cw * ch)
    for y in range(ch):
        for x in range(cw):
            c1[y * cw + x] = 100 + (x * 100) // cw
            c2[y * cw + x] = 90 + (y * 110) // ch
    return luma, c1, c2


def pcd_raster(luma, c1, c2, width, height):
    out = bytearray()
    cw = width // 2
    for y in range(0, height, 2):
        out += luma[y * width : (y + 2) * width]
        out += c1[(y // 2) * cw : (y // 2 + 1) * cw]
        out += c2[(y // 2) * cw : (y // 2 + 1) * cw]
    return out


def upsample(plane, w, h):
    """The reader's documented chroma upsampling, to 2w x 2h."""
    out = [[0] * (2 * w) for _ in range(2 * h)]
    for r in range(h):
        s = plane[r * w : (r + 1) * w]
        t = out[2 * r]
        for x in range(w - 1):
            t[2 * x] = s[x]
            t[2 * x + 1] = (s[x] + s[x + 1] + 1) // 2
        t[2 * w - 2] = t[2 * w - 1] = s[w - 1]
    for r in range(h - 1):
        a, b, t = out[2 * r], out[2 * r + 2], out[2 * r + 1]
        for k in range(w - 1):
            t[2 * k] = (a[2 * k] + b[2 * k] + 1) // 2
            t[2 * k + 1] = (a[2 * k] + a[2 * k + 2] + b[2 * k] + b[2 * k + 2] + 2) // 4
        for x in (2 * w - 2, 2 * w - 1):
            t[x] = (a[x] + b[x] + 1) // 2
    out[2 * h - 1] = list(out[2 * h - 2])
    return out


def f32(v):
    return struct.unpack("f", struct.pack("f", v))[0]


def photo_ycc_tables():
    """The chroma tables of the colour manager for Photo-CD luma weights (0.2125, 0.7154,
    0.0721): each factor rounded to a 32-bit float, entries rounded to nearest, ties to even."""
    kr, kg, kb = f32(0.2125), f32(0.7154), f32(0.0721)
    cr = f32(2 - 2 * kr)
    cb = f32(2 - 2 * kb)
    gr = f32(kr * cr / kg)
    gb = f32(kb * cb / kg)
    cr_red = [round(cr * (i - 137)) for i in range(256)]
    cb_blue = [round(cb * (i - 156)) for i in range(256)]
    cr_green = [-round(gr * (i - 137)) for i in range(256)]
    cb_green = [-round(gb * (i - 156)) for i in range(256)]
    return cr_red, cb_blue, cr_green, cb_green


def pcd_rgba(luma, c1, c2, width, height):
    u1 = upsample(c1, width // 2, height // 2)
    u2 = upsample(c2, width // 2, height // 2)
    cr_red, cb_blue, cr_green, cb_green = photo_ycc_tables()
    clamp = lambda v: 0 if v < 0 else 255 if v > 255 else v
    out = bytearray()
    for y in range(height):
        for x in range(width):
            l, cb, cr = luma[y * width + x], u1[y][x], u2[y][x]
            out += bytes((clamp(l + cr_red[cr]), clamp(l + cb_green[cb] + cr_green[cr]),
                          clamp(l + cb_blue[cb]), 255))
    return out


def magick_gray(path, fmt):
    return run(["convert", fmt + ":" + path, "-colorspace", "gray", "-depth", "8", "gray:-"])


def correlation(a, b):
    n = len(a)
    ma, mb = sum(a) / n, sum(b) / n
    cov = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    va = sum((x - ma) ** 2 for x in a)
    vb = sum((y - mb) ** 2 for y in b)
    return cov / (va * vb) ** 0.5


def shrink_plane(plane, width, height, k):
    """Each k x k block of a plane averaged, rounded."""
    out = bytearray((width // k) * (height // k))
    for y in range(height // k):
        for x in range(width // k):
            block = [plane[(y * k + v) * width + x * k + u] for v in range(k) for u in range(k)]
            out[y * (width // k) + x] = (sum(block) + k * k // 2) // (k * k)
    return out


def make_pcd():
    os.makedirs(PCD, exist_ok=True)
    # An image pack: "PCD_IPI" in the second sector, the rotation in its attribute byte, the
    # Base/16 and Base/4 images (the Base image's planes averaged over 4 x 4 and 2 x 2 blocks)
    # from sectors 4 and 23, the Base image from sector 96; 768 kB, so it is kept compressed.
    width, height = 768, 512
    luma, c1, c2 = pcd_planes(width, height)
    pack = bytearray(96 * SECTOR)
    pack[SECTOR : SECTOR + 7] = b"PCD_IPI"
    pack[0xE02] = 0  # no rotation
    for sector, k in ((4, 4), (23, 2)):
        w, h = width // k, height // k
        planes = (shrink_plane(luma, width, height, k), shrink_plane(c1, width // 2, height // 2, k),
                  shrink_plane(c2, width // 2, height // 2, k))
        raster = pcd_raster(*planes, w, h)
        pack[sector * SECTOR : sector * SECTOR + len(raster)] = raster
    pack += pcd_raster(luma, c1, c2, width, height)
    path = os.path.join(PCD, "pack.pcd")
    with open(path, "wb") as f:
        f.write(pack)
    rgba = pcd_rgba(luma, c1, c2, width, height)
    # ImageMagick converts the colours its own way; the layout must agree all the same.
    ours = [(rgba[4 * i] + rgba[4 * i + 1] + rgba[4 * i + 2]) // 3 for i in range(0, width * height, 97)]
    theirs = magick_gray(path, "pcd")[::97]
    assert correlation(ours, theirs) > 0.95, "ImageMagick reads the pack differently"
    with open(path + ".gz", "wb") as f:
        f.write(gzip.compress(bytes(pack), 9, mtime=0))
    os.remove(path)
    write_reference(os.path.join(PCD, "pack.pcd"), width, height, rgba)

    # An overview pack: "PCD_OPA", two thumbnails of Base/16 from sector 5.
    tw, th = 192, 128
    first = pcd_planes(tw, th)
    second = tuple(bytes(255 - v for v in plane) for plane in first)
    overview = bytearray(5 * SECTOR)
    overview[0:7] = b"PCD_OPA"
    overview[10:12] = struct.pack(">H", 2)
    overview += pcd_raster(*first, tw, th) + pcd_raster(*second, tw, th)
    path = os.path.join(PCD, "overview.pcd")
    with open(path, "wb") as f:
        f.write(overview)
    write_reference(path, tw, th, pcd_rgba(*first, tw, th))


# ------------------------------------------------------------------------------ Dr. Halo CUT


def cut_row(indices):
    """One row: its byte count, packets (bit 0x80: repeat the next byte), a closing 0."""
    packets, i = bytearray(), 0
    while i < len(indices):
        run_length = 1
        while i + run_length < len(indices) and run_length < 127 and indices[i + run_length] == indices[i]:
            run_length += 1
        if run_length >= 3:
            packets += bytes((0x80 | run_length, indices[i]))
            i += run_length
            continue
        start = i
        while i < len(indices) and i - start < 127:
            if i + 2 < len(indices) and indices[i] == indices[i + 1] == indices[i + 2]:
                break
            i += 1
        packets += bytes((i - start,)) + bytes(indices[start:i])
    packets.append(0)
    return struct.pack("<H", len(packets)) + packets


def cut_file(width, height, indices):
    data = struct.pack("<HHH", width, height, 0)
    for y in range(height):
        data += cut_row(indices[y * width : (y + 1) * width])
    return data


def halo_palette(colors):
    """A palette file: the "AH" header with the highest index at 12 and maxima of 255, the
    colours from offset 40 as three 16-bit words each, none across a 512-byte block."""
    header = b"AH" + struct.pack("<HHBBHHHHHH", 0xA, 0, ord("P"), 0, 0, 0, len(colors) - 1, 255, 255, 255)
    header += b"Dr. Halo".ljust(20, b"\0")
    data = bytearray(header)
    for r, g, b in colors:
        if len(data) % 512 > 512 - 6:
            data += b"\0" * (512 - len(data) % 512)
        data += struct.pack("<HHH", r, g, b)
    data += b"\0" * (-len(data) % 512)
    return bytes(data)


def make_cut():
    os.makedirs(CUT, exist_ok=True)
    base = sample_image()
    quant = base.quantize(100)
    width, height = quant.size
    indices = list(quant.tobytes())
    flat = quant.getpalette()[: 3 * 100]
    colors = [tuple(flat[3 * i : 3 * i + 3]) for i in range(100)]

    def write(name, data):
        path = os.path.join(CUT, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def reference(path, palette):
        out = bytearray()
        for i in indices:
            r, g, b = palette[i] if i < len(palette) else (0, 0, 0)
            out += bytes((r, g, b, 255))
        write_reference(path, width, height, out)
        return out

    # 100 colours: the palette's second block starts with colour 78.
    path = write("halo100.cut", cut_file(width, height, indices))
    write("halo100.pal", halo_palette(colors))
    expected = reference(path, colors)
    magick = run(["convert", "cut:" + path, "-depth", "8", "rgba:-"])
    assert magick == bytes(expected), "ImageMagick reads halo100.cut differently"

    # No palette file: a grey ramp (the indices as grey levels).
    path = write("nopalette.cut", cut_file(width, height, indices))
    reference(path, [(i, i, i) for i in range(256)])

    # A palette file in capitals beside the image, of 16 colours: higher indices show black.
    small = [i % 40 for i in indices]
    path = write("upper.cut", cut_file(width, height, small))
    write("upper.PAL", halo_palette(colors[:16]))
    out = bytearray()
    for i in small:
        r, g, b = colors[i] if i < 16 else (0, 0, 0)
        out += bytes((r, g, b, 255))
    write_reference(path, width, height, out)

    # A palette file stating 300 colours: the first 256 are taken.
    many = [((i * 7) % 256, (i * 13) % 256, (i * 29) % 256) for i in range(300)]
    wide = [(x * 7 + y * 3) % 256 for y in range(height) for x in range(width)]
    path = write("colors300.cut", cut_file(width, height, wide))
    write("colors300.pal", halo_palette(many))
    out = bytearray()
    for i in wide:
        out += bytes(many[i] + (255,))
    write_reference(path, width, height, out)


# ------------------------------------------------------------------------------ RLA


def rla_channel(samples):
    """Run-length bytes of one channel: n >= 0 repeats the next byte n + 1 times, n < 0
    is followed by -n bytes."""
    out, i = bytearray(), 0
    while i < len(samples):
        run_length = 1
        while i + run_length < len(samples) and run_length < 128 and samples[i + run_length] == samples[i]:
            run_length += 1
        if run_length >= 2:
            out += bytes((run_length - 1, samples[i]))
            i += run_length
            continue
        start = i
        while i < len(samples) and i - start < 128:
            if i + 1 < len(samples) and samples[i] == samples[i + 1]:
                break
            i += 1
        out += struct.pack("b", -(i - start)) + bytes(samples[start:i])
    return out


def rla_file(width, height, channels, bits=8, matte=None, matte_bits=None, bottom_up=True,
             gamma=b"", space=b"rgb", reverse_rows=False):
    """`channels`: three lists of stored rows (row 0 first), each a list of samples; `matte`
    the same for one matte channel."""
    left, right = 0, width - 1
    bottom, top = (0, height - 1) if bottom_up else (height - 1, 0)
    header = bytearray(740)
    struct.pack_into(">8h", header, 0, left, right, bottom, top, left, right, bottom, top)
    struct.pack_into(">hhhhhH", header, 16, 0, 0 if bits <= 8 else 1, 3, 1 if matte else 0, 0, 0xFFFE)
    header[28 : 28 + len(gamma)] = gamma
    header[580 : 580 + len(space)] = space
    struct.pack_into(">hhh", header, 658, bits, 0, matte_bits or (bits if matte else 0))
    sample_bytes = 1 if bits <= 8 else 2
    rows = []
    for y in range(height):
        row = bytearray()
        planes = [(c[y], bits) for c in channels]
        if matte:
            planes.append((matte[y], matte_bits or bits))
        for samples, depth in planes:
            if depth > 8:
                stored = [v >> 8 for v in samples] + [v & 255 for v in samples]
            else:
                stored = samples
            coded = rla_channel(stored)
            row += struct.pack(">H", len(coded)) + coded
        rows.append(bytes(row))
    data_start = 740 + 4 * height
    order = list(range(height))
    if reverse_rows:
        order.reverse()
    offsets, body, at = [0] * height, bytearray(), data_start
    for y in order:
        offsets[y] = at
        body += rows[y]
        at += len(rows[y])
    assert sample_bytes in (1, 2)
    return bytes(header) + struct.pack(">%dI" % height, *offsets) + bytes(body)


def gamma_table(gamma):
    """The colour manager's table for an image made for a display of `gamma`, shown on one of
    2.2, over 8 bits: the reader corrects from 1 / gamma, so the exponent is gamma / 2.2."""
    exponent = f32(1.0 / f32(f32(f32(1.0) / f32(gamma)) * f32(2.2)))
    return [round((i / 255.0) ** exponent * 255.0) for i in range(256)]


def make_rla():
    os.makedirs(RLA, exist_ok=True)
    base = sample_image()
    width, height = base.size
    px = base.load()
    # Stored row 0 is the bottom row of a bottom-up file.
    def rows(channel, bottom_up=True, scale=lambda v: v):
        return [[scale(px[x, (height - 1 - s) if bottom_up else s][channel]) for x in range(width)]
                for s in range(height)]

    matte = [[(x * 255 // (width - 1) + 5 * s) % 256 for x in range(width)] for s in range(height)]

    def reference(path, table=None, alpha=None, bits=8):
        out = bytearray()
        for y in range(height):
            for x in range(width):
                r, g, b = px[x, y]
                if table:
                    r, g, b = table[r], table[g], table[b]
                a = 255 if alpha is None else alpha[height - 1 - y][x]
                if a != 255:
                    # Colours are stored premultiplied by the matte: shown straight.
                    r, g, b = (min(255, (v * 255 + a // 2) // a) if a else 0 for v in (r, g, b))
                out += bytes((r, g, b, a))
        write_reference(path, width, height, out)
        return out

    def write(name, data):
        path = os.path.join(RLA, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    rgb = [rows(c) for c in range(3)]
    path = write("rgb.rla", rla_file(width, height, rgb))
    reference(path)
    path = write("rgb_matte.rla", rla_file(width, height, rgb, matte=matte))
    reference(path, alpha=matte)
    path = write("rgb_reversed_rows.rla", rla_file(width, height, rgb, reverse_rows=True))
    reference(path)
    # Top-down: the active window's bottom above its top.
    path = write("topdown.rla", rla_file(width, height, [rows(c, False) for c in range(3)],
                                         bottom_up=False))
    reference(path)
    # Upper-case channel space.
    path = write("upper_space.rpf", rla_file(width, height, rgb, space=b"RGB"))
    reference(path)
    # The gamma, with a decimal point and with a decimal comma.
    path = write("gamma_point.rla", rla_file(width, height, rgb, gamma=b"2.2"))
    reference(path, table=gamma_table(2.2))
    path = write("gamma_comma.rla", rla_file(width, height, rgb, gamma=b"2,2"))
    reference(path, table=gamma_table(2.2))
    # An image made for a display of 1.8 is brightened for one of 2.2.
    path = write("gamma_mac.rla", rla_file(width, height, rgb, gamma=b"1.8"))
    reference(path, table=gamma_table(1.8))
    # 16-bit channels (high bytes of a row, then low bytes), shown as v * 255 div 65535.
    wide = [rows(c, scale=lambda v: v * 257 - (v & 3)) for c in range(3)]
    path = write("rgb16.rla", rla_file(width, height, wide, bits=16))
    out = bytearray()
    for y in range(height):
        for x in range(width):
            out += bytes(tuple(wide[c][height - 1 - y][x] * 255 // 65535 for c in range(3)) + (255,))
    write_reference(path, width, height, out)
    # 10-bit channels with a 8-bit matte: v * 255 div 1023.
    ten = [rows(c, scale=lambda v: v * 4 + (v >> 6)) for c in range(3)]
    path = write("rgb10_matte8.rla", rla_file(width, height, ten, bits=10, matte=matte, matte_bits=8))
    out = bytearray()
    for y in range(height):
        for x in range(width):
            a = matte[height - 1 - y][x]
            colour = (ten[c][height - 1 - y][x] * 255 // 1023 for c in range(3))
            if a != 255:
                colour = (min(255, (v * 255 + a // 2) // a) if a else 0 for v in colour)
            out += bytes(tuple(colour) + (a,))
    write_reference(path, width, height, out)


if __name__ == "__main__":
    import sys
    makers = {"pnm": make_pnm, "pcd": make_pcd, "cut": make_cut, "rla": make_rla}
    for name in sys.argv[1:] or makers:
        makers[name]()
