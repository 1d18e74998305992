#!/bin/bash
# Runs Karvix under Xvfb and saves screenshots: its window on a sample data
# file and place table, and the history chart of a sensor after a short run
# of the logger on the software adapter.
#
#   scripts/karvix-screenshot.sh [BUILD_DIR] [WINDOW_PNG] [CHART_PNG]
#
# Defaults: build-viewer (with viewer/Karvix and logger/temp built),
# docs/karvix.png and docs/karvix-chart.png in the repository. The chart needs
# about 80 s of the logger's cycles.
# Needs: xvfb, imagemagick (import), x11-utils (xwininfo), xdotool.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/screenshot-lib.sh"
build=$(cd "${1:-$repo/build-viewer}" && pwd)
output=${2:-$repo/docs/karvix.png}
chart_output=${3:-$repo/docs/karvix-chart.png}
karvix=$build/viewer/Karvix
logger=$build/logger/temp
for program in "$karvix" "$logger"; do
    [ -x "$program" ] || { echo "not built: $program" >&2; exit 1; }
done
for tool in Xvfb import xwininfo xdotool; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
karvix_pid=
logger_pid=
cleanup() {
    [ -n "$karvix_pid" ] && kill "$karvix_pid" 2>/dev/null || true
    [ -n "$logger_pid" ] && kill "$logger_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The id of the newest window whose name starts with $1.
window_id() {
    xwininfo -root -tree | awk -v name="\"$1" 'index($0, name) { id = $1 } END { print id }'
}

# --- The window: 41 records of which 14 hold readings, and a table naming
# most of the sensors, both in a data folder. Karvix runs where it was built,
# as an installed one does from /usr/bin, and finds the table beside temp.pd.
# Fields as the logger writes them: stamp, serial, scratchpad, whole and
# extended temperature, one blank; records padded to 98, CR LF.
data=$work/data
mkdir -p "$data"
awk -v table="$data/Direct Access table.txt" -v pool="$data/temp.pd" 'BEGIN {
    split("Kitchen Cellar Attic Garage Boiler-flow Boiler-return Bedroom Office Bathroom Hall Greenhouse Outside-north Loft Workshop", places, " ")
    measured = "0 1 2 3 5 6 8 9 11 12 14 17 20 23"
    split(measured, idx, " ")
    for (i in idx) isMeasured[idx[i]] = 1
    for (r = 0; r < 41; r++) {
        serial = sprintf("10%02X%02X%02X%02X0800%02X", (r * 37 + 11) % 256, (r * 91 + 5) % 256, r, 2 + r % 3, (r * 53 + 29) % 256)
        if (r < 12)
            printf "%s %d %s\r\n", serial, r + 1, places[r + 1] > table
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

# A free display, chosen by the server itself; room for the chart window.
start_xvfb "$work" 1000x600x24

QT_QPA_PLATFORM=xcb "$karvix" "$data/temp.pd" >/dev/null 2>&1 &
karvix_pid=$!
# Wait for the window, then for a few refresh ticks to have painted it.
wait_for_window '"Karvix of ' 100
sleep 1
mkdir -p "$(dirname "$output")" "$(dirname "$chart_output")"
import -window "$(window_id 'Karvix of ')" "$output"
echo "saved $output"
kill "$karvix_pid"
wait "$karvix_pid" 2>/dev/null || true
karvix_pid=

# --- The chart: the logger on the built-in software adapter's four sensors
# for a while, writing temp.pd and temp-history.db in its working folder,
# with a table that names them. The chart opens on the span of the readings.
run=$work/run
mkdir -p "$run"
printf '%s\r\n' "1024A3B6010800A9 1 Kitchen" "105E29F7010800E7 2 Cellar" "10F10C34020800E0 3 Attic" \
    "10C7410E020800E9 4 Boiler" >"$run/Direct Access table.txt"
ln -s "$logger" "$run/temp"  # the logger reads its table beside its program
(cd "$run" && exec ./temp sim: </dev/null >/dev/null 2>&1) &
logger_pid=$!
sleep 80
QT_QPA_PLATFORM=xcb "$karvix" "$run/temp.pd" >/dev/null 2>&1 &
karvix_pid=$!
wait_for_window '"Karvix of ' 100
sleep 1
# Double-click the first row of the list (List1 starts 28 pixels down at 96
# dpi), again while no chart appears (a busy machine may paint late).
main=$(window_id 'Karvix of ')
for _ in $(seq 10); do
    xdotool mousemove --window "$main" 80 38 click --repeat 2 --delay 80 1
    sleep 1
    xwininfo -root -tree | grep -q '"History of ' && break
done
wait_for_window '"History of ' 100
sleep 2
import -window "$(window_id 'History of ')" "$chart_output"
echo "saved $chart_output"
kill -INT "$logger_pid" 2>/dev/null || true
wait "$logger_pid" 2>/dev/null || true
logger_pid=
