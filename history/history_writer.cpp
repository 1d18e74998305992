// The logger's side of the history: each cycle's readings in one
// transaction, with the rollups of the minutes and hours that closed and a
// small batch of pruning; a bounded backlog while the database can't take them.
#include "history/history.h"
#include "history/history_db.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>
#include <utility>

namespace {

// WAL pages after which the checkpointer copies them into the database.
constexpr int CheckpointPages = 1000;
constexpr int BackstopPages = 3 * CheckpointPages / 2;

// Rows each tier may lose per commit: well above what a cycle adds, so
// pruning keeps up, and small enough that no commit pays for a large delete.
constexpr int PruneBatch = 200;
constexpr int64_t NotYet = INT64_MAX;

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

// Rows of a tier with times in [?1, ?2), at most ?3 of them, oldest first.
constexpr std::array<const char*, HISTORY_TIER_COUNT> PruneSql = {
    "DELETE FROM reading WHERE (t, sensor) IN (SELECT t, sensor FROM reading WHERE t >= ?1 AND t < ?2 ORDER BY t "
    "LIMIT ?3)",
    "DELETE FROM minute WHERE (sensor, t) IN (SELECT sensor, t FROM minute WHERE t >= ?1 AND t < ?2 ORDER BY t "
    "LIMIT ?3)",
    "DELETE FROM hour WHERE (sensor, t) IN (SELECT sensor, t FROM hour WHERE t >= ?1 AND t < ?2 ORDER BY t LIMIT ?3)",
};

enum Statement {
    SELECT_SENSOR,
    INSERT_SENSOR,
    SELECT_PLACE,
    INSERT_PLACE,
    INSERT_READING,
    ROLL_MINUTE,
    ROLL_HOUR,
    MERGE_MINUTE,
    MERGE_HOUR,
    PRUNE_RAW,
    PRUNE_MINUTE,
    PRUNE_HOUR,
    SAVE_STATE,
    STATEMENT_COUNT
};

constexpr std::array<const char*, STATEMENT_COUNT> StatementSql = {
    "SELECT id FROM sensor WHERE serial = ?1",
    "INSERT INTO sensor (serial) VALUES (?1)",
    "SELECT id FROM place WHERE place = ?1 AND label = ?2",
    "INSERT INTO place (place, label) VALUES (?1, ?2)",
    "INSERT OR IGNORE INTO reading (sensor, t, place, outcome, whole, extended) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
    RollMinuteSql,
    RollHourSql,
    HISTORY_MERGE_SQL("minute"),
    HISTORY_MERGE_SQL("hour"),
    PruneSql[HISTORY_RAW],
    PruneSql[HISTORY_MINUTE],
    PruneSql[HISTORY_HOUR],
    "INSERT OR REPLACE INTO state (key, value) VALUES ('horizon', ?1), ('stream', ?2), ('raw-pruned', ?3), "
    "('minute-pruned', ?4)",
};

// One step of a statement that returns no rows (or whose rows don't matter).
int Run(sqlite3_stmt* statement)
{
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

}  // namespace

// Checkpoints on a thread and connection of their own, so that the
// writer's commits never wait for the copy and its fsync. Passive: a
// reader's snapshot is never waited for either (the rest goes next time).
struct Checkpointer {
    std::string path;
    sqlite3* db = nullptr;
    std::thread thread;
    std::mutex lock;
    std::mutex running;  // held while a checkpoint runs
    std::condition_variable wake;
    std::condition_variable idle;  // a checkpoint ended
    bool wanted = false;
    bool busy = false;             // taken by the thread, not yet ended
    bool stopping = false;
    std::string failure;  // the latest checkpoint's failure, "" when it ran
};

// What a commit's new readings add to one bucket of one sensor.
struct BucketSum {
    int64_t place = 0;
    int64_t placeTime = INT64_MIN;
    bool placeGood = false;
    double min = 0, max = 0, sum = 0;
    int64_t count = 0, failed = 0;
};
using BucketKey = std::pair<int64_t, int64_t>;  // sensor id, bucket start

struct HistoryWriter {
    sqlite3* db = nullptr;
    Checkpointer checkpointer;
    std::string path;
    std::string folder;  // where free space is measured
    int64_t reserve = HISTORY_DISK_RESERVE;
    HistoryRetention retention;
    std::array<sqlite3_stmt*, STATEMENT_COUNT> statements = {};
    // Ids of rows committed before; cleared when a transaction rolls back.
    std::unordered_map<std::string, int64_t> sensorIds;
    std::map<std::pair<int, std::string>, int64_t> placeIds;
    std::deque<HistoryReading> backlog;
    size_t dropped = 0;
    // Buckets with readings not rolled up yet (minute and hour starts); a
    // bucket is rolled up once the stream of readings has left it.
    std::set<int64_t> dirtyMinutes, dirtyHours;
    int64_t stream = NotYet;  // the last reading committed (in the order they came)
    // Below these starts a tier's source rows may be pruned: a bucket there
    // is added to, never rewritten from them.
    int64_t rawPruned = INT64_MIN, minutePruned = INT64_MIN;
    int64_t positionPlaces = 0;  // place ids up to this hold record positions (version 1)
    // Pruning's horizon (the time that really passed) and the clocks it follows.
    HistoryClock clock{};
    int64_t horizon = NotYet;
    bool behind = false;  // the wall clock is behind the horizon (set back)
    // Times stamped while the wall clock was behind: such a row was taken at
    // its time plus the offset, and is pruned by that.
    struct Window {
        int64_t from, to, offset;
    };
    std::vector<Window> windows;
    int64_t lastWall = NotYet, lastMonotonic = 0;
    bool jumped = false;
    int64_t jumpFrom = 0, jumpTo = 0;
};

namespace {

int64_t SystemWallMs(void*)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t SystemMonotonicMs(void*)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A single integer of a query; `empty` when it gives NULL or no row.
int64_t QueryValue(sqlite3* db, const std::string& sql, int64_t empty)
{
    sqlite3_stmt* statement = nullptr;
    int64_t value = empty;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

std::vector<int64_t> QueryValues(sqlite3* db, const std::string& sql)
{
    std::vector<int64_t> values;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW)
            values.push_back(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    return values;
}

int64_t StateValue(sqlite3* db, const char* key, int64_t empty)
{
    return QueryValue(db, std::string("SELECT value FROM state WHERE key = '") + key + "'", empty);
}

// Where the last run left off: the buckets of its last reading are open (it
// may have been killed before closing them), and the marks it kept. A file
// of version 1 has no such state: its buckets past the last rollup rows are
// open, and pruning starts from its newest reading.
void LoadState(HistoryWriter* writer)
{
    sqlite3* db = writer->db;
    writer->positionPlaces = StateValue(db, "position-places", 0);
    writer->stream = StateValue(db, "stream", NotYet);
    writer->horizon = StateValue(db, "horizon", NotYet);
    writer->rawPruned = StateValue(db, "raw-pruned", INT64_MIN);
    writer->minutePruned = StateValue(db, "minute-pruned", INT64_MIN);
    if (writer->stream != NotYet) {
        writer->dirtyMinutes.insert(HistoryBucketStart(writer->stream, HISTORY_MINUTE_MS));
        writer->dirtyHours.insert(HistoryBucketStart(writer->stream, HISTORY_HOUR_MS));
        return;
    }
    int64_t minuteEnd = QueryValue(db, "SELECT max(t) + 60000 FROM minute", INT64_MIN);
    int64_t hourEnd = QueryValue(db, "SELECT max(t) + 3600000 FROM hour", INT64_MIN);
    for (int64_t t : QueryValues(db, "SELECT DISTINCT t - t % 60000 FROM reading WHERE t >= "
                                         + std::to_string(minuteEnd))) {
        writer->dirtyMinutes.insert(t);
        writer->dirtyHours.insert(HistoryBucketStart(t, HISTORY_HOUR_MS));
    }
    for (int64_t t : QueryValues(db, "SELECT DISTINCT t - t % 3600000 FROM minute WHERE t >= "
                                         + std::to_string(hourEnd)))
        writer->dirtyHours.insert(t);
    writer->horizon = QueryValue(db, "SELECT max(t) FROM reading", NotYet);
    // Rows below the oldest left may have been pruned by an earlier version.
    writer->rawPruned = QueryValue(db, "SELECT min(t) FROM reading", INT64_MIN);
    writer->minutePruned = QueryValue(db, "SELECT min(t) FROM minute", INT64_MIN);
}

int IdOf(sqlite3_stmt* select, sqlite3_stmt* insert, sqlite3* db, int64_t* id)
{
    int rc = sqlite3_step(select);
    if (rc == SQLITE_ROW)
        *id = sqlite3_column_int64(select, 0);
    sqlite3_reset(select);
    if (rc == SQLITE_ROW)
        return 1;
    if (rc != SQLITE_DONE || !Run(insert))
        return 0;
    *id = sqlite3_last_insert_rowid(db);
    return 1;
}

int SensorId(HistoryWriter* writer, const std::string& serial, int64_t* id)
{
    auto found = writer->sensorIds.find(serial);
    if (found != writer->sensorIds.end()) {
        *id = found->second;
        return 1;
    }
    sqlite3_stmt* select = writer->statements[SELECT_SENSOR];
    sqlite3_stmt* insert = writer->statements[INSERT_SENSOR];
    sqlite3_bind_text(select, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
    if (!IdOf(select, insert, writer->db, id))
        return 0;
    writer->sensorIds.emplace(serial, *id);
    return 1;
}

int PlaceId(HistoryWriter* writer, int place, const std::string& label, int64_t* id)
{
    auto key = std::make_pair(place, label);
    auto found = writer->placeIds.find(key);
    if (found != writer->placeIds.end()) {
        *id = found->second;
        return 1;
    }
    sqlite3_stmt* select = writer->statements[SELECT_PLACE];
    sqlite3_stmt* insert = writer->statements[INSERT_PLACE];
    for (sqlite3_stmt* statement : {select, insert}) {
        sqlite3_bind_int(statement, 1, place);
        sqlite3_bind_text(statement, 2, label.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (!IdOf(select, insert, writer->db, id))
        return 0;
    writer->placeIds.emplace(key, *id);
    return 1;
}

// Place rows of version 1 hold the record position; the readings of the
// first cycle after the upgrade tell the PLACE number of each position and
// label. A row no reading matches keeps its number.
int RenumberPositionPlaces(HistoryWriter* writer)
{
    if (writer->positionPlaces <= 0 || writer->backlog.empty())
        return 1;
    std::string error;
    for (const HistoryReading& reading : writer->backlog) {
        if (reading.position == reading.place)
            continue;
        sqlite3_stmt* find = nullptr;
        if (!HistoryPrepare(writer->db,
                            "SELECT id, (SELECT id FROM place q WHERE q.place = ?3 AND q.label = ?2) FROM place "
                            "WHERE id <= ?4 AND place = ?1 AND label = ?2",
                            &find, &error))
            return 0;
        sqlite3_bind_int(find, 1, reading.position);
        sqlite3_bind_text(find, 2, reading.label.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(find, 3, reading.place);
        sqlite3_bind_int64(find, 4, writer->positionPlaces);
        int rc = sqlite3_step(find);
        int64_t id = rc == SQLITE_ROW ? sqlite3_column_int64(find, 0) : 0;
        bool taken = rc == SQLITE_ROW && sqlite3_column_type(find, 1) != SQLITE_NULL;
        int64_t other = taken ? sqlite3_column_int64(find, 1) : 0;
        sqlite3_finalize(find);
        if (rc == SQLITE_DONE)
            continue;
        if (rc != SQLITE_ROW)
            return 0;
        std::string sql;
        if (!taken) {
            sql = "UPDATE place SET place = " + std::to_string(reading.place) + " WHERE id = " + std::to_string(id);
        } else {
            // Both numbers name the same place now: one row for it.
            std::string set = " SET place = " + std::to_string(other) + " WHERE place = " + std::to_string(id) + ";";
            sql = "UPDATE reading" + set + "UPDATE minute" + set + "UPDATE hour" + set
                  + "DELETE FROM place WHERE id = " + std::to_string(id);
        }
        if (!HistoryExec(writer->db, sql.c_str(), &error))
            return 0;
    }
    writer->placeIds.clear();
    return HistoryExec(writer->db, "DELETE FROM state WHERE key = 'position-places'", &error);
}

void AddToSum(std::map<BucketKey, BucketSum>* sums, BucketKey key, const HistoryReading& reading, int64_t place)
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

// Inserts one reading; the bucket sums get it when it is new and its bucket
// can't be rolled up again from the tier below. A reading whose millisecond
// one of that sensor already holds (a clock set back lands on stamps taken
// before) goes into the next free millisecond, so it is kept, not dropped.
int InsertReading(HistoryWriter* writer, HistoryReading reading, std::map<BucketKey, BucketSum> sums[2])
{
    int64_t sensor = 0, place = 0;
    if (!SensorId(writer, reading.serial, &sensor) || !PlaceId(writer, reading.place, reading.label, &place))
        return 0;
    sqlite3_stmt* insert = writer->statements[INSERT_READING];
    sqlite3_bind_int64(insert, 1, sensor);
    sqlite3_bind_int64(insert, 3, place);
    sqlite3_bind_int(insert, 4, reading.outcome);
    if (reading.hasWhole)
        sqlite3_bind_double(insert, 5, reading.whole);
    else
        sqlite3_bind_null(insert, 5);
    bool extended = reading.hasWhole
                    && (reading.outcome == HISTORY_GOOD || reading.outcome == HISTORY_CONVERSION_INCOMPLETE);
    if (extended)
        sqlite3_bind_double(insert, 6, reading.extended);
    else
        sqlite3_bind_null(insert, 6);
    for (int shift = 0;; ++shift) {
        sqlite3_bind_int64(insert, 2, reading.timeMs);
        if (!Run(insert))
            return 0;
        if (sqlite3_changes(writer->db) > 0)
            break;
        if (shift == HISTORY_SAME_STAMP_SHIFTS || reading.timeMs == INT64_MAX)
            return 1;  // a second's worth of readings of this sensor already there
        ++reading.timeMs;
    }
    int64_t minute = HistoryBucketStart(reading.timeMs, HISTORY_MINUTE_MS);
    int64_t hour = HistoryBucketStart(reading.timeMs, HISTORY_HOUR_MS);
    if (minute < writer->rawPruned)
        AddToSum(&sums[0], {sensor, minute}, reading, place);
    else
        writer->dirtyMinutes.insert(minute);
    if (hour < writer->minutePruned)
        AddToSum(&sums[1], {sensor, hour}, reading, place);
    return 1;
}

int RunRange(sqlite3_stmt* statement, int64_t from, int64_t to)
{
    sqlite3_bind_int64(statement, 1, from);
    sqlite3_bind_int64(statement, 2, to);
    return Run(statement);
}

int Merge(sqlite3_stmt* merge, const std::map<BucketKey, BucketSum>& sums)
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
        if (!Run(merge))
            return 0;
    }
    return 1;
}

// Rolls up every bucket the stream has left (with `closing`, every bucket):
// a minute from its raw rows, then each hour from its minutes. A bucket
// revisited (a clock set back, a backlog) is rewritten from its rows.
int RollUp(HistoryWriter* writer, int64_t stream, bool closing, std::set<int64_t>* minutes, std::set<int64_t>* hours)
{
    int64_t openMinute = closing ? NotYet : HistoryBucketStart(stream, HISTORY_MINUTE_MS);
    int64_t openHour = closing ? NotYet : HistoryBucketStart(stream, HISTORY_HOUR_MS);
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

// Moves the horizon by the clocks: never past the wall clock, never faster
// than the monotonic clock; notes a wall clock that jumped. While the wall
// clock is behind (set back, a board that booted at 1970), real time goes on
// and the readings' times are noted as a window.
void AdvanceHorizon(HistoryWriter* writer, int64_t start)
{
    int64_t wall = writer->clock.wallMs(writer->clock.context);
    int64_t monotonic = writer->clock.monotonicMs(writer->clock.context);
    int64_t elapsed = writer->lastWall == NotYet ? 0 : std::max<int64_t>(0, monotonic - writer->lastMonotonic);
    if (writer->lastWall != NotYet) {
        int64_t expected = writer->lastWall + elapsed;
        if (wall - expected > HISTORY_CLOCK_JUMP_MS || expected - wall > HISTORY_CLOCK_JUMP_MS) {
            writer->jumped = true;
            writer->jumpFrom = expected;
            writer->jumpTo = wall;
        }
    }
    writer->lastWall = wall;
    writer->lastMonotonic = monotonic;
    if (writer->horizon == NotYet)
        writer->horizon = start;
    if (writer->horizon == NotYet)
        return;
    int64_t real = writer->horizon + elapsed;
    writer->behind = wall < real - HISTORY_CLOCK_JUMP_MS;
    writer->horizon = writer->behind ? real : std::min(wall, real);
}

// The readings of a commit taken while the wall clock was behind.
void NoteWindow(HistoryWriter* writer, int64_t from, int64_t to)
{
    if (!writer->behind || from > to)
        return;
    int64_t offset = writer->horizon - writer->lastWall;
    auto& windows = writer->windows;
    if (!windows.empty() && std::abs(windows.back().offset - offset) <= HISTORY_CLOCK_JUMP_MS
        && from <= windows.back().to + HISTORY_CLOCK_JUMP_MS && to >= windows.back().from) {
        windows.back().from = std::min(windows.back().from, from);
        windows.back().to = std::max(windows.back().to, to + 1);
        windows.back().offset = std::max(windows.back().offset, offset);
    } else {
        windows.push_back({from, to + 1, offset});
    }
}

int LoadWindows(HistoryWriter* writer)
{
    sqlite3_stmt* statement = nullptr;
    std::string error;
    if (!HistoryPrepare(writer->db,
                        "SELECT value, (SELECT value FROM state WHERE key = 'window-to ' || substr(s.key, 13)), "
                        "(SELECT value FROM state WHERE key = 'window-offset ' || substr(s.key, 13)) "
                        "FROM state s WHERE key LIKE 'window-from %' ORDER BY value",
                        &statement, &error))
        return 0;
    while (sqlite3_step(statement) == SQLITE_ROW)
        writer->windows.push_back({sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1),
                                   sqlite3_column_int64(statement, 2)});
    sqlite3_finalize(statement);
    return 1;
}

int SaveWindows(HistoryWriter* writer, const std::vector<HistoryWriter::Window>& windows)
{
    std::string sql = "DELETE FROM state WHERE key LIKE 'window-%';";
    for (size_t i = 0; i < windows.size(); ++i) {
        std::string n = std::to_string(i);
        sql += "INSERT INTO state (key, value) VALUES ('window-from " + n + "', " + std::to_string(windows[i].from)
               + "), ('window-to " + n + "', " + std::to_string(windows[i].to) + "), ('window-offset " + n + "', "
               + std::to_string(windows[i].offset) + ");";
    }
    std::string error;
    return HistoryExec(writer->db, sql.c_str(), &error);
}

// Deletes up to *budget rows of a tier in [from, to).
int PruneRange(sqlite3_stmt* prune, int64_t from, int64_t to, int* budget, sqlite3* db)
{
    if (from >= to || *budget <= 0)
        return 1;
    sqlite3_bind_int64(prune, 1, from);
    sqlite3_bind_int64(prune, 2, to);
    sqlite3_bind_int(prune, 3, *budget);
    if (!Run(prune))
        return 0;
    *budget -= sqlite3_changes(db);
    return 1;
}

// At most PruneBatch rows of each tier older than its retention, counted
// back from the horizon (rows of a window by the time they were taken);
// never the rows of a bucket not rolled up yet. Windows whose rows are
// pruned in every tier are dropped.
int Prune(HistoryWriter* writer, const std::set<int64_t>& minutes, const std::set<int64_t>& hours,
          int64_t* rawPruned, int64_t* minutePruned, std::vector<HistoryWriter::Window>* windows)
{
    *rawPruned = writer->rawPruned;
    *minutePruned = writer->minutePruned;
    *windows = writer->windows;
    if (writer->horizon == NotYet)
        return 1;
    const int days[HISTORY_TIER_COUNT] = {writer->retention.rawDays, writer->retention.minuteDays,
                                          writer->retention.hourDays};
    std::vector<bool> expired(windows->size(), true);
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        if (days[tier] <= 0) {
            std::fill(expired.begin(), expired.end(), false);
            continue;
        }
        int64_t cutoff = writer->horizon - days[tier] * HISTORY_DAY_MS;
        int64_t keep = NotYet;  // never at or past the first bucket still to roll up
        if (tier == HISTORY_RAW && !minutes.empty())
            keep = *minutes.begin();
        if (tier == HISTORY_MINUTE && !hours.empty())
            keep = *hours.begin();
        sqlite3_stmt* prune = writer->statements[PRUNE_RAW + tier];
        int budget = PruneBatch;
        // A rollup row is stamped with its bucket's start, which may lie
        // before a window's first reading: a window of this tier begins at
        // the start of that reading's bucket.
        std::vector<HistoryWriter::Window> tierWindows = *windows;
        if (tier != HISTORY_RAW) {
            const int64_t bucket = tier == HISTORY_MINUTE ? HISTORY_MINUTE_MS : HISTORY_HOUR_MS;
            for (auto& window : tierWindows)
                window.from = HistoryBucketStart(window.from, bucket);
        }
        // Below the cutoff, between the windows; then each window's rows by
        // the time they were taken.
        int64_t from = INT64_MIN;
        std::vector<HistoryWriter::Window> sorted = tierWindows;
        std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.from < b.from; });
        for (const auto& window : sorted) {
            if (!PruneRange(prune, from, std::min({window.from, cutoff, keep}), &budget, writer->db))
                return 0;
            from = std::max(from, window.to);
        }
        if (!PruneRange(prune, from, std::min(cutoff, keep), &budget, writer->db))
            return 0;
        for (size_t i = 0; i < tierWindows.size(); ++i) {
            const auto& window = tierWindows[i];
            int64_t end = std::min({window.to, cutoff - window.offset, keep});
            if (!PruneRange(prune, window.from, end, &budget, writer->db))
                return 0;
            expired[i] = expired[i] && cutoff - window.offset >= window.to;
        }
        int64_t pruned = std::min(cutoff, keep);
        if (tier == HISTORY_RAW)
            *rawPruned = std::max(*rawPruned, pruned);
        if (tier == HISTORY_MINUTE)
            *minutePruned = std::max(*minutePruned, pruned);
    }
    for (size_t i = windows->size(); i-- > 0;)
        if (expired[i])
            windows->erase(windows->begin() + static_cast<std::ptrdiff_t>(i));
    return 1;
}

void Rollback(HistoryWriter* writer)
{
    if (!sqlite3_get_autocommit(writer->db))
        sqlite3_exec(writer->db, "ROLLBACK", nullptr, nullptr, nullptr);
    writer->sensorIds.clear();
    writer->placeIds.clear();
}

// 0 with *error when the file system has less than the reserve free.
int SpaceLeft(const HistoryWriter* writer, std::string* error)
{
    struct statvfs info;
    if (writer->reserve <= 0 || statvfs(writer->folder.c_str(), &info) != 0)
        return 1;
    auto free = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    if (free >= writer->reserve)
        return 1;
    *error = "disk full (" + std::to_string(free / 1024) + " KiB free, " + std::to_string(writer->reserve / 1024)
             + " KiB kept for the data files)";
    return 0;
}

// One transaction: the backlog's readings, the closed rollups (or, when
// `closing`, also the open minute and hour), a batch of pruning.
int Commit(HistoryWriter* writer, bool closing, std::string* error)
{
    AdvanceHorizon(writer, writer->backlog.empty() ? writer->stream : writer->backlog.back().timeMs);
    if (writer->backlog.empty() && !(closing && (!writer->dirtyMinutes.empty() || !writer->dirtyHours.empty())))
        return 1;
    // Closing writes what waits if SQLite can: this run's data files are done.
    if (!closing && !SpaceLeft(writer, error))
        return 0;
    if (sqlite3_exec(writer->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = HistoryErrorText(writer->db);
        return 0;
    }
    // The marks move only when the transaction commits.
    const std::set<int64_t> before = writer->dirtyMinutes;
    std::map<BucketKey, BucketSum> sums[2];
    int ok = RenumberPositionPlaces(writer);
    int64_t stream = writer->stream;
    int64_t earliest = NotYet, latest = INT64_MIN;
    for (const HistoryReading& reading : writer->backlog) {
        if (!ok || !InsertReading(writer, reading, sums)) {
            ok = 0;
            break;
        }
        stream = reading.timeMs;
        earliest = std::min(earliest, reading.timeMs);
        latest = std::max(latest, reading.timeMs);
    }
    const std::vector<HistoryWriter::Window> windowsBefore = writer->windows;
    NoteWindow(writer, earliest, latest);
    std::set<int64_t> minutes = writer->dirtyMinutes, hours = writer->dirtyHours;
    writer->dirtyMinutes = before;
    int64_t rawPruned = 0, minutePruned = 0;
    std::vector<HistoryWriter::Window> windows;
    ok = ok && Merge(writer->statements[MERGE_MINUTE], sums[0]) && Merge(writer->statements[MERGE_HOUR], sums[1])
         && RollUp(writer, stream, closing, &minutes, &hours)
         && Prune(writer, minutes, hours, &rawPruned, &minutePruned, &windows)
         && (windows.empty() && windowsBefore.empty() ? 1 : SaveWindows(writer, windows));
    writer->windows = windowsBefore;
    if (ok) {
        sqlite3_stmt* save = writer->statements[SAVE_STATE];
        sqlite3_bind_int64(save, 1, writer->horizon == NotYet ? stream : writer->horizon);
        sqlite3_bind_int64(save, 2, stream);
        sqlite3_bind_int64(save, 3, rawPruned);
        sqlite3_bind_int64(save, 4, minutePruned);
        ok = Run(save);
    }
    if (ok && sqlite3_exec(writer->db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        ok = 0;
    if (!ok) {
        *error = HistoryErrorText(writer->db);
        Rollback(writer);
        return 0;
    }
    if (!writer->backlog.empty())
        writer->positionPlaces = 0;
    writer->dirtyMinutes = std::move(minutes);
    writer->dirtyHours = std::move(hours);
    writer->rawPruned = rawPruned;
    writer->minutePruned = minutePruned;
    writer->windows = std::move(windows);
    writer->stream = stream;
    writer->backlog.clear();
    return 1;
}

// One passive checkpoint. The connection reads first: on one that has not
// read yet, SQLite does nothing and still answers SQLITE_OK (with -1 frames).
std::string Checkpoint(Checkpointer* checkpointer)
{
    if (!checkpointer->db) {
        if (sqlite3_open_v2(checkpointer->path.c_str(), &checkpointer->db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr)
            != SQLITE_OK) {
            std::string reason = "can't checkpoint: " + HistoryErrorText(checkpointer->db);
            sqlite3_close(checkpointer->db);
            checkpointer->db = nullptr;
            return reason;
        }
        int persist = 1;
        sqlite3_file_control(checkpointer->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        sqlite3_busy_timeout(checkpointer->db, HISTORY_BUSY_TIMEOUT_MS);
    }
    int frames = -1, copied = -1;
    int rc = sqlite3_exec(checkpointer->db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_wal_checkpoint_v2(checkpointer->db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY)
        return "can't checkpoint: " + HistoryErrorText(checkpointer->db);
    if (rc == SQLITE_OK && (frames < 0 || copied < 0))
        return "can't checkpoint: the write-ahead log was not read";
    return "";
}

void RunCheckpointer(Checkpointer* checkpointer)
{
    std::unique_lock<std::mutex> guard(checkpointer->lock);
    for (;;) {
        checkpointer->wake.wait(guard, [checkpointer] { return checkpointer->wanted || checkpointer->stopping; });
        if (checkpointer->stopping)
            return;
        checkpointer->wanted = false;
        checkpointer->busy = true;
        guard.unlock();
        std::string failure;
        {
            std::lock_guard<std::mutex> running(checkpointer->running);
            failure = Checkpoint(checkpointer);
        }
        guard.lock();
        checkpointer->failure = failure;
        checkpointer->busy = false;
        checkpointer->idle.notify_all();
    }
}

// After each commit: wakes the checkpointer once the WAL holds enough pages.
// When commits come faster than its checkpoints end (a backlog, a benchmark),
// the WAL can't start over; past twice as many pages the commit checkpoints
// itself, after any checkpoint the checkpointer is running.
int AfterCommit(void* context, sqlite3* db, const char*, int pages)
{
    auto* checkpointer = static_cast<Checkpointer*>(context);
    if (pages >= BackstopPages) {
        std::lock_guard<std::mutex> running(checkpointer->running);
        std::lock_guard<std::mutex> guard(checkpointer->lock);
        int frames = -1, copied = -1;
        int rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
        if (rc != SQLITE_OK && rc != SQLITE_BUSY)
            checkpointer->failure = "can't checkpoint: " + HistoryErrorText(db);
        else if (rc == SQLITE_OK && (frames < 0 || copied < 0))
            checkpointer->failure = "can't checkpoint: the write-ahead log was not read";
        else
            checkpointer->failure.clear();
        return SQLITE_OK;
    }
    if (pages >= CheckpointPages) {
        std::lock_guard<std::mutex> guard(checkpointer->lock);
        checkpointer->wanted = true;
        checkpointer->wake.notify_one();
    }
    return SQLITE_OK;
}

void StartCheckpointer(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    checkpointer->path = writer->path;
    sqlite3_wal_hook(writer->db, AfterCommit, checkpointer);
    checkpointer->thread = std::thread(RunCheckpointer, checkpointer);
}

void StopCheckpointer(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    if (checkpointer->thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(checkpointer->lock);
            checkpointer->stopping = true;
            checkpointer->wake.notify_one();
        }
        checkpointer->thread.join();
    }
    sqlite3_close(checkpointer->db);
    checkpointer->db = nullptr;
}

}  // namespace

HistoryWriter* HistoryOpenWriter(const std::string& path, const HistoryRetention& retention, std::string* error)
{
    sqlite3* db = nullptr;
    if (!HistoryOpenDatabase(path, true, &db, error))
        return nullptr;
    // The schema (or a migration) goes into the database file at once, so a
    // copy of the file alone is a history database from the start.
    sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    auto* writer = new HistoryWriter;
    writer->db = db;
    writer->path = path;
    writer->clock = HistoryClock{SystemWallMs, SystemMonotonicMs, nullptr};
    size_t slash = path.rfind('/');
    writer->folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    writer->retention = retention;
    for (int i = 0; i < STATEMENT_COUNT; ++i) {
        if (!HistoryPrepare(db, StatementSql[i], &writer->statements[i], error)) {
            *error = "Can't prepare the history in " + path + ": " + *error;
            HistoryCloseWriter(writer);
            return nullptr;
        }
    }
    LoadState(writer);
    LoadWindows(writer);
    StartCheckpointer(writer);
    return writer;
}

int HistoryAppend(HistoryWriter* writer, const std::vector<HistoryReading>& readings, std::string* error)
{
    writer->backlog.insert(writer->backlog.end(), readings.begin(), readings.end());
    while (writer->backlog.size() > HISTORY_BACKLOG_LIMIT) {
        writer->backlog.pop_front();
        ++writer->dropped;
    }
    return Commit(writer, false, error);
}

size_t HistoryBacklog(const HistoryWriter* writer)
{
    return writer ? writer->backlog.size() : 0;
}

void HistorySetDiskReserve(HistoryWriter* writer, int64_t bytes)
{
    writer->reserve = bytes;
}

size_t HistoryDropped(const HistoryWriter* writer)
{
    return writer ? writer->dropped : 0;
}

void HistorySetClock(HistoryWriter* writer, const HistoryClock& clock)
{
    writer->clock = clock;
    writer->lastWall = NotYet;
}

int HistoryTakeClockJump(HistoryWriter* writer, int64_t* fromMs, int64_t* toMs)
{
    if (!writer || !writer->jumped)
        return 0;
    writer->jumped = false;
    *fromMs = writer->jumpFrom;
    *toMs = writer->jumpTo;
    return 1;
}

int HistoryCheckpointHealth(HistoryWriter* writer, std::string* error)
{
    std::lock_guard<std::mutex> guard(writer->checkpointer.lock);
    if (writer->checkpointer.failure.empty())
        return 1;
    *error = writer->checkpointer.failure;
    return 0;
}

void HistoryWaitForCheckpoint(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    std::unique_lock<std::mutex> guard(checkpointer->lock);
    checkpointer->idle.wait(guard, [checkpointer] {
        return (!checkpointer->wanted && !checkpointer->busy) || checkpointer->stopping || !checkpointer->thread.joinable();
    });
}

int64_t HistoryHorizon(const HistoryWriter* writer)
{
    return writer->horizon == NotYet ? INT64_MIN : writer->horizon;
}

void HistoryCloseWriter(HistoryWriter* writer)
{
    if (!writer)
        return;
    if (writer->statements[STATEMENT_COUNT - 1]) {
        std::string ignored;
        Commit(writer, true, &ignored);
    }
    // The writer's connection closes last: it checkpoints what is left and
    // keeps -wal and -shm for read-only readers.
    StopCheckpointer(writer);
    sqlite3_wal_hook(writer->db, nullptr, nullptr);
    for (sqlite3_stmt* statement : writer->statements)
        sqlite3_finalize(statement);
    sqlite3_close(writer->db);
    delete writer;
}
