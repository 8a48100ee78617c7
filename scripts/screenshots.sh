#!/usr/bin/env bash
# Screenshots of a program under a virtual X server, for the documentation.
#
#   scripts/screenshots.sh [-s WxH] STEP... -- PROGRAM [ARGUMENTS...]
#
# Starts PROGRAM on a virtual screen (default 1280x800) with a window manager (openbox), so that
# windows are placed, framed and focused as on a desktop, then runs the steps in order:
#   -w SECONDS   wait (give the program time to open its windows)
#   -k KEYS      press keys with xdotool, e.g. -k "alt+e Down Return"
#   -t TEXT      type text
#   -c X,Y       click at screen position X,Y
#   -o FILE.png  save the screen to FILE.png, cut to the windows on it
# and ends the program. Example, the editor on the sample calendar in scale mode:
#   scripts/screenshots.sh -w 3 -c 100,130 -k "alt+e" -k Escape -o docs/echelle.png -- build/app/Chronolith
set -euo pipefail

if [[ -z "${CHRONOLITH_XVFB:-}" ]]; then
    bash "$(dirname "$0")/install-deps.sh" --screenshots
    size=1280x800
    if [[ "${1:-}" == "-s" ]]; then size=$2; shift 2; fi
    exec env CHRONOLITH_XVFB=1 xvfb-run -a -s "-screen 0 ${size}x24" "$0" "$@"
fi

steps=()
while [[ $# -gt 0 && "$1" != "--" ]]; do
    [[ $# -ge 2 ]] || { echo "screenshots.sh: $1 needs a value" >&2; exit 2; }
    steps+=("$1" "$2")
    shift 2
done
[[ "${1:-}" == "--" && $# -ge 2 ]] || { echo "screenshots.sh: no program after --" >&2; exit 2; }
shift

openbox >/dev/null 2>&1 &
wm=$!
sleep 1
QT_QPA_PLATFORM=xcb "$@" &
program=$!
trap 'kill "$program" "$wm" 2>/dev/null || true' EXIT

for ((i = 0; i < ${#steps[@]}; i += 2)); do
    value=${steps[i + 1]}
    kill -0 "$program" 2>/dev/null || { echo "screenshots.sh: the program has ended" >&2; exit 1; }
    case ${steps[i]} in
    -w) sleep "$value" ;;
    -k) read -ra keys <<<"$value"; xdotool key --delay 150 "${keys[@]}"; sleep 0.5 ;;
    -t) xdotool type --delay 50 "$value"; sleep 0.5 ;;
    -c) xdotool mousemove "${value%,*}" "${value#*,}" click 1; sleep 0.5 ;;
    -o) mkdir -p "$(dirname "$value")"; import -window root -trim +repage "$value"; echo "$value" ;;
    *) echo "screenshots.sh: unknown step ${steps[i]}" >&2; exit 2 ;;
    esac
done
