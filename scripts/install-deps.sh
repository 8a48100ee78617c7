#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, but only those
# that are missing, so that a second run costs nothing.
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config
    zlib1g-dev libisal-dev libjpeg62-turbo-dev
    libdeflate-dev liblzma-dev libzstd-dev libwebp-dev
    qt6-base-dev qt6-translations-l10n
    # The image plugin for Qt 5 programs and the loader for GTK programs (gdk-pixbuf).
    qtbase5-dev libgdk-pixbuf-2.0-dev
    fonts-liberation2
    libgtest-dev libgmock-dev
    xvfb xauth
    python3-pil
    # `make package` (CPack's DEB generator computes dependencies with dpkg-shlibdeps) and the
    # tests of the package: lintian, the validators of the desktop entry and AppStream
    # metadata, the MIME database and xdg-mime (through gio), gdk-pixbuf's thumbnailer.
    dpkg-dev file xz-utils lintian desktop-file-utils appstream shared-mime-info xdg-utils
    libglib2.0-bin libgdk-pixbuf2.0-bin
)
# Benchmarks compare against these peers; only `make bench` needs them.
if [[ "${1:-}" == "--bench" ]]; then
    packages+=(libbenchmark-dev libpng-dev libspng-dev libtiff-dev libgif-dev libstb-dev libdeflate-dev)
    # bench/make_codec_data.sh, make_paint_inputs.py and make_maps_inputs.py make their inputs
    # with independent encoders (netpbm also writes test files of tests/data/formats).
    packages+=(imagemagick libtiff-tools python3-pil netpbm)
fi
# scripts/screenshots.sh drives programs on a virtual screen.
if [[ "${1:-}" == "--screenshots" ]]; then
    packages+=(xdotool imagemagick openbox)
fi
# Fuzz targets are built by clang with libFuzzer.
if [[ "${1:-}" == "--fuzz" ]]; then
    packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
