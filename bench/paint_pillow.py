#!/usr/bin/python3
# Pillow's side of PaintBench: decodes each input of bench/data/paint from memory as often as
# PaintBench does and prints the median time and the process's peak memory growth. One process
# per file, so that the peaks do not mix.
#
# Run: /usr/bin/python3 bench/paint_pillow.py [repetitions]
import io
import os
import resource
import statistics
import subprocess
import sys
import time

from PIL import Image

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "paint")
FILES = ["rgb24_rle.pcx", "palette_rle.pcx", "rgb_rle.sgi", "rgb_raw.psd", "rgb_rle.psd"]


def measure(name, repetitions):
    data = open(os.path.join(DATA, name), "rb").read()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    for _ in range(repetitions):
        start = time.perf_counter()
        im = Image.open(io.BytesIO(data))
        im.load()
        times.append(time.perf_counter() - start)
        del im
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print("pillow %-16s median %8.2f ms  peak +%.1f MiB" % (name, statistics.median(times) * 1000,
                                                           peak / 1024))


if __name__ == "__main__":
    if len(sys.argv) > 2:
        measure(sys.argv[2], int(sys.argv[1]))
    else:
        repetitions = sys.argv[1] if len(sys.argv) > 1 else "9"
        for name in FILES:
            subprocess.run([sys.executable, __file__, repetitions, name], check=True)
