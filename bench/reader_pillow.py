#!/usr/bin/python3
# Pillow's decoding time of the ReaderBench inputs (it cannot be linked into the benchmark),
# timed as the benchmark times its sides: the file in memory, opened and loaded into pixels as
# many times as fit in `seconds` of processor time; prints {file: milliseconds per load} as JSON.
# bench_peers.py runs it with the allocator set up as BenchSupport sets up the benchmark's.
#   /usr/bin/python3 bench/reader_pillow.py bench/data/readers [seconds]
import io
import json
import os
import sys
import time

from PIL import Image


def main():
    folder = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 0.5
    times = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
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
