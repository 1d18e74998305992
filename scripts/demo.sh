#!/usr/bin/env bash
# Installs what is missing, builds, and runs the logger on the built-in software
# adapter in a scratch directory. With a display, the viewer watches the same
# data file. Stop the logger with CTRL-C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --run
# Only the programs the demo runs: the logger, and the viewer where Qt 6 is installed.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEMP_SANITIZE=OFF -DTEMP_BUILD_TESTS=OFF >/dev/null
targets=(temp)
help=$(cmake --build build --target help)
if grep -qx '\.\.\. Karvix' <<<"$help"; then
  targets+=(Karvix)
else
  echo "demo: Karvix is not built: Qt 6 is not installed (scripts/install-deps.sh --test installs it)"
fi
cmake --build build -j"$(nproc)" --target "${targets[@]}"

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
