// The spill file: readings a close could not commit (a database locked by
// another program, a disk at its reserve), kept beside the database in the
// history's own format and taken back by the next open.
#include "history/history_writer_impl.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>

namespace {

// Readings per transaction of the spill: a full backlog in a dozen, so few
// syncs at the stop.
constexpr size_t SpillChunk = 10000;

int64_t NewSpillId()
{
    std::random_device random;
    auto id = (static_cast<uint64_t>(random()) << 31) ^ random()
              ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    id &= INT64_MAX;
    return id ? static_cast<int64_t>(id) : 1;
}

int64_t SingleValue(sqlite3* db, const char* sql, int64_t empty)
{
    sqlite3_stmt* statement = nullptr;
    int64_t value = empty;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW
        && sqlite3_column_type(statement, 0) != SQLITE_NULL)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// The id of a spill file (0 when it is not one: foreign, or not finished).
int64_t SpillIdOf(sqlite3* db)
{
    if (SingleValue(db, "PRAGMA application_id", 0) != HISTORY_APPLICATION_ID)
        return 0;
    return SingleValue(db, "SELECT value FROM state WHERE key = 'spill-id'", 0);
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void RemoveSpillFiles(const std::string& spill)
{
    std::remove(spill.c_str());
    std::remove((spill + "-journal").c_str());
}

// Appends readings to the spill of `path` (creating it), a chunk per
// transaction while the disk keeps `reserve` free. Adds to *written.
int WriteSpill(const std::string& path, const std::vector<HistoryReading>& readings, int64_t reserve,
               size_t* written, std::string* error)
{
    const std::string spill = HistorySpillFile(path);
    const std::string folder = FolderOf(path);
    if (!HistorySpaceLeft(folder, reserve, HistorySpillBytesPerReading * 64, error))
        return 0;
    bool existed = access(spill.c_str(), F_OK) == 0;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(spill.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr)
        != SQLITE_OK) {
        *error = "can't open " + spill + ": " + HistoryErrorText(db);
        sqlite3_close(db);
        return 0;
    }
    sqlite3_busy_timeout(db, HISTORY_BUSY_TIMEOUT_MS);
    int ok = 1;
    if (existed && !SpillIdOf(db)) {
        *error = spill + " is not a history spill file";
        ok = 0;
    } else if (!existed) {
        std::string sql = std::string("BEGIN IMMEDIATE;") + HistorySchemaSql + "PRAGMA application_id = "
                          + std::to_string(HISTORY_APPLICATION_ID) + "; PRAGMA user_version = "
                          + std::to_string(HISTORY_SCHEMA_VERSION)
                          + "; INSERT INTO state (key, value) VALUES ('spill-id', " + std::to_string(NewSpillId())
                          + "); COMMIT;";
        ok = HistoryExec(db, sql.c_str(), error);
    }
    sqlite3_stmt* statements[3] = {};
    ok = ok && HistoryPrepare(db, "INSERT OR IGNORE INTO sensor (serial) VALUES (?1)", &statements[0], error)
         && HistoryPrepare(db, "INSERT OR IGNORE INTO place (place, label) VALUES (?1, ?2)", &statements[1], error)
         && HistoryPrepare(db,
                           "INSERT OR IGNORE INTO reading (t, sensor, place, outcome, whole, extended) VALUES (?1, "
                           "(SELECT id FROM sensor WHERE serial = ?2), "
                           "(SELECT id FROM place WHERE place = ?3 AND label = ?4), ?5, ?6, ?7)",
                           &statements[2], error);
    size_t done = 0;
    while (ok && done < readings.size()) {
        size_t end = std::min(readings.size(), done + SpillChunk);
        if (!HistorySpaceLeft(folder, reserve, HistorySpillBytesPerReading * static_cast<int64_t>(end - done), error)
            || !HistoryExec(db, "BEGIN IMMEDIATE", error)) {
            ok = 0;
            break;
        }
        for (size_t i = done; ok && i < end; ++i) {
            const HistoryReading& reading = readings[i];
            sqlite3_bind_text(statements[0], 1, reading.serial.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(statements[1], 1, reading.place);
            sqlite3_bind_text(statements[1], 2, reading.label.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_stmt* insert = statements[2];
            sqlite3_bind_text(insert, 2, reading.serial.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, reading.place);
            sqlite3_bind_text(insert, 4, reading.label.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 5, reading.outcome);
            if (reading.hasWhole)
                sqlite3_bind_double(insert, 6, reading.whole);
            else
                sqlite3_bind_null(insert, 6);
            if (reading.hasWhole)
                sqlite3_bind_double(insert, 7, reading.extended);
            else
                sqlite3_bind_null(insert, 7);
            ok = HistoryRun(statements[0]) && HistoryRun(statements[1]);
            // A stamp the sensor already holds here goes to the next free millisecond, as in the database.
            for (int shift = 0; ok && shift <= HISTORY_SAME_STAMP_SHIFTS; ++shift) {
                sqlite3_bind_int64(insert, 1, reading.timeMs + shift);
                ok = HistoryRun(insert);
                if (sqlite3_changes(db) > 0)
                    break;
            }
        }
        if (ok && !HistoryExec(db, "COMMIT", error))
            ok = 0;
        if (!ok) {
            if (error->empty())
                *error = HistoryErrorText(db);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            break;
        }
        *written += end - done;
        done = end;
    }
    if (!ok && error->empty())
        *error = HistoryErrorText(db);
    for (sqlite3_stmt* statement : statements)
        sqlite3_finalize(statement);
    sqlite3_close(db);
    if (!existed && *written == 0)
        RemoveSpillFiles(spill);
    return ok;
}

}  // namespace

std::string HistorySpillFile(const std::string& path)
{
    return path + "-spill";
}

int HistorySpill(const std::string& path, const std::vector<HistoryReading>& readings, int64_t reserve,
                 HistoryCloseReport* report)
{
    size_t written = 0;
    std::string error;
    if (!readings.empty())
        WriteSpill(path, readings, reserve, &written, &error);
    report->spilled += written;
    report->lost += readings.size() - written;
    if (written < readings.size())
        report->problem = error;
    return written == readings.size();
}

void HistoryTakeSpill(HistoryWriter* writer)
{
    const std::string spill = HistorySpillFile(writer->path);
    if (access(spill.c_str(), F_OK) != 0)
        return;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(spill.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        writer->spillProblem = "can't open " + spill + ": " + HistoryErrorText(db);
        sqlite3_close(db);
        return;
    }
    sqlite3_busy_timeout(db, HISTORY_BUSY_TIMEOUT_MS);
    int64_t id = SpillIdOf(db);
    if (!id) {
        writer->spillProblem = spill + " is not a history spill file";
        sqlite3_close(db);
        return;
    }
    std::string merged = "SELECT value FROM state WHERE key = 'spill-merged'";
    if (SingleValue(writer->db, merged.c_str(), 0) == id) {
        // Merged by a run that was stopped before it could remove the file.
        sqlite3_close(db);
        RemoveSpillFiles(spill);
        return;
    }
    std::vector<HistoryReading> readings;
    sqlite3_stmt* select = nullptr;
    std::string error;
    if (!HistoryPrepare(db,
                        "SELECT r.t, s.serial, p.place, p.label, r.outcome, r.whole, r.extended FROM reading r "
                        "JOIN sensor s ON s.id = r.sensor JOIN place p ON p.id = r.place ORDER BY r.t, s.serial",
                        &select, &error)) {
        writer->spillProblem = "can't read " + spill + ": " + error;
        sqlite3_close(db);
        return;
    }
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        HistoryReading reading;
        reading.timeMs = sqlite3_column_int64(select, 0);
        reading.serial = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
        reading.place = sqlite3_column_int(select, 2);
        reading.position = reading.place;
        reading.label = reinterpret_cast<const char*>(sqlite3_column_text(select, 3));
        reading.outcome = sqlite3_column_int(select, 4);
        reading.hasWhole = sqlite3_column_type(select, 5) != SQLITE_NULL;
        reading.whole = sqlite3_column_double(select, 5);
        reading.extended = sqlite3_column_double(select, 6);
        readings.push_back(std::move(reading));
    }
    sqlite3_finalize(select);
    if (rc != SQLITE_DONE) {
        writer->spillProblem = "can't read " + spill + ": " + HistoryErrorText(db);
        sqlite3_close(db);
        return;
    }
    sqlite3_close(db);
    writer->backlog.insert(writer->backlog.begin(), readings.begin(), readings.end());
    writer->spillId = id;
    writer->spillCount = readings.size();
    writer->spillTaken = readings.size();
}

int HistoryMarkSpillMerged(HistoryWriter* writer)
{
    std::string sql = "INSERT OR REPLACE INTO state (key, value) VALUES ('spill-merged', "
                      + std::to_string(writer->spillId) + ")";
    std::string error;
    return HistoryExec(writer->db, sql.c_str(), &error);
}

void HistoryRemoveSpill(HistoryWriter* writer)
{
    RemoveSpillFiles(HistorySpillFile(writer->path));
    writer->spillId = 0;
    writer->spillCount = 0;
}

size_t HistorySpillTaken(const HistoryWriter* writer, std::string* problem)
{
    if (!writer)
        return 0;
    *problem = writer->spillProblem;
    return writer->spillTaken;
}
