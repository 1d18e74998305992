// The commit: the backlog's readings in one transaction with the rollups of
// the buckets they closed and a batch of pruning; the backlog waits while the
// database is locked or the disk is full.
#include "history/history_writer_impl.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace {

int IdOf(sqlite3_stmt* select, sqlite3_stmt* insert, sqlite3* db, int64_t* id)
{
    int rc = sqlite3_step(select);
    if (rc == SQLITE_ROW)
        *id = sqlite3_column_int64(select, 0);
    sqlite3_reset(select);
    if (rc == SQLITE_ROW)
        return 1;
    if (rc != SQLITE_DONE || !HistoryRun(insert))
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
        if (!HistoryRun(insert))
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
        HistoryAddToSum(&sums[0], {sensor, minute}, reading, place);
    else
        writer->dirtyMinutes.insert(minute);
    if (hour < writer->minutePruned)
        HistoryAddToSum(&sums[1], {sensor, hour}, reading, place);
    return 1;
}

}  // namespace

int HistorySpaceLeft(const std::string& folder, int64_t reserve, int64_t extra, std::string* error)
{
    struct statvfs info;
    if (reserve <= 0 || statvfs(folder.c_str(), &info) != 0)
        return 1;
    auto free = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    if (free >= reserve + extra)
        return 1;
    *error = "disk full (" + std::to_string(free / 1024) + " KiB free, " + std::to_string(reserve / 1024)
             + " KiB kept for the data files)";
    return 0;
}

void HistoryRollback(HistoryWriter* writer)
{
    if (!sqlite3_get_autocommit(writer->db))
        sqlite3_exec(writer->db, "ROLLBACK", nullptr, nullptr, nullptr);
    writer->sensorIds.clear();
    writer->placeIds.clear();
}

// One transaction: the backlog's readings, the closed rollups (or, when
// `closing`, also the open minute and hour), a batch of pruning.
int HistoryCommit(HistoryWriter* writer, bool closing, std::string* error)
{
    HistoryAdvanceHorizon(writer, writer->backlog.empty() ? writer->stream : writer->backlog.back().timeMs);
    if (writer->backlog.empty() && !(closing && (!writer->dirtyMinutes.empty() || !writer->dirtyHours.empty())))
        return 1;
    if (!HistorySpaceLeft(writer->folder, writer->reserve, 0, error))
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
    int64_t earliest = HistoryNotYet, latest = INT64_MIN;
    for (const HistoryReading& reading : writer->backlog) {
        if (!ok || !InsertReading(writer, reading, sums)) {
            ok = 0;
            break;
        }
        stream = reading.timeMs;
        earliest = std::min(earliest, reading.timeMs);
        latest = std::max(latest, reading.timeMs);
    }
    const std::vector<HistoryWindow> windowsBefore = writer->windows;
    HistoryNoteWindow(writer, earliest, latest);
    std::set<int64_t> minutes = writer->dirtyMinutes, hours = writer->dirtyHours;
    writer->dirtyMinutes = before;
    int64_t rawPruned = 0, minutePruned = 0;
    std::vector<HistoryWindow> windows;
    ok = ok && HistoryMerge(writer->statements[MERGE_MINUTE], sums[0])
         && HistoryMerge(writer->statements[MERGE_HOUR], sums[1])
         && HistoryRollUp(writer, stream, closing, &minutes, &hours)
         && HistoryPrune(writer, minutes, hours, &rawPruned, &minutePruned, &windows)
         && (windows.empty() && windowsBefore.empty() ? 1 : HistorySaveWindows(writer, windows));
    writer->windows = windowsBefore;
    if (ok) {
        sqlite3_stmt* save = writer->statements[SAVE_STATE];
        sqlite3_bind_int64(save, 1, writer->horizon == HistoryNotYet ? stream : writer->horizon);
        sqlite3_bind_int64(save, 2, stream);
        sqlite3_bind_int64(save, 3, rawPruned);
        sqlite3_bind_int64(save, 4, minutePruned);
        ok = HistoryRun(save);
    }
    if (ok && writer->spillId)
        ok = HistoryMarkSpillMerged(writer);
    if (ok && sqlite3_exec(writer->db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        ok = 0;
    if (!ok) {
        *error = HistoryErrorText(writer->db);
        HistoryRollback(writer);
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
    if (writer->spillId)
        HistoryRemoveSpill(writer);
    return 1;
}

void HistoryHold(HistoryWriter* writer, const std::vector<HistoryReading>& readings)
{
    writer->backlog.insert(writer->backlog.end(), readings.begin(), readings.end());
    while (writer->backlog.size() > HISTORY_BACKLOG_LIMIT) {
        writer->backlog.pop_front();
        ++writer->dropped;
        if (writer->spillCount)
            --writer->spillCount;
    }
}

int HistoryAppend(HistoryWriter* writer, const std::vector<HistoryReading>& readings, std::string* error)
{
    HistoryHold(writer, readings);
    return HistoryCommit(writer, false, error);
}
