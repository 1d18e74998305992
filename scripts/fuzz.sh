#!/bin/bash
# Builds the fuzz targets with clang's libFuzzer (ASan + UBSan) in a tree of
# their own and runs each for a bounded time, printing executions and crashes.
#
#   scripts/fuzz.sh                        # build, then every target for 300 s
#   scripts/fuzz.sh --seconds 60 stack     # one target for a minute
#   options: --build-dir DIR (default build-fuzz), --seconds N, --build-only, --no-build
#
# New inputs go to DIR/corpus/TARGET (the committed seeds in tests/fuzz/corpus
# are only read); a crashing input is kept in DIR/artifacts/TARGET/. The seed
# tests/fuzz/corpus/stack/recorded_session is a recorded software-adapter
# session: FUZZ_STACK_RECORD=/abs/path DIR/fuzz_stack writes it again.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$repo/build-fuzz"
seconds=300
build=1
run=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --build-only) run=0; shift ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(table bus_file records pool_update stack config)
fi

# The targets change into a scratch directory, so every path they get is absolute.
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
if [ "$build" = 1 ]; then
  cmake -S "$repo/tests/fuzz" -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j2 >/dev/null
fi
[ "$run" = 1 ] || exit 0

status=0
for target in "${targets[@]}"; do
  binary="$build_dir/fuzz_$target"
  [ -x "$binary" ] || { echo "fuzz.sh: $binary is not built" >&2; exit 2; }
  corpus="$build_dir/corpus/$target"
  artifacts="$build_dir/artifacts/$target"
  log="$build_dir/logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  # stdout closed: the logger's console output would drown the report.
  set +e
  "$binary" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
    -close_fd_mask=1 -artifact_prefix="$artifacts/" "$corpus" "$repo/tests/fuzz/corpus/$target" >"$log" 2>&1
  code=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  crashes=$(find "$artifacts" -type f | wc -l)
  echo "fuzz $target: ${execs:-0} executions in ${seconds} s, exit $code, $crashes crashing inputs kept in $artifacts"
  if [ "$code" != 0 ] || [ "$crashes" != 0 ]; then
    status=1
    grep -m1 -A25 -E '^==[0-9]+==ERROR|runtime error|check failed|ERROR: libFuzzer' "$log" || tail -30 "$log"
  fi
done
exit $status
