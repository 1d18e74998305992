#!/bin/bash
# Runs Karvix under Xvfb on a sample capture file and place table and saves a
# screenshot of its window.
#
#   scripts/karvix-screenshot.sh [KARVIX_BINARY] [OUTPUT_PNG]
#
# Defaults: build-viewer/viewer/Karvix and docs/karvix.png in the repository.
# Needs: xvfb, imagemagick (import), x11-utils (xwininfo).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/screenshot-lib.sh"
binary=${1:-$repo/build-viewer/viewer/Karvix}
output=${2:-$repo/docs/karvix.png}
[ -x "$binary" ] || { echo "Karvix binary not found: $binary" >&2; exit 1; }
for tool in Xvfb import xwininfo; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
karvix_pid=
cleanup() {
    [ -n "$karvix_pid" ] && kill "$karvix_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Karvix reads the place table from its own directory: run a copy beside one.
cp "$binary" "$work/Karvix"

# Sample data: 41 records of which 14 hold readings, and a table naming most
# of the sensors. Fields as the logger writes them: stamp, serial, scratchpad,
# whole and extended temperature, one blank; records padded to 98, CR LF.
awk -v table="$work/Direct Access table.txt" -v pool="$work/temp.pd" 'BEGIN {
    split("Kitchen Cellar Attic Garage Boiler-flow Boiler-return Bedroom Office Bathroom Hall Greenhouse Outside-north Loft Workshop", places, " ")
    measured = "0 1 2 3 5 6 8 9 11 12 14 17 20 23"
    split(measured, idx, " ")
    for (i in idx) isMeasured[idx[i]] = 1
    for (r = 0; r < 41; r++) {
        serial = sprintf("10%02X%02X%02X%02X0800%02X", (r * 37 + 11) % 256, (r * 91 + 5) % 256, r, 2 + r % 3, (r * 53 + 29) % 256)
        if (r < 12)
            printf "%s %d %s\r\n", serial, r, places[r + 1] > table
        if (r in isMeasured) {
            half = 30 + (r * 7) % 26          # 15.0 .. 27.5 degrees in half-degree steps
            if (r == 17) half = 256 - 8       # an outdoor sensor below zero: -4 degrees
            remain = (r * 5) % 16
            whole = int(half / 2); if (half >= 128) whole = int(half / 2) - 128
            low = half % 256; high = (half >= 128) ? 255 : 0
            ext = whole - 0.25 + (16 - remain) / 16
            line = sprintf("%u.%03d,%s,BE%02X%02X4B46FFFF%02X10%02X,%.3f,%.3f ", 1765195200 + r * 3, (r * 137) % 1000, serial, low, high, remain, (r * 71) % 256, whole, ext)
        } else
            line = ",,,,"
        printf "%-98s\r\n", line > pool
    }
}'

# A free display, chosen by the server itself.
start_xvfb "$work" 654x473x24

QT_QPA_PLATFORM=xcb "$work/Karvix" "$work/temp.pd" >/dev/null 2>&1 &
karvix_pid=$!

# Wait for the window, then for a few refresh ticks to have painted it.
wait_for_window '"Karvix of ' 100
sleep 1

mkdir -p "$(dirname "$output")"
import -window root "$output"
echo "saved $output"
