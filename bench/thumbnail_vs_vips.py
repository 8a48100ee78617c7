#!/usr/bin/python3
# `chronolith-image thumbnail IN OUT 256` against `vipsthumbnail -s 256` on the 12-megapixel
# JPEG, PNG, TIFF, P6 and GIF files of the benchmarks: whole processes, the processor time each
# takes (user and system, as the kernel counts it for the child), the median of the rounds, the
# two programs alternating. Prints a table; ours / vips below 0.5 meets the target.
#
#   /usr/bin/python3 bench/thumbnail_vs_vips.py build-bench/app/chronolith-image [rounds]
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
FILES = ["readers/jpeg.jpg", "readers/png_rgb.png", "tiff/rgb_lzw.tif", "maps/rgb_12mp.ppm",
         "readers/gif_8bit.gif"]


def cpu_seconds(command):
    """Processor time of one run of `command`, which must succeed."""
    before = os.times()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = os.times()
    return (after.children_user - before.children_user) + (
        after.children_system - before.children_system)


def main():
    tool = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    vips = shutil.which("vipsthumbnail")
    if not vips:
        sys.exit("vipsthumbnail is missing: bash scripts/install-deps.sh --bench")
    out = tempfile.mkdtemp()
    print("| file | chronolith-image (ms) | vipsthumbnail (ms) | ours / vips |")
    print("|---|---:|---:|---:|")
    for name in FILES:
        path = os.path.join(DATA, name)
        if not os.path.exists(path):
            sys.exit("missing input %s: make bench-peers writes it" % name)
        ours, theirs = [], []
        for r in range(rounds):
            runs = [(ours, [tool, "thumbnail", path, os.path.join(out, "ours.png"), "256"]),
                    (theirs, [vips, path, "-s", "256", "-o", os.path.join(out, "vips.png")])]
            for samples, command in runs if r % 2 == 0 else reversed(runs):
                samples.append(cpu_seconds(command) * 1000)
        a, b = statistics.median(ours), statistics.median(theirs)
        print("| %s | %.1f | %.1f | %.2f |" % (os.path.basename(name), a, b, a / b))
    shutil.rmtree(out)


if __name__ == "__main__":
    main()
