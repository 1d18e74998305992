#!/usr/bin/env bash
# Runs temp on tests/cross/bus.txt (virtual clock, eight sensors of both kinds,
# negative and fractional readings, a CRC fault, stopped in cycle 7) and compares
# temp.pd, tempu.csv and the history's raw and minute exports with the files in
# tests/cross/expected byte for byte. Every build runs it (native, sanitized,
# arm64 and armhf under qemu), so type sizes, alignment, byte order and
# floating point can't make one architecture write other bytes.
# Usage: same_files_test.sh TEMP TEMP_HISTORY [--update]
#   (--update writes the expected files from this run; check the diff)
#   TEMP_EMULATOR="qemu-aarch64-static -L ROOT" runs both programs under it.
set -u
temp=$1
history=$2
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/expected
scratch=$(mktemp -d "${TMPDIR:-/tmp}/same-files.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/app" "$scratch/work"
cd "$scratch/work"
# The program's folder holds its event log, table and settings: an empty table,
# and every sensor family, so both kinds of scratchpad are decoded.
: > "$scratch/app/Direct Access table.txt"
echo "families = 10 28 22 3B 42" > "$scratch/app/temp.conf"
# argv[0] names the program's folder, as the service does; a hung run fails
# after ten minutes instead of hanging CTest.
read -r -a emulator <<< "${TEMP_EMULATOR:-}"
if [ ${#emulator[@]} -gt 0 ]; then
    run=("${emulator[@]}" -0 "$scratch/app/temp" "$temp")
else
    run=(bash -c 'exec -a "$0" "$@"' "$scratch/app/temp" "$temp")
fi
TZ=UTC timeout -s KILL 600 "${run[@]}" "sim:$here/bus.txt" </dev/null >"$scratch/console.txt" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: temp ended with status $status" >&2
    tail -n 20 "$scratch/console.txt" >&2
    exit 1
fi
TZ=UTC ${emulator[@]+"${emulator[@]}"} "$history" export --since 2023-11-14 --until 2023-11-16 >history-raw.csv || exit 1
TZ=UTC ${emulator[@]+"${emulator[@]}"} "$history" export --tier minute --since 2023-11-14 --until 2023-11-16 >history-minute.csv || exit 1

files="temp.pd tempu.csv history-raw.csv history-minute.csv"
if [ "${3:-}" = --update ]; then
    mkdir -p "$expected"
    for f in $files; do cp "$f" "$expected/$f"; done
    echo "updated $expected"
    exit 0
fi
failures=0
for f in $files; do
    if ! cmp "$expected/$f" "$f"; then
        failures=$((failures + 1))
        case $f in
            temp.pd) cmp -l "$expected/$f" "$f" | head -n 10 >&2 ;;
            *) diff "$expected/$f" "$f" | head -n 10 >&2 ;;
        esac
    fi
done
[ "$(wc -l < history-raw.csv)" -gt 25 ] || { echo "FAIL: the raw export has too few lines" >&2; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] || exit 1
echo "same bytes: $files"
