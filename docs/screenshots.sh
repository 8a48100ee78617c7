#!/usr/bin/env bash
# Takes the README's screenshots of the editor on the sample calendar, on a virtual screen of
# 1280 x 800 with a window manager, where the window sits in the middle (its menu bar's
# "Edition" at 219,92):
#   docs/editor-scale.png      the scale file of the first menu item ("Editer le fichier Echelle"):
#                              keys whole, colours with their swatches, file names of the paths
#   docs/picture-dialog.png    "Choisir Image Biosphère" previewing a TIFF picture clicked in the list
#   docs/picture-preview.png   its "Prévisualiser" window
# Build first (make build); run from the repository's root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
cd "$root"
bash scripts/screenshots.sh -s 1280x800 \
    -w 3 -c 219,92 -k "Down Down Down Down Down Return" -w 2 -c 640,181 -w 1 \
    -o docs/editor-scale.png \
    -c 219,92 -k "Down Down Down Down Return" -w 3 -c 340,344 -w 2 \
    -o docs/picture-dialog.png \
    -c 1117,152 -w 2 -o docs/picture-preview.png \
    -k Escape -k Escape -- "$build/app/chronolith"
