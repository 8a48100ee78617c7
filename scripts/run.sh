#!/usr/bin/env bash
# `make run`: starts the editor on the sample calendar that the build places beside it.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/$build/app/chronolith"
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "make run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "The editor is a desktop program: run it from a graphical session, e.g. $program" >&2
    exit 1
fi
echo "Starting $program on the sample calendar in $(dirname "$program")"
exec "$program"
