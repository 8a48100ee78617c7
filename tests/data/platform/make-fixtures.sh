#!/usr/bin/env bash
# Writes the picture fixtures of tests/platform: bitmaps and an icon by ImageMagick, JPEG files
# by Pillow, and beside each the pixels as the writing tool decodes them (X.ref.pam, RGBA).
set -euo pipefail
cd "$(dirname "$0")"
py=/usr/bin/python3

# Source: 37 x 23 pixels of gradients and a few edges (odd width: rows need padding).
$py - <<'PY'
from PIL import Image
img = Image.new("RGBA", (37, 23))
for y in range(23):
    for x in range(37):
        img.putpixel((x, y), (x * 7 % 256, y * 11 % 256, (x * y * 3) % 256, 255 if (x + y) % 5 else (x * 13) % 256))
img.save("/tmp/chronolith-src.png")
PY
src=/tmp/chronolith-src.png
opaque=/tmp/chronolith-opaque.png
convert $src -alpha off $opaque

convert $opaque -monochrome BMP3:bmp1.bmp
convert $opaque -colors 16 -type Palette BMP3:bmp4.bmp
convert $opaque -colors 200 -type Palette -compress None BMP3:bmp8.bmp
convert $opaque -colors 200 -type Palette -compress RLE BMP3:bmp8rle.bmp
convert $opaque -define bmp:subtype=RGB555 BMP:bmp15.bmp
convert $opaque -define bmp:subtype=RGB565 BMP:bmp16.bmp
convert $opaque -type TrueColor BMP3:bmp24.bmp
convert $src -type TrueColorAlpha BMP:bmp32.bmp
# Top-down: the 24-bit file with its rows reversed and its height negated.
$py - <<'PY'
import struct
data = bytearray(open("bmp24.bmp", "rb").read())
offset, = struct.unpack_from("<I", data, 10)
width, height = struct.unpack_from("<ii", data, 18)
stride = (width * 3 + 3) // 4 * 4
rows = [data[offset + i * stride: offset + (i + 1) * stride] for i in range(height)]
data[offset:offset + stride * height] = b"".join(reversed(rows))
struct.pack_into("<i", data, 22, -height)
open("bmptopdown.bmp", "wb").write(data)
PY
convert $src -resize 16x16 ICO:icon.ico
convert $opaque -resize 16x16! -colors 16 -type Palette ICO:icon4.ico

# JPEG: baseline colour, progressive, grey and (Adobe, inverted) CMYK.
$py - <<'PY'
from PIL import Image
img = Image.open("/tmp/chronolith-opaque.png").convert("RGB")
img.save("jpeg_rgb.jpg", quality=85)
img.save("jpeg_progressive.jpg", quality=90, progressive=True, subsampling=0)
img.convert("L").save("jpeg_gray.jpg", quality=80)
img.convert("CMYK").save("jpeg_cmyk.jpg", quality=90)
PY

# References. ImageMagick decodes its own files; Pillow (libjpeg) the JPEG files, CMYK turned
# into RGB with R = (255 - C) * (255 - K) / 255 rounded, and likewise G from M, B from Y.
for f in bmp1 bmp4 bmp8 bmp8rle bmp15 bmp16 bmp24 bmptopdown; do
    convert $f.bmp -alpha opaque -depth 8 PAM:$f.ref.pam
done
convert bmp32.bmp -depth 8 PAM:bmp32.ref.pam
convert icon.ico -depth 8 PAM:icon.ref.pam
convert icon4.ico -alpha opaque -depth 8 PAM:icon4.ref.pam
$py - <<'PY'
from PIL import Image
def pam(name, pixels, w, h):
    with open(name, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (w, h))
        f.write(bytes(v for p in pixels for v in p))
for n in ("jpeg_rgb", "jpeg_progressive", "jpeg_gray", "jpeg_cmyk"):
    im = Image.open(n + ".jpg")
    im.load()
    w, h = im.size
    if im.mode == "L":
        px = [(g, g, g, 255) for g in im.getdata()]
    elif im.mode == "CMYK":
        px = [tuple(((255 - v) * (255 - k) + 127) // 255 for v in (c, m, y)) + (255,)
              for c, m, y, k in im.getdata()]
    else:
        px = [p + (255,) for p in im.getdata()]
    pam(n + ".ref.pam", px, w, h)
PY
rm -f $src $opaque

# A 160 x 96 photograph-like picture (smooth shading and a few edges) for decoding at a smaller
# size: JPEG by Pillow at quality 90.
$py - <<'PY'
from PIL import Image
import math
img = Image.new("RGB", (160, 96))
for y in range(96):
    for x in range(160):
        r = int(128 + 100 * math.sin(x / 13.0) * math.cos(y / 17.0))
        g = int(96 + 80 * math.cos((x + y) / 23.0))
        b = 200 if (x // 40 + y // 32) % 2 else 60
        img.putpixel((x, y), (r, g, b))
img.save("jpeg_shrink.jpg", quality=90)
PY
# fuzz_jpeg_claims_much.jpg: a fuzz_pictures finding (its first byte, the class selector, cut off).
