#!/usr/bin/python3
# Writes the inputs of ReaderBench, all 4000 x 3000 pixels, with independent encoders (Pillow,
# netpbm and ImageMagick) into the folder given as the first argument. Files that exist already are
# kept.
#
#   png_rgb.png       RGB, 8 bits per sample, photograph-like, every row Paeth-filtered (netpbm)
#   png_rgba.png      RGBA, alpha a radial gradient
#   png_palette.png   256-colour palette
#   png_gray16.png    grey, 16 bits per sample
#   png_adam7.png     RGB, Adam7 interlaced (ImageMagick)
#   gif_8bit.gif      256 colours
#   tga_24_raw.tga    24 bits, uncompressed
#   tga_24_rle.tga    24 bits, run-length compressed, a drawing (flat areas, hard edges)
#   tga_32_rle.tga    32 bits, run-length compressed, the drawing with an alpha gradient in bands
#   jpeg.jpg          baseline, quality 90, 4:2:0
#   pcx_8bit.pcx      256 colours, run-length compressed
#   pcx_24bit.pcx     24 bits in three planes, run-length compressed
#   ppm_rgb.ppm       raw pixel map (P6), maximum 255
#   pgm_gray.pgm      raw grey map (P5), maximum 255
import os
import subprocess
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageOps


def photo_like(width, height, noisy=True):
    """Smooth gradients, shapes with hard edges and (if noisy) fine noise, like a photograph
    with detail; without the noise, a drawing's flat areas once posterized."""
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
    if not noisy:
        return im
    noise = Image.effect_noise((width, height), 12).convert("RGB")
    im = ImageChops.add(im, noise, scale=1.0, offset=-100)
    return im.filter(ImageFilter.SMOOTH)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    def path(name):
        return os.path.join(out, name)

    names = ["png_rgb.png", "png_rgba.png", "png_palette.png", "png_gray16.png", "gif_8bit.gif",
             "tga_24_raw.tga", "tga_24_rle.tga", "tga_32_rle.tga", "jpeg.jpg", "png_adam7.png",
             "pcx_8bit.pcx", "pcx_24bit.pcx", "ppm_rgb.ppm", "pgm_gray.pgm"]
    if all(os.path.exists(path(name)) for name in names):
        return
    width, height = 4000, 3000
    rgb = photo_like(width, height)
    alpha = Image.radial_gradient("L").resize(rgb.size)
    rgba = rgb.copy()
    rgba.putalpha(alpha)
    quant = rgb.quantize(256)
    drawing = ImageOps.posterize(photo_like(width, height, noisy=False), 3)
    drawing_alpha = drawing.copy()
    drawing_alpha.putalpha(ImageOps.posterize(alpha, 3))
    writers = {
        "png_rgba.png": lambda p: rgba.save(p),
        "png_palette.png": lambda p: quant.save(p),
        "png_gray16.png": lambda p: rgb.convert("L").point(lambda v: v * 257, "I")
        .convert("I;16").save(p),
        "gif_8bit.gif": lambda p: quant.save(p, interlace=False),
        "tga_24_raw.tga": lambda p: rgb.save(p),
        "tga_24_rle.tga": lambda p: drawing.save(p, compression="tga_rle"),
        "tga_32_rle.tga": lambda p: drawing_alpha.save(p, compression="tga_rle"),
        "jpeg.jpg": lambda p: rgb.save(p, quality=90),
        "pcx_8bit.pcx": lambda p: quant.save(p),
        "pcx_24bit.pcx": lambda p: rgb.save(p),
        "ppm_rgb.ppm": lambda p: rgb.save(p),
        "pgm_gray.pgm": lambda p: rgb.convert("L").save(p),
    }
    for name, write in writers.items():
        if not os.path.exists(path(name)):
            write(path(name))
    # Written last: the build checks for it.
    source = path("rgb_source.ppm")
    rgb.save(source)
    if not os.path.exists(path("png_rgb.png")):
        with open(path("png_rgb.png"), "wb") as png:
            subprocess.run(["pnmtopng", "-paeth", source], stdout=png, check=True)
    if not os.path.exists(path("png_adam7.png")):
        subprocess.run(["convert", source, "-interlace", "PNG", "PNG24:" + path("png_adam7.png")],
                       check=True)
    os.remove(source)


if __name__ == "__main__":
    main()
