#!/usr/bin/env bash
# The editor installed for a person: an installed tree (the files of the built package, or
# `cmake --install` of a build) copied to a temporary prefix made read-only, the installed
# program started by an ordinary user (nobody, when run as root) with its data folder in a
# temporary place, driven by the preloaded driver (ProgramDriver.cpp), which types a file name
# into the first row and quits. The person's calendar must be a copy of the sample that holds the
# edit, the installed calendar unchanged.
#
#   tests/editor/installed-program.sh USR DRIVER     (USR: the tree's usr folder)
#   tests/editor/installed-program.sh --build BUILD DRIVER
set -euo pipefail
work=$(mktemp -d)
cleanup() { chmod -R u+w "$work" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
chmod 755 "$work"
if [[ $1 == --build ]]; then
    cmake --install "$2" --prefix "$work/prefix" >/dev/null
    driver=$3
else
    cp -a "$1" "$work/prefix"
    driver=$2
fi
chmod -R a-w "$work/prefix"
installed=$work/prefix/share/chronolith/calendar
cp "$installed/Donnees.ini" "$work/installed.ini"

home=$work/home
mkdir "$home"
as=()
if [[ $(id -u) -eq 0 ]]; then
    if ! id nobody >/dev/null 2>&1; then
        echo "SKIP: no ordinary user to run the editor as"
        exit 77
    fi
    chown "$(id -u nobody):$(id -g nobody)" "$home"
    as=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups --)
fi
report=$home/report.txt
"${as[@]}" env -i PATH=/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/data" \
    QT_QPA_PLATFORM=offscreen LD_PRELOAD="$driver" CHRONOLITH_DRIVER_REPORT="$report" \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0:detect_leaks=0" \
    "$work/prefix/bin/chronolith"

own=$home/data/chronolith
failures=0
expect() { # expect NAME COMMAND...
    if "${@:2}"; then echo "PASS $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
expect "the program quit after the edit" grep -qx "quit=done" "$report"
expect "the installed calendar is unchanged" cmp -s "$installed/Donnees.ini" "$work/installed.ini"
expect "the person's calendar holds the edit" grep -q "^Evenement=Evenements2.ini" "$own/Donnees.ini"
expect "the sample's pictures and pages were copied" \
    test "$(ls "$own/Images" | wc -l)" -eq "$(ls "$installed/Images" | wc -l)" -a -d "$own/Html"
expect "the copy belongs to the person" test "$(stat -c %U "$own/Donnees.ini")" = "$(stat -c %U "$home")"
[[ $failures -eq 0 ]]
