#!/usr/bin/env bash
# temp.exe on the software adapter under wine, stopped by CTRL-C (SIGINT, which
# wine turns into the console's control event): the abort notice, an orderly
# end with status 0, the markers removed, and data files with the same bytes as
# on Linux (one CR LF per line, 100-byte records).
# Usage: ctrl_c_test.sh WINE_RUN PREFIX TEMP_EXE WORK_DIR
set -u
run=$1 prefix=$2 exe=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
fail() { echo "FAIL: $*"; cat out.txt 2>/dev/null; exit 1; }

"$run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1  # the wine server, started the wrapper's way
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine "$exe" sim: </dev/null >out.txt 2>&1 &
pid=$!
# Generous bounds: wait until the second cycle runs (the abort handler is
# installed at the end of the first; the start-up waits once too), then stop.
cycles() { grep -o 'Next cycle' out.txt | wc -l; }
for _ in $(seq 600); do [ "$(cycles)" -ge 3 ] && break; sleep 0.1; done
[ "$(cycles)" -ge 3 ] || { kill -KILL "$pid"; fail "no second cycle within 60 s"; }
kill -INT "$pid"
for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "still running 60 s after CTRL-C"; }
wait "$pid"
status=$?

[ "$status" -eq 0 ] || fail "exit status $status"
grep -q '<< CTRL-C key abort >>' out.txt || fail "no abort notice"
[ ! -e USBPresent ] && [ ! -e USBSyncStart ] || fail "markers left behind"
size=$(stat -c %s temp.pd)
[ $((size % 100)) -eq 0 ] || fail "temp.pd is $size bytes, not whole records"
python3 - <<'PY' || fail "line ends"
import sys
pd = open("temp.pd", "rb").read()
bad = [i for i in range(0, len(pd), 100) if pd[i + 98:i + 100] != b"\r\n" or b"\r" in pd[i:i + 98]]
csv = open("tempu.csv", "rb").read()
if bad or b"\r\r" in csv or csv.count(b"\r\n") != csv.count(b"\n") or csv != open("tempu.tmp", "rb").read():
    sys.exit(1)
PY
echo "ctrl_c_test: PASSED"
