#!/usr/bin/python3
# Targa files of the layouts real files use and few tools write, with the reference of their
# pixels beside each (<file>.rgba.gz, as tests/data/formats/generate.py writes them).
#
# The bb_ files are built here byte by byte from Truevision's TGA file format document (version
# 2.0): run-length packets that run on across row ends (and one across the end of the image, cut
# there), right-to-left pixel order, a colour map whose first index is not 0, 16-bit pixels whose
# attribute bit is alpha, a 32-bit colour map with alpha. The pil_ files are Pillow's grey and
# alpha images. Every reference is decoded by two independent decoders that must agree, where
# two read the layout:
#   ImageMagick (`convert -auto-orient`) and OpenImageIO (`oiiotool`) for the packets across rows
#   (Pillow 9.4 refuses them as a "buffer overrun") and the right-to-left order, with Pillow too;
#   Pillow and ImageMagick for the colour map's first index;
#   ImageMagick alone for the 16-bit attribute bit and the 32-bit colour map (Pillow 9.4 drops
#   the one and cannot read the other; OpenImageIO drops both);
#   Pillow alone for grey and alpha (ImageMagick reads those pixels as 5-5-5 colour).
#
# Run from the repository root: /usr/bin/python3 tests/data/formats/tga/make_cases.py
import gzip
import os
import struct
import subprocess
import tempfile

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))


def header(image_type, width, height, depth, descriptor, map_type=0, map_first=0, map_length=0,
           map_bits=0):
    return struct.pack("<BBBHHBHHHHBB", 0, map_type, image_type, map_first, map_length, map_bits,
                       0, 0, width, height, depth, descriptor)


def by_imagemagick(path):
    out = subprocess.run(["/usr/bin/convert", path, "-auto-orient", "-depth", "8", "RGBA:-"],
                         check=True, capture_output=True).stdout
    return bytes(out)


def by_openimageio(path):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "out.tif")
        subprocess.run(["oiiotool", path, "-d", "uint8", "-o", out], check=True,
                       capture_output=True)
        return Image.open(out).convert("RGBA").tobytes()


def by_pillow(path):
    im = Image.open(path)
    return im.convert("RGBA").tobytes()


def write(name, data, width, height, decoders):
    path = os.path.join(HERE, name)
    with open(path, "wb") as f:
        f.write(data)
    pixels = [decode(path) for decode in decoders]
    for other in pixels[1:]:
        assert other == pixels[0], name
    assert len(pixels[0]) == width * height * 4, name
    with open(path + ".rgba.gz", "wb") as f:
        f.write(gzip.compress(b"RGBA" + struct.pack("<II", width, height) + pixels[0], 9, mtime=0))


R, G, B, W, K = b"\x00\x00\xff", b"\x00\xff\x00", b"\xff\x00\x00", b"\xff\xff\xff", b"\x00\x00\x00"


def main():
    # 24 bits, 5 x 4, bottom row first. A run of 7 crosses row 0 into row 1, a raw packet of 6
    # crosses row 1 into row 2, a run of 2 ends row 2 exactly, a raw packet of 8 crosses row 3
    # and the end of the image: its last 3 pixels are cut.
    packets = (bytes([0x86]) + R + bytes([0x05]) + G + B + W + K + R + G + bytes([0x81]) + B
               + bytes([0x07]) + W + K + W + K + R + G + B + W)
    write("bb_rle_across_rows.tga", header(10, 5, 4, 24, 0x00) + packets, 5, 4,
          [by_imagemagick, by_openimageio])
    # 8-bit grey, 4 x 3, top row first, right to left; packets across rows.
    grey = bytes([0x84, 10, 0x02, 20, 30, 40, 0x82, 50, 0x00, 60])
    write("bb_rle_right_to_left_top_down.tga", header(11, 4, 3, 8, 0x30) + grey, 4, 3,
          [by_imagemagick, by_openimageio])
    # 24 bits stored, 3 x 2, bottom row first, right to left.
    write("bb_right_to_left.tga", header(2, 3, 2, 24, 0x10) + R + G + B + W + K + R, 3, 2,
          [by_imagemagick, by_openimageio, by_pillow])
    # A colour map of three 24-bit entries for the indices 5, 6 and 7.
    write("bb_map_first_index.tga",
          header(1, 3, 1, 8, 0x20, map_type=1, map_first=5, map_length=3, map_bits=24)
          + R + G + B + bytes([7, 5, 6]), 3, 1, [by_imagemagick, by_pillow])
    # 16 bits with one attribute bit: red opaque, green transparent, white opaque, black
    # transparent.
    words = [0x8000 | 31 << 10, 31 << 5, 0xFFFF, 0x0000]
    write("bb_rgb16_alpha.tga", header(2, 2, 2, 16, 0x21) + struct.pack("<4H", *words), 2, 2,
          [by_imagemagick])
    # Indices into a 32-bit colour map whose entries carry alpha 255, 128 and 0.
    cmap = B + b"\xff" + G + b"\x80" + R + b"\x00"
    write("bb_cmap32_alpha.tga",
          header(1, 3, 1, 8, 0x28, map_type=1, map_length=3, map_bits=32) + cmap
          + bytes([0, 1, 2]), 3, 1, [by_imagemagick])
    # Pillow's grey and alpha images (16 bits a pixel), stored and run-length compressed.
    la = Image.merge("LA", (Image.linear_gradient("L").resize((7, 5)),
                            Image.radial_gradient("L").resize((7, 5))))
    for name, options in [("pil_la_raw_bottomup.tga", {}),
                          ("pil_la_rle_topdown.tga", {"compression": "tga_rle", "orientation": 1})]:
        path = os.path.join(HERE, name)
        la.save(path, **options)
        write(name, open(path, "rb").read(), 7, 5, [by_pillow])


if __name__ == "__main__":
    main()
