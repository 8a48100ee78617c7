#!/usr/bin/python3
# Writes the inputs of PaintBench with independent encoders into the folder given as the first
# argument; files that exist already are kept. 4000 x 3000 pictures (12 megapixels) of
# make_reader_inputs.py's photo-like kind:
#
#   rgb24_rle.pcx     24 bits in three planes, run-length compressed (Pillow)
#   palette_rle.pcx   8 bits, 256 colours, run-length compressed (Pillow)
#   rgb_rle.sgi       RGB, 8 bits, run-length compressed (netpbm pnmtosgi)
#   rgb_raw.psd       RGB, 8 bits, raw (ImageMagick)
#   rgb_rle.psd       RGB, 8 bits, PackBits (ImageMagick)
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_reader_inputs import photo_like  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    names = ["rgb24_rle.pcx", "palette_rle.pcx", "rgb_rle.sgi", "rgb_raw.psd", "rgb_rle.psd"]
    missing = [n for n in names if not os.path.exists(os.path.join(out, n))]
    if not missing:
        return
    big = photo_like(4000, 3000)
    source = os.path.join(out, "paint_source.ppm")
    big.save(source)
    for name in missing:
        path = os.path.join(out, name)
        if name == "rgb24_rle.pcx":
            big.save(path)
        elif name == "palette_rle.pcx":
            big.quantize(256).save(path)
        elif name == "rgb_rle.sgi":
            with open(path, "wb") as f:
                subprocess.run(["pnmtosgi", "-rle", source], stdout=f, check=True)
        else:
            compress = "None" if "raw" in name else "RLE"
            subprocess.run(["convert", source, "-compress", compress, path], check=True)
    os.remove(source)


if __name__ == "__main__":
    main()
