// The logger's side of the history: each cycle's readings in one
// transaction, with the rollups of the minutes and hours that closed and a
// small batch of pruning; a bounded backlog while the database can't take them.
#include "history/history.h"
#include "history/history_db.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

// WAL pages after which the checkpointer copies them into the database.
constexpr int CheckpointPages = 1000;

// Rows each tier may lose per commit: well above what a cycle adds, so
// pruning keeps up, and small enough that no commit pays for a large delete.
constexpr int PruneBatch = 200;
constexpr int64_t NotYet = INT64_MAX;

constexpr const char* RollMinuteSql = R"SQL(
INSERT OR REPLACE INTO minute (sensor, t, place, min, mean, max, count)
SELECT g.sensor, g.b,
       (SELECT r.place FROM reading r WHERE r.sensor = g.sensor AND r.t >= g.b AND r.t < g.b + 60000
          AND r.outcome = 0 AND r.extended IS NOT NULL ORDER BY r.t DESC LIMIT 1),
       g.mn, g.av, g.mx, g.n
FROM (SELECT sensor, t - t % 60000 AS b, min(extended) AS mn, avg(extended) AS av, max(extended) AS mx,
             count(*) AS n
      FROM reading WHERE t >= ?1 AND t < ?2 AND outcome = 0 AND extended IS NOT NULL
      GROUP BY sensor, b) g
)SQL";

constexpr const char* RollHourSql = R"SQL(
INSERT OR REPLACE INTO hour (sensor, t, place, min, mean, max, count)
SELECT g.sensor, g.b,
       (SELECT m.place FROM minute m WHERE m.sensor = g.sensor AND m.t >= g.b AND m.t < g.b + 3600000
          ORDER BY m.t DESC LIMIT 1),
       g.mn, g.s / g.n, g.mx, g.n
FROM (SELECT sensor, t - t % 3600000 AS b, min(min) AS mn, sum(mean * count) AS s, max(max) AS mx,
             sum(count) AS n
      FROM minute WHERE t >= ?1 AND t < ?2 GROUP BY sensor, b) g
)SQL";

constexpr std::array<const char*, HISTORY_TIER_COUNT> PruneSql = {
    "DELETE FROM reading WHERE (t, sensor) IN (SELECT t, sensor FROM reading WHERE t < ?1 ORDER BY t LIMIT ?2)",
    "DELETE FROM minute WHERE (sensor, t) IN (SELECT sensor, t FROM minute WHERE t < ?1 ORDER BY t LIMIT ?2)",
    "DELETE FROM hour WHERE (sensor, t) IN (SELECT sensor, t FROM hour WHERE t < ?1 ORDER BY t LIMIT ?2)",
};

enum Statement {
    SELECT_SENSOR,
    INSERT_SENSOR,
    SELECT_PLACE,
    INSERT_PLACE,
    INSERT_READING,
    ROLL_MINUTE,
    ROLL_HOUR,
    PRUNE_RAW,
    PRUNE_MINUTE,
    PRUNE_HOUR,
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
    PruneSql[HISTORY_RAW],
    PruneSql[HISTORY_MINUTE],
    PruneSql[HISTORY_HOUR],
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
    sqlite3* db = nullptr;
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool wanted = false;
    bool stopping = false;
};

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
    // The first minute and hour not rolled up yet (NotYet: from the first reading on).
    int64_t minuteDone = NotYet;
    int64_t hourDone = NotYet;
    int64_t lastMs = NotYet;  // the latest reading committed in this run
};

namespace {

// A single integer of a query; `empty` when it gives NULL or no row.
int64_t QueryValue(sqlite3* db, const char* sql, int64_t empty)
{
    sqlite3_stmt* statement = nullptr;
    int64_t value = empty;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW
        && sqlite3_column_type(statement, 0) != SQLITE_NULL)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// Where the rollups left off: past the last bucket written, or (after a
// crash before the first one) at the first row below them.
void FindRollupMarks(HistoryWriter* writer)
{
    int64_t lastMinute = QueryValue(writer->db, "SELECT max(t) FROM minute", NotYet);
    int64_t firstMinute = QueryValue(writer->db, "SELECT min(t) FROM minute", NotYet);
    int64_t firstRaw = QueryValue(writer->db, "SELECT min(t) FROM reading", NotYet);
    int64_t lastHour = QueryValue(writer->db, "SELECT max(t) FROM hour", NotYet);
    if (lastMinute != NotYet)
        writer->minuteDone = lastMinute + HISTORY_MINUTE_MS;
    else if (firstRaw != NotYet)
        writer->minuteDone = HistoryBucketStart(firstRaw, HISTORY_MINUTE_MS);
    if (lastHour != NotYet)
        writer->hourDone = lastHour + HISTORY_HOUR_MS;
    else if (firstMinute != NotYet || firstRaw != NotYet)
        writer->hourDone = HistoryBucketStart(std::min(firstMinute, firstRaw), HISTORY_HOUR_MS);
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

int InsertReading(HistoryWriter* writer, const HistoryReading& reading)
{
    int64_t sensor = 0, place = 0;
    if (!SensorId(writer, reading.serial, &sensor) || !PlaceId(writer, reading.place, reading.label, &place))
        return 0;
    sqlite3_stmt* insert = writer->statements[INSERT_READING];
    sqlite3_bind_int64(insert, 1, sensor);
    sqlite3_bind_int64(insert, 2, reading.timeMs);
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
    return Run(insert);
}

int RunRange(sqlite3_stmt* statement, int64_t from, int64_t to)
{
    if (from >= to)
        return 1;
    sqlite3_bind_int64(statement, 1, from);
    sqlite3_bind_int64(statement, 2, to);
    return Run(statement);
}

// Rolls up every bucket from the first not done (or the earliest reading of
// this commit, which may fall in a bucket done before) up to `minuteEnd` and
// `hourEnd`, and moves the marks there.
int RollUp(HistoryWriter* writer, int64_t earliestMs, int64_t minuteEnd, int64_t hourEnd, int64_t* minuteDone,
           int64_t* hourDone)
{
    int64_t minuteFrom = std::min(writer->minuteDone, HistoryBucketStart(earliestMs, HISTORY_MINUTE_MS));
    int64_t hourFrom = std::min(writer->hourDone, HistoryBucketStart(earliestMs, HISTORY_HOUR_MS));
    if (!RunRange(writer->statements[ROLL_MINUTE], minuteFrom, minuteEnd)
        || !RunRange(writer->statements[ROLL_HOUR], hourFrom, hourEnd))
        return 0;
    *minuteDone = minuteEnd;
    *hourDone = hourEnd;
    return 1;
}

// At most PruneBatch rows of each tier older than its retention, counted
// back from the latest reading.
int Prune(HistoryWriter* writer, int64_t nowMs)
{
    const int days[HISTORY_TIER_COUNT] = {writer->retention.rawDays, writer->retention.minuteDays,
                                          writer->retention.hourDays};
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        if (days[tier] <= 0)
            continue;
        sqlite3_stmt* prune = writer->statements[PRUNE_RAW + tier];
        sqlite3_bind_int64(prune, 1, nowMs - days[tier] * HISTORY_DAY_MS);
        sqlite3_bind_int(prune, 2, PruneBatch);
        if (!Run(prune))
            return 0;
    }
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
    if (writer->backlog.empty() && !(closing && writer->lastMs != NotYet))
        return 1;
    // Closing writes what waits if SQLite can: this run's data files are done.
    if (!closing && !SpaceLeft(writer, error))
        return 0;
    if (sqlite3_exec(writer->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = HistoryErrorText(writer->db);
        return 0;
    }
    int64_t earliest = NotYet, latest = writer->lastMs == NotYet ? INT64_MIN : writer->lastMs;
    int ok = 1;
    for (const HistoryReading& reading : writer->backlog) {
        if (!InsertReading(writer, reading)) {
            ok = 0;
            break;
        }
        earliest = std::min(earliest, reading.timeMs);
        latest = std::max(latest, reading.timeMs);
    }
    if (earliest == NotYet)
        earliest = latest;
    // A bucket closes with the first reading past it; closing the writer
    // rolls up the open ones too (a later run adds to them).
    int64_t minuteEnd = HistoryBucketStart(latest, HISTORY_MINUTE_MS) + (closing ? HISTORY_MINUTE_MS : 0);
    int64_t hourEnd = HistoryBucketStart(latest, HISTORY_HOUR_MS) + (closing ? HISTORY_HOUR_MS : 0);
    int64_t minuteDone = 0, hourDone = 0;
    ok = ok && RollUp(writer, earliest, minuteEnd, hourEnd, &minuteDone, &hourDone) && Prune(writer, latest);
    if (ok && sqlite3_exec(writer->db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        ok = 0;
    if (!ok) {
        *error = HistoryErrorText(writer->db);
        Rollback(writer);
        return 0;
    }
    writer->minuteDone = minuteDone;
    writer->hourDone = hourDone;
    writer->lastMs = latest;
    writer->backlog.clear();
    return 1;
}

void RunCheckpointer(Checkpointer* checkpointer)
{
    std::unique_lock<std::mutex> guard(checkpointer->lock);
    for (;;) {
        checkpointer->wake.wait(guard, [checkpointer] { return checkpointer->wanted || checkpointer->stopping; });
        if (checkpointer->stopping)
            return;
        checkpointer->wanted = false;
        guard.unlock();
        sqlite3_wal_checkpoint_v2(checkpointer->db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        guard.lock();
    }
}

// After each commit: wakes the checkpointer once the WAL holds enough pages.
int AfterCommit(void* context, sqlite3*, const char*, int pages)
{
    auto* checkpointer = static_cast<Checkpointer*>(context);
    if (pages >= CheckpointPages && checkpointer->db) {
        std::lock_guard<std::mutex> guard(checkpointer->lock);
        checkpointer->wanted = true;
        checkpointer->wake.notify_one();
    }
    return SQLITE_OK;
}

void StartCheckpointer(HistoryWriter* writer)
{
    Checkpointer* checkpointer = &writer->checkpointer;
    if (sqlite3_open_v2(writer->path.c_str(), &checkpointer->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr)
        != SQLITE_OK) {
        // Without it, the writer's own connection checkpoints as SQLite does by default.
        sqlite3_close(checkpointer->db);
        checkpointer->db = nullptr;
        sqlite3_wal_autocheckpoint(writer->db, CheckpointPages);
        return;
    }
    int persist = 1;
    sqlite3_file_control(checkpointer->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
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
    auto* writer = new HistoryWriter;
    writer->db = db;
    writer->path = path;
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
    FindRollupMarks(writer);
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
