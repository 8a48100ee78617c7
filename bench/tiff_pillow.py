#!/usr/bin/python3
# Pillow's decoding time of the TIFFBench inputs, timed by reader_pillow.py over the files
# Pillow can decode (it cannot decode floating-point RGB); prints {file: milliseconds per load}
# as JSON.
#   /usr/bin/python3 bench/tiff_pillow.py bench/data/tiff [seconds]
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
        reader_pillow.main()


if __name__ == "__main__":
    main()
