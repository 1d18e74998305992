#!/usr/bin/env bash
# The history's read side: the chart opening on a year of one sensor and an
# export of one day of 39 sensors. Prints a Markdown subsection for
# docs/benchmarks.md (scripts/bench.sh includes it).
#   bash scripts/bench-history-read.sh BUILD_DIR    (history_read_bench and temp-history built there)
set -euo pipefail
build=$1
bench=$build/bench/history_read_bench
history=$build/history/temp-history
work=$(mktemp -d /tmp/temp-bench-history-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work

get() { awk -v k="$2" '$1 == k { print $2; exit }' "$1"; }
verdict() { awk "BEGIN { print ($1) ? \"met\" : \"**missed**\" }"; }

echo "== history: generating a year of one sensor and a day of 39 sensors" >&2
"$bench" year "$work/year.db"
"$bench" day "$work/day.db" >"$work/day.txt"
names=("1 h" "24 h" "7 d" "30 d" "1 y")
for range in 0 1 2 3 4; do
  echo "== history: chart on ${names[$range]}" >&2
  "$bench" chart "$work/year.db" "$range" 9 >"$work/chart-$range.txt" 2>/dev/null
done
echo "== history: chart on 24 h of one of 39 sensors" >&2
"$bench" chart "$work/day.db" 1 9 1000000020000000 >"$work/chart-day.txt" 2>/dev/null
from=$(date -u -d "@$(($(get "$work/day.txt" from_ms) / 1000))" +%Y-%m-%dT%H:%M:%S)
until=$(date -u -d "@$(($(get "$work/day.txt" until_ms) / 1000))" +%Y-%m-%dT%H:%M:%S)
echo "== history: export of one day" >&2
for i in 1 2 3 4 5; do
  # Wall and CPU (user + system) seconds of one run.
  /usr/bin/time -f "%e %U %S" -o "$work/time-$i.txt" \
    "$history" export --db "$work/day.db" --since "$from" --until "$until" >"$work/day.csv"
  awk '{ printf "%.0f %.0f\n", $1 * 1000, ($2 + $3) * 1000 }' "$work/time-$i.txt"
done | sort -n >"$work/export.txt"
export_wall=$(awk 'NR == 3 { print $1 }' "$work/export.txt")
export_cpu=$(sort -n -k2 "$work/export.txt" | awk 'NR == 3 { print $2 }')
export_rows=$(($(wc -l <"$work/day.csv") - 1))
db_mb=$(du -m "$work/day.db" | cut -f1)
# A week of 39 sensors exported whole: the export streams, so its peak
# resident memory must not grow with the range.
echo "== history: export of a week of 39 sensors" >&2
"$bench" day "$work/week.db" 168 >"$work/week.txt"
/usr/bin/time -f "%e %U %S %M" -o "$work/week-time.txt" \
  "$history" export --db "$work/week.db" --since 2000-01-01 >"$work/week.csv"
read -r week_wall week_user week_sys week_kib <"$work/week-time.txt"
week_rows=$(($(wc -l <"$work/week.csv") - 1))
week_mb=$(du -m "$work/week.db" | cut -f1)
rm -f "$work/week.csv" "$work/week.db"
/usr/bin/time -f "%M" -o "$work/day-rss.txt" "$history" export --db "$work/day.db" >/dev/null
day_kib=$(cat "$work/day-rss.txt")
chart_1y=$(get "$work/chart-4.txt" open_median_ms)

cat <<MD
### History: the chart and the export

Generated databases (\`bench/history_read_bench\`), written the way the logger leaves them with the default
retention: a year of one sensor (hours for 365 days, minutes for 90 days, raw readings for 7 days at the 39-sensor
cycle of $((850 + 100 * 39 + 1700)) ms), and one day of 39 sensors, raw ($(get "$work/day.txt" rows) readings, ${db_mb} MB).

The chart window (\`KarvixChart\` under QT_QPA_PLATFORM=offscreen, one sensor): construction, the query of the
range's tier, drawing and the first paint, 9 openings each. Raw readings are keyed by time, so one sensor's raw
range is read out of every sensor's rows of that range (last row):

| range | tier | points | median ms | max ms | target |
|---|---|---|---|---|---|
MD
tiers=(raw raw minute minute hour)
for range in 0 1 2 3 4; do
  f=$work/chart-$range.txt
  target="–"
  [[ $range == 4 ]] && target="< 300 ms: $(verdict "$chart_1y < 300")"
  echo "| ${names[$range]} | ${tiers[$range]} | $(get "$f" points) | $(get "$f" open_median_ms) | $(get "$f" open_max_ms) | $target |"
done
f=$work/chart-day.txt
echo "| 24 h, one of the 39 sensors of the day database | raw | $(get "$f" points) | $(get "$f" open_median_ms) | $(get "$f" open_max_ms) | – |"
cat <<MD

\`temp-history export --since $from --until $until\` of that day ($export_rows rows of CSV), median of 5 runs:
${export_wall} ms wall, ${export_cpu} ms CPU (user + system); target under 1 s: $(verdict "$export_wall < 1000") on the wall
clock, $(verdict "$export_cpu < 1000") in CPU time. On a shared machine the wall time includes waiting for a core;
the CPU time is what the export costs.

The whole week of 39 sensors (\`temp-history export --since 2000-01-01\`, $week_rows rows from a ${week_mb} MB database):
peak resident memory $((week_kib / 1024)) MB ($week_kib KiB; target under 50 MB: $(verdict "$week_kib < 51200")), against
$((day_kib / 1024)) MB for the day above: the export writes each row as it is read, so its memory does not grow with
the range. It took $(awk -v w="$week_wall" 'BEGIN { printf "%.1f", w }') s wall, $(awk -v u="$week_user" -v s="$week_sys" 'BEGIN { printf "%.1f", u + s }') s CPU.
MD
