#!/usr/bin/env bash
# Renders the icon's PNG sizes from chronolith.svg with librsvg's rsvg-convert (Debian package
# librsvg2-bin): chronolith-<size>.png for each size of the hicolor theme the package fills.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" chronolith.svg --output "chronolith-$size.png"
done
