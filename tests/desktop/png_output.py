"""chronolith-image convert IN OUT.png, read back by Pillow, gives the pixels of the tool's own
RGBA map of IN (convert IN OUT.pam): usage png_output.py TOOL OUTDIR FILE..."""
import os
import subprocess
import sys

from PIL import Image


def read_pam(path):
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(b" ", 1) for line in data[:end].split(b"\n")[1:-2])
    return int(fields[b"WIDTH"]), int(fields[b"HEIGHT"]), data[end:]


def main(tool, outdir, files):
    failures = []
    for path in files:
        name = os.path.basename(path)
        png = os.path.join(outdir, name + ".png")
        pam = os.path.join(outdir, name + ".pam")
        for out in (png, pam):
            result = subprocess.run([tool, "convert", path, out], capture_output=True, text=True)
            if result.returncode != 0:
                failures.append(f"{name}: convert to {out} failed: {result.stderr.strip()}")
        if failures and failures[-1].startswith(name):
            continue
        width, height, rgba = read_pam(pam)
        # Fourth bytes all 0 are unused bytes, not transparency: the PNG is then opaque.
        if not any(rgba[3::4]):
            rgba = bytearray(rgba)
            rgba[3::4] = b"\xff" * (width * height)
        image = Image.open(png)
        if image.size != (width, height):
            failures.append(f"{name}: {image.size} instead of {(width, height)}")
            continue
        if image.mode not in ("P", "L", "1", "RGB", "RGBA"):
            failures.append(f"{name}: unexpected mode {image.mode}")
        if image.mode == "RGBA" and all(a == 255 for a in rgba[3::4]):
            failures.append(f"{name}: RGBA for an opaque image")
        if image.convert("RGBA").tobytes() != bytes(rgba):
            failures.append(f"{name}: pixels differ ({image.mode})")
    for failure in failures:
        print(failure)
    print(f"{len(files) - len(failures)} of {len(files)} files match")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
