#!/usr/bin/env bash
# Installs what is missing, builds, and runs the logger on the built-in software
# adapter in a scratch directory. With a display, the viewer watches the same
# data file. Stop the logger with CTRL-C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --run
bash scripts/build.sh build -DTEMP_SANITIZE=OFF -DTEMP_BUILD_TESTS=OFF

root=$(pwd)
demo="$root/scratch/demo"
mkdir -p "$demo"
cd "$demo"
# The logger keeps its table and event log beside its program file: run it from here.
ln -sf "$root/build/logger/temp" ./temp
if [ ! -e "Direct Access table.txt" ]; then
  : > "Direct Access table.txt"
fi

viewer=""
if [ -n "${DISPLAY:-}" ] && [ -x "$root/build/viewer/Karvix" ]; then
  # The viewer runs where it was built and finds the table beside temp.pd.
  # The logger creates temp.pd at start-up; the viewer waits for it.
  ( while [ ! -e temp.pd ]; do sleep 0.2; done; exec "$root/build/viewer/Karvix" "$demo/temp.pd" ) &
  viewer=$!
fi

status=0
./temp sim: || status=$?
[ -n "$viewer" ] && kill "$viewer" 2>/dev/null || true
exit $status
