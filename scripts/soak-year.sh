#!/usr/bin/env bash
# The simulated year of the history: 39 sensors at the documented cycle
# through the history writer for DAYS days (default 365), with failed
# readings, restarts, SIGKILLs, clock jumps both ways, an hour of full disk
# and a held lock, then HOURS hours (default 720, a month) of temp on a
# software adapter with the virtual clock. Every invariant is checked along
# the way (tests/soak/history_year_test.cpp); the figures are printed at the
# end as "year: key value" lines for docs/benchmarks.md and docs/reliability.md.
#   bash scripts/soak-year.sh [BUILD_DIR] [DAYS] [HOURS]   (a year takes hours on 2 cores)
# The test folders go to $TMPDIR (default /tmp); TMPDIR=/dev/shm spares the
# disk's syncs and runs the writer's year about half as fast again (the
# commit times it prints are then those of a tmpfs).
# The same run through CTest: ctest -L longrun (in BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
days=${2:-365}
hours=${3:-720}
[[ -f $build/CMakeCache.txt ]] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEMP_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target history_year_tests temp temp-history >/dev/null
log=$(mktemp /tmp/soak-year-XXXXXX.log)
echo "soak-year: $days days through the writer, $hours hours of temp; log in $log" >&2
status=0
TEMP_YEAR_DAYS=$days TEMP_YEAR_LOGGER_HOURS=$hours "$build/tests/soak/history_year_tests" >"$log" 2>&1 || status=$?
grep -E '^year: |Failure|Expected|Which is|actual' "$log" || true
grep -E '^\[  (PASSED|FAILED)' "$log" >&2 || true
exit $status
