#!/usr/bin/python3
# Pillow's decoding time of the MapsBench inputs, timed the way MapsBench times its sides: the
# file in memory, decoded into pixels, median of the runs.
#   /usr/bin/python3 bench/maps_pillow.py bench/data/maps [runs]
import io
import os
import statistics
import sys
import time

from PIL import Image


def main():
    folder = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    for name in ("rgb_12mp.ppm", "gray_12mp.pgm"):
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            with Image.open(io.BytesIO(data)) as im:
                im.load()
            times.append((time.perf_counter() - start) * 1000)
        print("Pillow %-14s median %.2f ms (min %.2f, %d runs)" % (name, statistics.median(times), min(times), runs))


if __name__ == "__main__":
    main()
