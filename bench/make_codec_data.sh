#!/usr/bin/env bash
# Makes the inputs of the codec benchmarks (about 1 MB of pixels each; generated, not
# committed) with independent encoders: ImageMagick for the pictures, libtiff's tiffcp for
# LZW and PackBits strips, Pillow for GIF data; ImageMagick and tiffcp for a fax page.
# Usage: make_codec_data.sh [output folder].
set -euo pipefail
out="${1:-$(dirname "$0")/data/codecs}"
mkdir -p "$out"
cd "$out"
python=/usr/bin/python3 # the interpreter that has Pillow

# A page of text, A4 at 300 dpi (2480 x 3508), as ImageMagick writes it in Group 4 (one
# strip), and in Group 3 with two-dimensional rows by tiffcp.
if [[ ! -f page-g32d.tif ]]; then
    /usr/bin/convert -size 2480x3508 xc:white -font Liberation-Serif -pointsize 38 \
        -annotate +200+250 "$(head -n 68 /usr/share/common-licenses/GPL-3)" \
        -monochrome -compress Group4 page-g4.tif
    tiffcp -c g3:2d -r 4000 page-g4.tif page-g32d.tif
fi

[[ -f drawing.gif ]] && exit 0

# A photo (ImageMagick's built-in rose, enlarged) and a drawing (its built-in logo).
convert rose: -resize 720x473! -depth 8 photo.ppm
convert logo: -depth 8 drawing.ppm
for name in photo drawing; do
    convert "$name.ppm" -compress none "$name-raw.tif"
    tiffcp -c lzw -r 100000 "$name-raw.tif" "$name-lzw.tif"
    tiffcp -c packbits -r 100000 "$name-raw.tif" "$name-packbits.tif"
    rm "$name-raw.tif"
done
# GIF images of about a million pixels: the photo dithered to 256 colours, the drawing
# reduced to its palette without dithering.
"$python" - <<'PY'
from PIL import Image
photo = Image.open("photo.ppm").resize((1216, 800), Image.BICUBIC)
palette = photo.quantize(256)
photo.quantize(palette=palette, dither=Image.Dither.FLOYDSTEINBERG).save(
    "photo.gif", interlace=False)
drawing = Image.open("drawing.ppm").resize((1280, 960), Image.NEAREST)
drawing.quantize(256, dither=Image.Dither.NONE).save("drawing.gif", interlace=False)
PY
