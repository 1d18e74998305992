// The rollups: a minute from its raw rows, an hour from its minutes, and the
// merge of new readings into a bucket whose rows below were pruned.
#include "history/history_writer_impl.h"

#include <algorithm>

namespace {

// One minute [?1, ?2) of the raw rows: good readings make min/mean/max and
// count, the others `failed`; the row carries the place of the latest good
// reading (of the latest reading when none was good). The place comes from a
// second grouping whose one max() ranks good readings above the others and
// then by time in the minute, so SQLite takes the place from that row: two
// passes over the minute's rows instead of one per sensor.
constexpr const char* RollMinuteSql = R"SQL(
INSERT OR REPLACE INTO minute (sensor, t, place, min, mean, max, count, failed)
SELECT g.sensor, ?1, p.place, g.mn, g.av, g.mx, g.n, g.total - g.n
FROM (SELECT sensor, min(v) AS mn, avg(v) AS av, max(v) AS mx, count(v) AS n, count(*) AS total
      FROM (SELECT sensor, CASE WHEN outcome = 0 THEN extended END AS v FROM reading WHERE t >= ?1 AND t < ?2)
      GROUP BY sensor) g
JOIN (SELECT sensor, place, max((outcome = 0 AND extended IS NOT NULL) * 60000 + (t - ?1))
      FROM reading WHERE t >= ?1 AND t < ?2 GROUP BY sensor) p ON p.sensor = g.sensor
)SQL";
static_assert(HISTORY_MINUTE_MS == 60000, "the place's rank in RollMinuteSql counts a minute's milliseconds");

// One hour [?1, ?2) of the minute rows, the mean weighted by count.
constexpr const char* RollHourSql = R"SQL(
INSERT OR REPLACE INTO hour (sensor, t, place, min, mean, max, count, failed)
SELECT g.sensor, ?1,
       (SELECT m.place FROM minute m WHERE m.sensor = g.sensor AND m.t >= ?1 AND m.t < ?2
          ORDER BY (m.count > 0) DESC, m.t DESC LIMIT 1),
       g.mn, g.s / nullif(g.n, 0), g.mx, g.n, g.f
FROM (SELECT sensor, min(min) AS mn, sum(mean * count) AS s, max(max) AS mx, sum(count) AS n,
             sum(failed) AS f
      FROM minute WHERE t >= ?1 AND t < ?2 GROUP BY sensor) g
)SQL";

}  // namespace

// Adds a commit's new readings of one bucket into its row, for a bucket whose
// rows below can no longer be read whole (pruned): ?1 sensor, ?2 start,
// ?3 place, ?4 min, ?5 mean, ?6 max, ?7 count, ?8 failed.
#define HISTORY_MERGE_SQL(table)                                                                              \
    "INSERT INTO " table " (sensor, t, place, min, mean, max, count, failed) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)" \
    " ON CONFLICT (sensor, t) DO UPDATE SET"                                                                  \
    " place = CASE WHEN excluded.count > 0 OR count = 0 THEN excluded.place ELSE place END,"                  \
    " min = min(coalesce(min, excluded.min), coalesce(excluded.min, min)),"                                   \
    " max = max(coalesce(max, excluded.max), coalesce(excluded.max, max)),"                                   \
    " mean = CASE WHEN count + excluded.count > 0 THEN (coalesce(mean * count, 0)"                            \
    " + coalesce(excluded.mean * excluded.count, 0)) / (count + excluded.count) END,"                         \
    " count = count + excluded.count, failed = failed + excluded.failed"

extern const char* const HistoryRollMinuteSql = RollMinuteSql;
extern const char* const HistoryRollHourSql = RollHourSql;
extern const char* const HistoryMergeMinuteSql = HISTORY_MERGE_SQL("minute");
extern const char* const HistoryMergeHourSql = HISTORY_MERGE_SQL("hour");

namespace {

int RunRange(sqlite3_stmt* statement, int64_t from, int64_t to)
{
    sqlite3_bind_int64(statement, 1, from);
    sqlite3_bind_int64(statement, 2, to);
    return HistoryRun(statement);
}

}  // namespace

void HistoryAddToSum(std::map<BucketKey, BucketSum>* sums, BucketKey key, const HistoryReading& reading,
                     int64_t place)
{
    BucketSum& sum = (*sums)[key];
    bool good = reading.outcome == HISTORY_GOOD && reading.hasWhole;
    if (good) {
        sum.min = sum.count ? std::min(sum.min, reading.extended) : reading.extended;
        sum.max = sum.count ? std::max(sum.max, reading.extended) : reading.extended;
        sum.sum += reading.extended;
        ++sum.count;
    } else {
        ++sum.failed;
    }
    // The place of the latest good reading, else of the latest reading.
    if ((good && !sum.placeGood) || (good == sum.placeGood && reading.timeMs >= sum.placeTime)) {
        sum.place = place;
        sum.placeTime = reading.timeMs;
        sum.placeGood = good;
    }
}

int HistoryMerge(sqlite3_stmt* merge, const std::map<BucketKey, BucketSum>& sums)
{
    for (const auto& [key, sum] : sums) {
        sqlite3_bind_int64(merge, 1, key.first);
        sqlite3_bind_int64(merge, 2, key.second);
        sqlite3_bind_int64(merge, 3, sum.place);
        for (int column : {4, 5, 6})
            sqlite3_bind_null(merge, column);
        if (sum.count) {
            sqlite3_bind_double(merge, 4, sum.min);
            sqlite3_bind_double(merge, 5, sum.sum / static_cast<double>(sum.count));
            sqlite3_bind_double(merge, 6, sum.max);
        }
        sqlite3_bind_int64(merge, 7, sum.count);
        sqlite3_bind_int64(merge, 8, sum.failed);
        if (!HistoryRun(merge))
            return 0;
    }
    return 1;
}

// Rolls up every bucket the stream has left (with `closing`, every bucket):
// a minute from its raw rows, then each hour from its minutes. A bucket
// revisited (a clock set back, a backlog) is rewritten from its rows.
int HistoryRollUp(HistoryWriter* writer, int64_t stream, bool closing, std::set<int64_t>* minutes,
                  std::set<int64_t>* hours)
{
    int64_t openMinute = closing ? HistoryNotYet : HistoryBucketStart(stream, HISTORY_MINUTE_MS);
    int64_t openHour = closing ? HistoryNotYet : HistoryBucketStart(stream, HISTORY_HOUR_MS);
    for (auto it = minutes->begin(); it != minutes->end();) {
        if (*it == openMinute) {
            ++it;
            continue;
        }
        if (!RunRange(writer->statements[ROLL_MINUTE], *it, *it + HISTORY_MINUTE_MS))
            return 0;
        int64_t hour = HistoryBucketStart(*it, HISTORY_HOUR_MS);
        if (hour >= writer->minutePruned)
            hours->insert(hour);
        it = minutes->erase(it);
    }
    for (auto it = hours->begin(); it != hours->end();) {
        // An hour closes once its minutes are all rolled up.
        bool open = *it == openHour || (!minutes->empty() && *minutes->begin() < *it + HISTORY_HOUR_MS
                                        && *minutes->rbegin() >= *it);
        if (open) {
            ++it;
            continue;
        }
        if (!RunRange(writer->statements[ROLL_HOUR], *it, *it + HISTORY_HOUR_MS))
            return 0;
        it = hours->erase(it);
    }
    return 1;
}
