// The logger's side of the history: opening, closing and the state a run
// left behind; the commit, rollups, retention and checkpoints each have a
// file of their own (history_writer_impl.h lists them).
#include "history/history_writer_impl.h"

#include <algorithm>
#include <chrono>

int HistoryRun(sqlite3_stmt* statement)
{
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

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
    writer->stream = StateValue(db, "stream", HistoryNotYet);
    writer->horizon = StateValue(db, "horizon", HistoryNotYet);
    writer->rawPruned = StateValue(db, "raw-pruned", INT64_MIN);
    writer->minutePruned = StateValue(db, "minute-pruned", INT64_MIN);
    if (writer->stream != HistoryNotYet) {
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
    writer->horizon = QueryValue(db, "SELECT max(t) FROM reading", HistoryNotYet);
    // Rows below the oldest left may have been pruned by an earlier version.
    writer->rawPruned = QueryValue(db, "SELECT min(t) FROM reading", INT64_MIN);
    writer->minutePruned = QueryValue(db, "SELECT min(t) FROM minute", INT64_MIN);
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
    const std::array<const char*, STATEMENT_COUNT> sql = {
        "SELECT id FROM sensor WHERE serial = ?1",
        "INSERT INTO sensor (serial) VALUES (?1)",
        "SELECT id FROM place WHERE place = ?1 AND label = ?2",
        "INSERT INTO place (place, label) VALUES (?1, ?2)",
        "INSERT OR IGNORE INTO reading (sensor, t, place, outcome, whole, extended) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
        HistoryRollMinuteSql,
        HistoryRollHourSql,
        HistoryMergeMinuteSql,
        HistoryMergeHourSql,
        HistoryPruneSql[HISTORY_RAW],
        HistoryPruneSql[HISTORY_MINUTE],
        HistoryPruneSql[HISTORY_HOUR],
        "INSERT OR REPLACE INTO state (key, value) VALUES ('horizon', ?1), ('stream', ?2), ('raw-pruned', ?3), "
        "('minute-pruned', ?4)",
    };
    for (int i = 0; i < STATEMENT_COUNT; ++i) {
        if (!HistoryPrepare(db, sql[i], &writer->statements[i], error)) {
            *error = "Can't prepare the history in " + path + ": " + *error;
            HistoryCloseWriter(writer);
            return nullptr;
        }
    }
    LoadState(writer);
    HistoryLoadWindows(writer);
    HistoryTakeSpill(writer);
    HistoryStartCheckpointer(writer);
    return writer;
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
    writer->lastWall = HistoryNotYet;
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

int64_t HistoryHorizon(const HistoryWriter* writer)
{
    return writer->horizon == HistoryNotYet ? INT64_MIN : writer->horizon;
}

// The close: the WAL emptied, the backlog committed when the lock comes in
// time and the disk has room, else spilled.
int HistoryCloseWriterWithin(HistoryWriter* writer, int boundMs, HistoryCloseReport* report)
{
    HistoryCloseReport ignored;
    if (!report)
        report = &ignored;
    *report = HistoryCloseReport();
    if (!writer)
        return 1;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs > 0 ? boundMs : 0);
    // Waits for a lock are cut to a share of the time left, the rest kept for the spill.
    auto waitMs = [deadline](int most, int share) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(most, left / share)));
    };
    HistoryStopCheckpointer(writer);
    sqlite3_wal_hook(writer->db, nullptr, nullptr);
    const bool prepared = writer->statements[STATEMENT_COUNT - 1] != nullptr;
    // The frames the checkpointer left go into the database first, so that
    // the commit below starts a WAL of its own from nothing.
    sqlite3_busy_timeout(writer->db, waitMs(1000, 5));
    sqlite3_wal_checkpoint_v2(writer->db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    const size_t waiting = writer->backlog.size();
    bool committed = false;
    if (prepared) {
        sqlite3_busy_timeout(writer->db, waitMs(HISTORY_BUSY_TIMEOUT_MS, 2));
        // The commit's WAL frames and the database's growth, both, beside the reserve.
        int64_t needed = 4 * HistorySpillBytesPerReading * static_cast<int64_t>(waiting);
        // A commit that would run past its share of the bound (a long backlog
        // on a slow card) is interrupted and rolled back: the spill is cheaper.
        auto commitEnd = deadline - std::min<std::chrono::milliseconds>(std::chrono::milliseconds(1500),
                                                                        std::chrono::milliseconds(boundMs / 3));
        sqlite3_progress_handler(
            writer->db, 1000, [](void* end) { return Clock::now() >= *static_cast<Clock::time_point*>(end) ? 1 : 0; },
            &commitEnd);
        if (HistorySpaceLeft(writer->folder, writer->reserve, needed, &report->reason))
            committed = HistoryCommit(writer, true, &report->reason);
        sqlite3_progress_handler(writer->db, 0, nullptr, nullptr);
        report->clockJumped = HistoryTakeClockJump(writer, &report->jumpFromMs, &report->jumpToMs) != 0;
        if (committed) {
            report->committed = waiting;
            report->reason.clear();
            sqlite3_busy_timeout(writer->db, waitMs(1000, 3));
            sqlite3_wal_checkpoint_v2(writer->db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        }
    }
    if (!writer->backlog.empty()) {
        // Readings taken back from a spill that is still there stay in it.
        size_t kept = std::min(writer->spillCount, writer->backlog.size());
        std::vector<HistoryReading> rest(writer->backlog.begin() + static_cast<std::ptrdiff_t>(kept),
                                         writer->backlog.end());
        report->spilled += kept;
        HistorySpill(writer->path, rest, writer->reserve / 4, report);
    }
    for (sqlite3_stmt* statement : writer->statements)
        sqlite3_finalize(statement);
    sqlite3_close(writer->db);
    delete writer;
    return report->lost == 0;
}

void HistoryCloseWriter(HistoryWriter* writer)
{
    HistoryCloseWriterWithin(writer, HISTORY_CLOSE_MS, nullptr);
}
