"""chronolith-image thumbnail on good and hostile files: usage thumbnails.py TOOL OUTDIR
GOOD... -- HOSTILE... A good file gives a PNG within the size with the image's aspect ratio
(never enlarged); a hostile file fails within two seconds and leaves no file behind. A
decompression bomb (an 8192 x 8192 PNG of 195 KB, made here with Pillow) is decoded at the
thumbnail's size, so it gives its thumbnail within two seconds; a file that never ends (a named
pipe nobody writes to) must stop at the 20-second time limit."""
import os
import subprocess
import sys
import time

from PIL import Image

SIZE = 16


def thumbnail(tool, path, out):
    start = time.monotonic()
    result = subprocess.run([tool, "thumbnail", path, out, str(SIZE)], capture_output=True,
                            text=True, timeout=60)
    return result, time.monotonic() - start


def main(tool, outdir, good, hostile):
    os.makedirs(outdir, exist_ok=True)
    for old in os.listdir(outdir):
        os.remove(os.path.join(outdir, old))
    bomb = os.path.join(outdir, "bomb.png")
    Image.new("RGB", (8192, 8192)).save(bomb, compress_level=9)
    good = good + [bomb]
    failures = []
    for path in good:
        name = os.path.basename(path)
        out = os.path.join(outdir, name + ".thumb.png")
        result, seconds = thumbnail(tool, path, out)
        if result.returncode != 0:
            failures.append(f"{name}: failed: {result.stderr.strip()}")
            continue
        if path == bomb and seconds > 2:
            failures.append(f"{name}: {seconds:.2f} s")
        source = subprocess.run([tool, "info", path], capture_output=True, text=True).stdout
        width = int(source.split("\nWidth: ")[1].split("\n")[0])
        height = int(source.split("\nHeight: ")[1].split("\n")[0])
        got = Image.open(out).size
        longest = min(SIZE, max(width, height))
        if max(got) != longest or abs(got[0] * height - got[1] * width) > max(width, height):
            failures.append(f"{name}: {got} for {width} x {height}")
    for path in hostile:
        name = os.path.basename(path)
        out = os.path.join(outdir, name + ".thumb.png")
        result, seconds = thumbnail(tool, path, out)
        if result.returncode == 0 or seconds > 2 or os.path.exists(out):
            failures.append(f"{name}: status {result.returncode} after {seconds:.2f} s")
    stall = os.path.join(outdir, "stall.pcx")
    os.mkfifo(stall)
    writer = os.open(stall, os.O_RDWR)  # a writer that never writes: reads block
    out = stall + ".thumb.png"
    result, seconds = thumbnail(tool, stall, out)
    os.close(writer)
    if result.returncode != 1 or not 19 < seconds < 30 or os.path.exists(out):
        failures.append(f"stall.pcx: status {result.returncode} after {seconds:.2f} s")
    leftovers = [f for f in os.listdir(outdir) if ".thumb.png." in f]
    if leftovers:
        failures.append(f"temporary files left: {leftovers}")
    for failure in failures:
        print(failure)
    print(f"{len(good) + len(hostile) + 1} files, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    split = sys.argv.index("--")
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:split], sys.argv[split + 1:]))
