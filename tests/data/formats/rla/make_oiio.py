#!/usr/bin/python3
"""An RLA file with a matte written by OpenImageIO, which stores the colours premultiplied by
it, and its pixels as OpenImageIO reads them back, straight (its TIFF output):

    /usr/bin/python3 tests/data/formats/rla/make_oiio.py

needs Debian's openimageio-tools (oiiotool) and python3-pil.
"""
import os
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from generate import sample_image, write_reference  # noqa: E402


def main():
    w, h = 13, 7
    src = os.path.join(HERE, "src.png")
    im = sample_image(w, h)
    im.putalpha(Image.frombytes("L", (w, h), bytes((x * 40) % 256 if x < 7 else 255
                                                   for y in range(h) for x in range(w))))
    im.save(src)
    path = os.path.join(HERE, "oiio", "matte.rla")
    subprocess.run(["oiiotool", src, "-d", "uint8", "-o", path], check=True)
    back = os.path.join(HERE, "back.tif")
    subprocess.run(["oiiotool", path, "-d", "uint8", "-o", back], check=True)
    decoded = Image.open(back).convert("RGBA")
    write_reference(path, w, h, decoded.tobytes())
    os.remove(src)
    os.remove(back)


if __name__ == "__main__":
    main()
