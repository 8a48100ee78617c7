#!/usr/bin/python3
# Pillow's decoding time for the TIFFBench inputs (it cannot be linked into the benchmark):
# each file is read into memory once, then opened and loaded from memory, 5 repetitions of
# as many runs as fit in about a second of processor time; prints the median processor time
# per load in milliseconds (comparable with the CPU column of tiff_bench on a busy machine).
# Usage: /usr/bin/python3 bench/tiff_pillow.py bench/data/tiff
import io
import os
import statistics
import sys
import time

from PIL import Image


def main():
    folder = sys.argv[1]
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".tif"):
            continue
        data = open(os.path.join(folder, name), "rb").read()
        times = []
        for _ in range(5):
            runs, start = 0, time.process_time()
            while True:
                Image.open(io.BytesIO(data)).load()
                runs += 1
                elapsed = time.process_time() - start
                if elapsed > 1.0:
                    break
            times.append(elapsed / runs * 1000)
        print("%-20s %8.1f ms" % (name, statistics.median(times)))


if __name__ == "__main__":
    main()
