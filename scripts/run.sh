#!/usr/bin/env bash
# `make run`: converts a picture of the sample calendar (a JPEG drawn with Pillow) to PAM with
# chronolith-image and says where the result is.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
input="$root/sample/Images/Ediacarien_bio.jpg"
output_dir="$root/$build/sample-output"
output="$output_dir/Ediacarien_bio.pam"
mkdir -p "$output_dir"
"$root/$build/app/chronolith-image" info "$input"
"$root/$build/app/chronolith-image" convert "$input" "$output"
echo "Converted $input"
echo "       to $output"
