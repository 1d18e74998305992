#!/bin/bash
# Runs Karvix.exe under wine on Xvfb, watching a temp.pd that the Linux logger
# writes live on its software adapter, and saves a screenshot of the window.
# Run by hand; CI doesn't need it.
#
#   scripts/karvix-windows-screenshot.sh [KARVIX_EXE] [TEMP_BINARY] [OUTPUT_PNG]
#
# Defaults: build-win64/viewer/Karvix.exe, build/logger/temp and
# docs/karvix-windows.png in the repository.
# Needs: wine, fonts-wine (the fonts of the Windows dialogs), xvfb, imagemagick
# (import), x11-utils (xwininfo).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/screenshot-lib.sh"
karvix=${1:-$repo/build-win64/viewer/Karvix.exe}
temp=${2:-$repo/build/logger/temp}
output=${3:-$repo/docs/karvix-windows.png}
[ -f "$karvix" ] || { echo "Karvix.exe not found: $karvix" >&2; exit 1; }
[ -x "$temp" ] || { echo "temp not found: $temp" >&2; exit 1; }
for tool in wine wineserver winepath Xvfb import xwininfo; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
temp_pid=
karvix_pid=
export WINEPREFIX=$work/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    [ -n "$karvix_pid" ] && kill "$karvix_pid" 2>/dev/null || true
    [ -n "$temp_pid" ] && kill -INT "$temp_pid" 2>/dev/null || true
    [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The logger writes temp.pd in its working directory; Karvix reads the place
# table beside its own file: both run from the scratch directory.
cp "$temp" "$work/temp"
cp "$karvix" "$work/Karvix.exe"
: >"$work/Direct Access table.txt"
(cd "$work" && exec ./temp sim: </dev/null >"$work/temp.log" 2>&1) &
temp_pid=$!
for _ in $(seq 300); do
    grep -q '^[0-9]' "$work/temp.pd" 2>/dev/null && break
    sleep 0.1
done
grep -q '^[0-9]' "$work/temp.pd" || { echo "the logger wrote no reading" >&2; exit 1; }

# A place for each sensor the logger found, in the table layout.
places=(Kitchen Cellar Attic Greenhouse)
n=0
for serial in $(grep -a -o '^[0-9.]*,[0-9A-F]\{16\}' "$work/temp.pd" | cut -d, -f2); do
    printf '%s %d %s\r\n' "$serial" "$((n + 1))" "${places[n % 4]}" >>"$work/Direct Access table.txt"
    n=$((n + 1))
done

# A free display, chosen by the server itself; wine draws the window frame in
# a virtual desktop of the window's size, since Xvfb has no window manager.
start_xvfb "$work" 800x600x24
wineboot -i >/dev/null 2>&1 || true

pd=$(winepath -w "$work/temp.pd")
(cd "$work" && exec wine explorer /desktop=Karvix,720x560 ./Karvix.exe "$pd" >/dev/null 2>&1) &
karvix_pid=$!
wait_for_window 'Karvix' 300
# A few cycles of the logger and refreshes of the viewer.
sleep 8

mkdir -p "$(dirname "$output")"
import -window root -crop 720x560+0+0 +repage "$output"
echo "wrote $output"
