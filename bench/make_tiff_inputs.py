#!/usr/bin/python3
# Writes the inputs of TIFFBench into the folder given as the first argument: one 4000 x 3000
# RGB picture (the photograph-like picture of make_reader_inputs.py) saved uncompressed by
# Pillow (as one strip, as Pillow writes it), then copied by libtiff's tiffcp in strips of 16
# rows (192 KB) in the schemes a user meets. Files that exist already are kept.
#
#   rgb_none.tif      uncompressed          rgb_lzw.tif       LZW
#   rgb_lzw_pred.tif  LZW, predictor        rgb_zip.tif       deflate
#   rgb_zip_pred.tif  deflate, predictor    rgb_packbits.tif  PackBits
#   rgb_jpeg.tif      JPEG quality 90, YCbCr 2 x 2
#   rgb_float_zip_fpred.tif  32-bit floating-point samples (ImageMagick), deflate with the
#                     floating-point predictor
#   page_g4.tif       a page of text, A4 at 300 dpi (2480 x 3508), bilevel Group 4, as
#                     ImageMagick writes it
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_reader_inputs import photo_like  # noqa: E402

SCHEMES = {
    "rgb_none.tif": None,
    "rgb_lzw.tif": "lzw",
    "rgb_lzw_pred.tif": "lzw:2",
    "rgb_zip.tif": "zip",
    "rgb_zip_pred.tif": "zip:2",
    "rgb_packbits.tif": "packbits",
    "rgb_jpeg.tif": "jpeg:90",
    "rgb_float_zip_fpred.tif": "zip:3",
}
# Copied from this floating-point picture rather than from rgb_none.tif.
FLOAT_SOURCE = {"rgb_float_zip_fpred.tif": "rgb_float.tif"}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    page = os.path.join(out, "page_g4.tif")
    if not os.path.exists(page):
        with open("/usr/share/common-licenses/GPL-3") as licence:
            text = "".join(licence.readlines()[:68])
        subprocess.run(["/usr/bin/convert", "-size", "2480x3508", "xc:white", "-font",
                        "Liberation-Serif", "-pointsize", "38", "-annotate", "+200+250", text,
                        "-monochrome", "-compress", "Group4", page], check=True)
    missing = [name for name in SCHEMES if not os.path.exists(os.path.join(out, name))]
    if not missing:
        return
    source = os.path.join(out, "rgb_none.tif")
    if not os.path.exists(source):
        photo_like(4000, 3000).save(source)
    for name in missing:
        if not SCHEMES[name]:
            continue
        copied = source
        if name in FLOAT_SOURCE:
            # ImageMagick writes the samples as 32-bit floats (and exits 1 over a predictor tag
            # it does not know, after writing the file).
            copied = os.path.join(out, "..", FLOAT_SOURCE[name])
            subprocess.run(["convert", source, "-define", "quantum:format=floating-point",
                            "-depth", "32", "-compress", "none", copied])
        subprocess.run(["tiffcp", "-c", SCHEMES[name], "-r", "16", copied,
                        os.path.join(out, name)], check=True)
        if copied != source:
            os.remove(copied)


if __name__ == "__main__":
    main()
