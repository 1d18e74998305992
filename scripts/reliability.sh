#!/bin/bash
# The long reliability runs: the in-process soak for 10,000 cycles under random
# faults and the kill test with 500 SIGKILLs of the real logger. (CTest runs
# shorter versions: 1,000 cycles and 100 kills.)
#
#   scripts/reliability.sh [BUILD_DIR]      # default: build; builds what it needs there
#   TEMP_SOAK_CYCLES, TEMP_SOAK_SEED, TEMP_CRASH_KILLS, TEMP_CRASH_SEED override the defaults.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$repo/build}
cmake -S "$repo" -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j2 --target soak_tests crash_tests temp >/dev/null

TEMP_SOAK_CYCLES=${TEMP_SOAK_CYCLES:-10000} "$build_dir/tests/soak/soak_tests"
TEMP_CRASH_KILLS=${TEMP_CRASH_KILLS:-500} "$build_dir/tests/crash/crash_tests"
