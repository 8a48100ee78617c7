#!/usr/bin/env bash
# The real editor tried as a person would: on a virtual screen with a window manager, driven by
# mouse and keyboard (xdotool), on fresh copies of the sample calendar. After each step the
# files are compared byte for byte with what they must hold; screenshots of each step go to the
# output folder (default build/real-program) to be looked at.
#
#   tests/editor/real-program.sh [BUILD [OUTPUT]]      (after a build; from the repository root)
#
# Steps: a character Windows-1252 cannot hold is refused and leaves the file as it was; a key
# renamed onto another row's key is refused, and so is a right click then (no menu); a UTF-16
# event file is edited in place as UTF-16; as an ordinary user, a writable file in a read-only
# folder saves in place (when run as root); Alt+F opens the menu and types nothing; a typed
# value then Escape writes nothing; another program's change to the row being edited is kept
# (the default answer); a file deleted while open is written back whole, never with one row.
# Coordinates are those of the window centred on a 1280 x 800 screen under openbox.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build}
out=${2:-$root/$build/real-program}

if [[ -z "${CHRONOLITH_XVFB:-}" ]]; then
    bash "$root/scripts/install-deps.sh" --screenshots
    exec env CHRONOLITH_XVFB=1 xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi

mkdir -p "$out"
work=$(mktemp -d)
chmod 755 "$work"
cal=$work/cal
mkdir "$cal"
cp "$root/$build/app/chronolith" "$cal/"
cp -r "$root/sample/"*.ini "$root/sample/Images" "$root/sample/Html" "$cal/"
orig=$work/orig
mkdir "$orig"
program=""
openbox >/dev/null 2>&1 &
wm=$!
cleanup() {
    [[ -n "$program" ]] && kill "$program" 2>/dev/null || true
    kill "$wm" 2>/dev/null || true
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
sleep 1

failures=0
check() { # check NAME PYTHON-EXPRESSION (o: original bytes, n: file bytes now)
    if /usr/bin/python3 - "$3" "$4" <<EOF; then echo "PASS $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
import sys
o = open(sys.argv[1], 'rb').read()
n = open(sys.argv[2], 'rb').read()
sys.exit(0 if ($2) else 1)
EOF
}
shot() { import -window root "$out/$1.png"; }
click() { xdotool mousemove "$1" "$2" click "${3:-1}"; sleep 0.6; }
keys() { xdotool key --delay 150 "$@"; sleep 0.6; }
typed() { xdotool type --delay 60 "$1"; sleep 0.4; }
start() { # start [USER]
    if [[ -n "${1:-}" ]]; then
        # The screen's key, readable by that user.
        cp "${XAUTHORITY:-$HOME/.Xauthority}" "$work/xauth"
        chmod 644 "$work/xauth"
        (cd "$cal" && exec runuser -u "$1" -- env DISPLAY="$DISPLAY" XAUTHORITY="$work/xauth" \
            HOME=/tmp QT_QPA_PLATFORM=xcb ./chronolith) >/dev/null 2>&1 &
    else
        (cd "$cal" && exec env QT_QPA_PLATFORM=xcb ./chronolith) >/dev/null 2>&1 &
    fi
    program=$!
    sleep 3
}
quit() { click 171 92; keys Down Down Return; sleep 1; program=""; }
edition() { click 219 92; keys "$@"; sleep 1; }
row() { echo $((141 + 20 * ($1 - 1))); } # y of table row N in scale mode

# 1. Scale file: "≈" refused, the row stays; then a text that fits is saved.
cp "$cal/Echelle.ini" "$orig/Echelle.ini"
start
edition Down Down Down Down Down Return # "Editer le fichier Echelle"
shot 1-scale
click 564 "$(row 1)"
keys End
typed " ≈ 4200 ans"
click 564 "$(row 3)"
shot 2-refused-character
check "a character outside Windows-1252 writes nothing" "n == o" "$orig/Echelle.ini" "$cal/Echelle.ini"
keys Return
keys ctrl+a
typed "Meghalayen (4200 ans)"
click 564 "$(row 3)"
check "the corrected row alone is written" \
    "n == o.replace(b'etage=Meghalayen\r\n', b'etage=Meghalayen (4200 ans)\r\n', 1)" \
    "$orig/Echelle.ini" "$cal/Echelle.ini"

# 2. A key renamed onto another row's key is refused; so is a right click meanwhile.
cp "$cal/Echelle.ini" "$orig/Echelle.step1"
click 181 "$(row 2)"
typed "0.0117"
click 564 "$(row 5)"
shot 3-refused-rename
keys Return
click 400 "$(row 9)" 3
shot 4-refused-right-click
keys Return
keys ctrl+a
typed "0,0082"
click 400 "$(row 9)" 3
shot 5-menu-on-clicked-row
keys Escape
check "both sections whole, nothing written" "n == o" "$orig/Echelle.step1" "$cal/Echelle.ini"
quit

# 3. A UTF-16 event file is edited in place as UTF-16.
{ printf '\xff\xfe'; iconv -f cp1252 -t utf-16le "$cal/Evenements.ini"; } >"$work/E16"
mv "$work/E16" "$cal/Evenements.ini"
cp "$cal/Evenements.ini" "$orig/Evenements.ini"
start
edition Down Down Down Down Down Down Return # "Editer le fichier Evénement"
xdotool mousemove 400 "$(row 3)" click --repeat 2 --delay 80 1
sleep 0.5
typed " – ω "
typed "éteint"
keys Down
shot 6-utf16
quit
check "UTF-16 stays UTF-16, one line changed" \
    "n == o.replace('evenement=Homo erectus\r\n'.encode('utf-16le'), 'evenement=Homo erectus – ω éteint\r\n'.encode('utf-16le'), 1)" \
    "$orig/Evenements.ini" "$cal/Evenements.ini"

# 4. An ordinary user, a file he may write, a folder he may not: saved in place.
if [[ $(id -u) -eq 0 ]]; then
    cp "$cal/Echelle.ini" "$orig/Echelle.step2"
    chmod 0666 "$cal/"*.ini
    chmod 0555 "$cal"
    inode=$(stat -c %i "$cal/Echelle.ini")
    start nobody
    edition Down Down Down Down Down Return
    click 484 "$(row 3)"
    keys F2
    typed " (GSSP)"
    keys Tab
    shot 7-read-only-folder
    quit
    check "saved in place in a read-only folder" \
        "n == o.replace(b'serie=Holoc\xe8ne\r\netage=Greenlandien', b'serie=Holoc\xe8ne (GSSP)\r\netage=Greenlandien', 1)" \
        "$orig/Echelle.step2" "$cal/Echelle.ini"
    [[ $(stat -c %i "$cal/Echelle.ini") == "$inode" && $(stat -c %U "$cal/Echelle.ini") == root ]] &&
        echo "PASS same file, same owner" || { echo "FAIL file replaced"; failures=$((failures + 1)); }
    chmod 0755 "$cal"
fi

# 5. Keys: Alt+F opens "Fichier" and types nothing; a typed value, then Escape, then Down,
#    writes nothing.
cp "$root/sample/"*.ini "$cal/"
cp "$cal/Donnees.ini" "$orig/Donnees.ini"
start
click 500 141
keys alt+f
shot 8-alt-f
keys Escape Escape
keys Down
check "Alt+F then Down leaves Donnees.ini unchanged" "n == o" "$orig/Donnees.ini" "$cal/Donnees.ini"
click 500 141
typed "Foo"
keys Escape
shot 9-escape
keys Down
check "a typed value, Escape, Down: unchanged" "n == o" "$orig/Donnees.ini" "$cal/Donnees.ini"

# 6. Another program changes the row being edited: asked, and the default keeps its text.
edition Down Down Down Down Down Return # "Editer le fichier Echelle"
click 564 "$(row 3)"
typed "Mien"
/usr/bin/python3 - "$cal/Echelle.ini" "$orig/Echelle.other" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read().replace(b'etage=Greenlandien', b'etage=Greenlandien (autre programme)', 1)
open(sys.argv[2], 'wb').write(data)
open(sys.argv[1], 'wb').write(data)
PY
keys Down
shot 10-other-program
keys Return
check "another program's text is kept" "n == o" "$orig/Echelle.other" "$cal/Echelle.ini"

# 7. The file is deleted while open: refused, nothing is made; accepted, the whole table is
#    written back (here the file as it was, with the row's new value).
click 564 "$(row 5)"
typed "Chibanien (moyen)"
cp "$cal/Echelle.ini" "$orig/Echelle.deleted"
rm "$cal/Echelle.ini"
keys Down
shot 11-deleted-file
keys Escape
[[ ! -e "$cal/Echelle.ini" ]] && echo "PASS a refused rewrite makes no file" ||
    { echo "FAIL a file was made"; failures=$((failures + 1)); }
keys Down
keys Return
check "the deleted file comes back whole" \
    "n == o.replace(b'etage=Chibanien\r\n', b'etage=Chibanien (moyen)\r\n', 1)" \
    "$orig/Echelle.deleted" "$cal/Echelle.ini"
quit

echo "screenshots in $out"
[[ $failures -eq 0 ]]
