#!/usr/bin/python3
"""Large-document (PSB) fixtures: written and decoded by ImageMagick.

    /usr/bin/python3 tests/data/formats/psd/make_large.py

needs Debian's imagemagick (/usr/bin/convert).
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from generate import sample_image, write_reference  # noqa: E402


def magick_rgba(path):
    """The merged image as ImageMagick decodes it, as 8-bit RGBA rows; 16-bit samples are
    taken to 8 bits as the library does, v * 255 // 65535. (OpenImageIO 2.4 reads the rows of
    these run-length files one sample out of place, so it is not the reference here.)"""
    size = subprocess.run(["/usr/bin/identify", "-format", "%w %h", path + "[0]"], check=True,
                          capture_output=True, text=True).stdout.split()
    raw = subprocess.run(["/usr/bin/convert", path + "[0]", "-depth", "16", "-endian", "MSB",
                          "rgb:-"], check=True, capture_output=True).stdout
    rgba = bytearray()
    for i in range(0, len(raw), 6):
        rgba += bytes(int.from_bytes(raw[i + k : i + k + 2], "big") * 255 // 65535 for k in (0, 2, 4))
        rgba.append(255)
    return (int(size[0]), int(size[1])), bytes(rgba)


def main():
    src = os.path.join(HERE, "src.ppm")
    sample_image(13, 7).save(src)
    for name, args in [
        ("im_rgb_rle.psb", ["-compress", "RLE"]),
        ("im_gray16_raw.psb", ["-colorspace", "Gray", "-depth", "16", "-compress", "None"]),
    ]:
        path = os.path.join(HERE, name)
        subprocess.run(["/usr/bin/convert", src, *args, "PSB:" + path], check=True)
        size, rgba = magick_rgba(path)
        write_reference(path, size[0], size[1], rgba)
    os.remove(src)


if __name__ == "__main__":
    main()
