#!/usr/bin/python3
# Pillow's decoding time of the TIFFBench inputs (it cannot be linked into the benchmark), timed
# as reader_pillow.py times the ReaderBench inputs: the file in memory, opened and loaded into
# pixels as many times as fit in `seconds` of processor time; prints {file: milliseconds per
# load} as JSON. Files Pillow cannot decode (floating-point RGB) are left out.
#   /usr/bin/python3 bench/tiff_pillow.py bench/data/tiff [seconds]
import io
import json
import os
import sys
import time

from PIL import Image, UnidentifiedImageError


def main():
    folder = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 0.5
    times = {}
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".tif"):
            continue
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        try:
            with Image.open(io.BytesIO(data)) as im:
                im.load()
        except (UnidentifiedImageError, OSError):
            continue
        runs, start = 0, time.process_time()
        while True:
            with Image.open(io.BytesIO(data)) as im:
                im.load()
            runs += 1
            elapsed = time.process_time() - start
            if elapsed >= seconds:
                break
        times[name] = elapsed / runs * 1000
    print(json.dumps(times))


if __name__ == "__main__":
    main()
