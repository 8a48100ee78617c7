#!/usr/bin/python3
# Writes the inputs of ReaderBench with independent encoders (Pillow and ImageMagick) into the
# folder given as the first argument. Files that exist already are kept.
#
#   rgb_12mp.png      4000 x 3000 RGB, 8 bits per sample (Pillow)
#   rgba.png          2048 x 1536 RGBA (Pillow)
#   palette.png       2048 x 1536, 256-colour palette (Pillow)
#   adam7.png         2048 x 1536 RGB, Adam7 interlaced (ImageMagick)
#   palette.gif       2048 x 1536, 256 colours (Pillow)
#   rgb_rle.tga       4000 x 3000, 24 bits, run-length compressed (Pillow)
#   rgba_raw.tga      2048 x 1536, 32 bits, uncompressed (Pillow)
import os
import subprocess
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter


def photo_like(width, height):
    """Smooth gradients, shapes with hard edges and fine noise, like a photograph with detail."""
    small = (width // 16, height // 16)
    red = Image.linear_gradient("L").resize(small).rotate(30, expand=False)
    green = Image.radial_gradient("L").resize(small)
    blue = Image.linear_gradient("L").transpose(Image.Transpose.ROTATE_90).resize(small)
    im = Image.merge("RGB", (red, green, blue)).resize((width, height), Image.BICUBIC)
    draw = ImageDraw.Draw(im)
    for i in range(40):
        x, y = (i * 7919) % width, (i * 104729) % height
        r = 40 + (i * 31) % 300
        draw.ellipse((x - r, y - r, x + r, y + r), fill=((i * 50) % 256, (i * 90) % 256, (i * 130) % 256))
    noise = Image.effect_noise((width, height), 12).convert("RGB")
    im = ImageChops.add(im, noise, scale=1.0, offset=-100)
    return im.filter(ImageFilter.SMOOTH)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    def path(name):
        return os.path.join(out, name)

    def missing(name):
        return not os.path.exists(path(name))

    big = None
    if missing("rgb_12mp.png") or missing("rgb_rle.tga"):
        big = photo_like(4000, 3000)
    if missing("rgb_12mp.png"):
        big.save(path("rgb_12mp.png"))
    if missing("rgb_rle.tga"):
        big.save(path("rgb_rle.tga"), compression="tga_rle")
    mid = photo_like(2048, 1536)
    if missing("rgba.png") or missing("rgba_raw.tga"):
        rgba = mid.copy()
        rgba.putalpha(Image.radial_gradient("L").resize(mid.size))
        if missing("rgba.png"):
            rgba.save(path("rgba.png"))
        if missing("rgba_raw.tga"):
            rgba.save(path("rgba_raw.tga"))
    if missing("palette.png") or missing("palette.gif"):
        quant = mid.quantize(256)
        if missing("palette.png"):
            quant.save(path("palette.png"))
        if missing("palette.gif"):
            quant.save(path("palette.gif"), interlace=False)
    if missing("adam7.png"):
        mid.save(path("adam7_source.ppm"))
        subprocess.run(["convert", path("adam7_source.ppm"), "-interlace", "PNG",
                        "PNG24:" + path("adam7.png")], check=True)
        os.remove(path("adam7_source.ppm"))


if __name__ == "__main__":
    main()
