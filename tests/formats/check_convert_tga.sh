#!/usr/bin/env bash
# Checks that `chronolith-image convert IN OUT.tga` writes Targa files that independent readers
# (Pillow and ImageMagick) read back to the pixels the tool itself shows for IN (its .pam
# output). Usage: tests/formats/check_convert_tga.sh [path/to/chronolith-image]
set -euo pipefail
cd "$(dirname "$0")/../.."
tool=${1:-build/app/chronolith-image}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for input in tests/data/formats/png/*.png tests/data/formats/gif/*.gif tests/data/formats/tga/*.tga; do
    name=$(basename "$input")
    "$tool" convert "$input" "$work/$name.tga"
    "$tool" convert "$input" "$work/$name.pam"
    convert "$work/$name.pam" -depth 8 rgba:"$work/expected.rgba"
    convert "$work/$name.tga" -depth 8 rgba:"$work/magick.rgba"
    /usr/bin/python3 -c "
import sys
from PIL import Image
im = Image.open(sys.argv[1])
open(sys.argv[2], 'wb').write(im.convert('RGBA').tobytes())
" "$work/$name.tga" "$work/pillow.rgba"
    for reader in magick pillow; do
        # 16-bit Targa pixels hold 5 bits per channel, which each reader widens its own way.
        if ! /usr/bin/python3 -c "
import sys
depth = open(sys.argv[1], 'rb').read()[16]
a, b = open(sys.argv[2], 'rb').read(), open(sys.argv[3], 'rb').read()
shift = 3 if depth == 16 else 0
same = len(a) == len(b) and all(
    (x >> shift) == (y >> shift) if i % 4 != 3 else x == y for i, (x, y) in enumerate(zip(a, b)))
sys.exit(0 if same else 1)
" "$work/$name.tga" "$work/expected.rgba" "$work/$reader.rgba"; then
            echo "$name: $reader reads other pixels" >&2
            status=1
        fi
    done
done
[[ $status -eq 0 ]] && echo "all written Targa files read back alike"
exit $status
