#!/usr/bin/python3
# Writes the inputs of MapsBench into the folder given as the first argument, with independent
# encoders; files that exist already are kept.
#
#   rgb_12mp.ppm    4000 x 3000 raw pixel map, maximum 255 (Pillow)
#   gray_12mp.pgm   4000 x 3000 raw grey map, maximum 255 (netpbm ppmtopgm of the pixel map)
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_reader_inputs import photo_like  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    ppm = os.path.join(out, "rgb_12mp.ppm")
    pgm = os.path.join(out, "gray_12mp.pgm")
    if not os.path.exists(ppm):
        photo_like(4000, 3000).save(ppm)
    if not os.path.exists(pgm):
        with open(pgm, "wb") as f:
            subprocess.run(["ppmtopgm", ppm], stdout=f, check=True)


if __name__ == "__main__":
    main()
