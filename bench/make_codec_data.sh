#!/usr/bin/env bash
# Makes the inputs of the codec benchmarks (about 1 MB of pixels each; generated, not
# committed) with independent encoders: ImageMagick for the pictures, libtiff's tiffcp for
# LZW and PackBits strips, Pillow for GIF data. Usage: make_codec_data.sh [output folder].
set -euo pipefail
out="${1:-$(dirname "$0")/data/codecs}"
mkdir -p "$out"
cd "$out"
[[ -f drawing.gif ]] && exit 0
python=/usr/bin/python3 # the interpreter that has Pillow

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
