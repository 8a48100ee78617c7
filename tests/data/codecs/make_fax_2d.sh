#!/usr/bin/env bash
# Makes the two-dimensional fax fixtures (Group 4 and Group 3 2-D) of this folder with
# independent encoders, then checks that libtiff (through Pillow) decodes each to the pixels
# of its source. Needs ImageMagick (/usr/bin/convert), libtiff-tools (tiffcp, fax2tiff) and
# Pillow (/usr/bin/python3). Run from anywhere: bash tests/data/codecs/make_fax_2d.sh
set -euo pipefail
cd "$(dirname "$0")"
convert=/usr/bin/convert
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# page.pbm (301 x 120): text in three faces and sizes, a filled box and a slanted line.
"$convert" -size 301x120 xc:white -fill black \
    -font Liberation-Sans -pointsize 13 -annotate +4+16 'Stratigraphy: Cambrian 538.8 Ma, Ordovician 485.4 Ma' \
    -font Liberation-Serif -pointsize 24 -annotate +4+50 'Jurassic - Lias' \
    -font Liberation-Mono -pointsize 9 -annotate +4+70 'GSSP 0123456789 abcdefghijklmnopqrstuvwxyz' \
    -draw 'rectangle 200,30 296,60' -draw 'line 0,119 300,80' \
    -font Liberation-Sans -pointsize 40 -annotate +10+112 'Éon' -monochrome page.pbm

# ImageMagick's Group 4 (white is 0), and its pixels stored plainly for tiffcp.
"$convert" page.pbm -compress Group4 page_g4im.tif
tiffcp -c none page_g4im.tif "$work/page.tif"
tiffcp -c g4 -r 48 "$work/page.tif" page_g4.tif                # three strips
tiffcp -c g4 -f lsb2msb "$work/page.tif" page_g4lsb.tif        # fill order 2
tiffcp -c g3:2d "$work/page.tif" page_g32d.tif
tiffcp -c g3:2d:fill -f lsb2msb -r 50 "$work/page.tif" page_g32dfill.tif
# Pillow's Group 4 stores black as 0 (photometric min-is-black).
"$python" -c 'from PIL import Image; Image.open("page.pbm").save("page_g4pil.tif", compression="group4")'
# fax2tiff re-encodes the raw Group 3 stream fax.g3 (24 rows, then 6 rows of its end codes):
# 2-D with byte-aligned end-of-line codes, and Group 4, both in fill order 2.
fax2tiff -M -6 -a -X 100 -o fax_f2t_g32d.tif fax.g3
fax2tiff -M -8 -X 100 -o fax_f2t_g4.tif fax.g3
# Rows of 3000 pixels: runs above 2560 need several make-up codes.
tiffcp -c g4 wide_g3.tif wide_g4.tif

"$python" - <<'PY'
from PIL import Image, ImageChops

def same(a, b):
    return a.size == b.size and ImageChops.difference(a.convert("L"), b.convert("L")).getbbox() is None

page = Image.open("page.pbm")
for name in ["page_g4im", "page_g4", "page_g4lsb", "page_g32d", "page_g32dfill", "page_g4pil"]:
    assert same(Image.open(name + ".tif"), page), name
assert same(Image.open("wide_g4.tif"), Image.open("wide.pbm"))
fax = Image.open("fax.pbm")
for name in ["fax_f2t_g32d", "fax_f2t_g4"]:
    image = Image.open(name + ".tif")
    assert image.size == (100, 30), name
    assert same(image.crop((0, 0, 100, 24)), fax), name
    assert image.crop((0, 24, 100, 30)).convert("L").getextrema() == (255, 255), name
PY
