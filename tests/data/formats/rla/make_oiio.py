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
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "psd"))
from generate import write_reference  # noqa: E402
from make_alpha import sample_with_alpha  # noqa: E402


def main():
    w, h = 13, 7
    src = os.path.join(HERE, "src.png")
    sample_with_alpha(w, h).save(src)
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
