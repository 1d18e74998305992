#!/usr/bin/env bash
# Builds the tests of the threaded parts (the outputs' lanes, the history's
# writer and checkpointer, MQTT, metrics) and the programs they run under
# ThreadSanitizer, and runs them: scripts/tsan.sh [BUILD_DIR]. Any report of
# a race fails the run. About eight minutes from a fresh tree on two cores,
# so scripts/test.sh leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tsan}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEMP_SANITIZE=thread -DTEMP_BUILD_TESTS=ON \
    -DTEMP_BUILD_VIEWER=OFF -DTEMP_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"${JOBS:-$(nproc)}" --target temp temp-history outputs_tests history_writer_tests \
    history_blackbox_tests mqtt_unit_tests mqtt_run_tests metrics_unit_tests metrics_run_tests
# halt_on_error: a race ends the program that met it (a test, or temp under a test), so its test fails.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
cd "$dir"
ctest -j"${JOBS:-2}" --no-tests=error --output-on-failure --timeout 900 -LE longrun \
    -R '^(HungOutput|OutputEvents|HistoryWriter|HistoryRun|HistoryClockJump|Mqtt|Metrics)'
