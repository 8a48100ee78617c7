#!/usr/bin/python3
# Pillow's decoding time of the TIFFBench inputs, timed by reader_pillow.py over the files
# Pillow can decode (it cannot decode floating-point RGB); prints {file: milliseconds per load}
# as JSON, the files named as the benchmark names them (without ".tif").
#   /usr/bin/python3 bench/tiff_pillow.py bench/data/tiff [seconds]
import contextlib
import io
import json
import os
import sys
import tempfile

from PIL import Image

import reader_pillow


def main():
    folder = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as readable:
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            try:
                with Image.open(path) as im:
                    im.load()
            except OSError:
                continue
            os.symlink(path, os.path.join(readable, name))
        sys.argv[1] = readable
        # The benchmark names its files without ".tif".
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            reader_pillow.main()
    times = json.loads(printed.getvalue())
    print(json.dumps({os.path.splitext(name)[0]: ms for name, ms in times.items()}))


if __name__ == "__main__":
    main()
