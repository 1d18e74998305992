// The history's read side: temp-history and the viewer's chart open the
// database read-only (a `file:PATH?mode=ro` URI), so they work on a database
// that belongs to another user as long as its -wal and -shm files exist.
#include "history/history.h"
#include "history/history_db.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <queue>
#include <unordered_map>

struct HistoryReader {
    sqlite3* db = nullptr;
    std::string path;
    int version = 0;  // the file's user_version (1 has no failed counts)
};

namespace {

constexpr std::array<const char*, HISTORY_TIER_COUNT> kTierTables = {"reading", "minute", "hour"};
// Bytes a row takes with its share of the time index, for the estimate when
// SQLite was built without the dbstat table (measured on generated data).
constexpr std::array<int64_t, HISTORY_TIER_COUNT> kEstimatedRowBytes = {28, 60, 62};

// A prepared statement that finalizes itself.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt); }
};

int Fail(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return 0;
}

int FailSql(HistoryReader* reader, std::string* error, const char* doing)
{
    return Fail(error, "Reading " + reader->path + " failed while " + doing + ": " + HistoryErrorText(reader->db));
}

int Prepare(HistoryReader* reader, const std::string& sql, Statement* statement, std::string* error)
{
    std::string reason;
    if (!HistoryPrepare(reader->db, sql.c_str(), &statement->stmt, &reason))
        return Fail(error, "Reading " + reader->path + " failed: " + reason);
    return 1;
}

std::string ColumnText(sqlite3_stmt* stmt, int column)
{
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                : std::string();
}

}  // namespace

HistoryReader* HistoryOpenReader(const std::string& path, std::string* error)
{
    // Missing files and folders get their own sentence before SQLite tries.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        Fail(error, errno == ENOENT ? "No history database at " + path
                                    : "Can't open " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        Fail(error, path + " is not a file, so it is not a temp history database");
        return nullptr;
    }
    auto* reader = new HistoryReader;
    reader->path = path;
    std::string reason;
    if (!HistoryOpenDatabase(path, HISTORY_OPEN_READER, &reader->db, &reader->version, &reason)) {
        // A WAL database that this user may not extend by its -shm file.
        if (reason.find("readonly") != std::string::npos)
            reason = "Can't read " + path + " read-only: its -wal and -shm files are missing and this user may "
                     "not create them (the logger keeps them; start it once, or read as its user)";
        Fail(error, reason);
        delete reader;
        return nullptr;
    }
    return reader;
}

void HistoryCloseReader(HistoryReader* reader)
{
    if (!reader)
        return;
    sqlite3_close_v2(reader->db);
    delete reader;
}

int HistoryListSensors(HistoryReader* reader, std::vector<HistorySensor>* sensors, std::string* error)
{
    sensors->clear();
    Statement list;
    if (!Prepare(reader, "SELECT id, serial FROM sensor", &list, error))
        return 0;
    // The latest row of one sensor in a tier; the raw tier also gives the
    // latest good reading. Pruned raw rows leave the rollups to answer.
    Statement latestRaw, latestGood, latestMinute, latestHour;
    const std::string latest =
        " x JOIN place p ON p.id = x.place WHERE x.sensor = ?1 ORDER BY x.t DESC LIMIT 1";
    // A rollup row of failed readings only has no value to show.
    const std::string latestRollup =
        " x JOIN place p ON p.id = x.place WHERE x.sensor = ?1 AND x.count > 0 ORDER BY x.t DESC LIMIT 1";
    if (!Prepare(reader, "SELECT x.t, p.place, p.label, x.outcome, x.extended FROM reading" + latest, &latestRaw,
                 error) ||
        !Prepare(reader, "SELECT t, extended FROM reading WHERE sensor = ?1 AND outcome = 0 ORDER BY t DESC LIMIT 1",
                 &latestGood, error) ||
        !Prepare(reader, "SELECT x.t, p.place, p.label, 0, x.mean FROM minute" + latestRollup, &latestMinute, error) ||
        !Prepare(reader, "SELECT x.t, p.place, p.label, 0, x.mean FROM hour" + latestRollup, &latestHour, error))
        return 0;
    int rc;
    while ((rc = sqlite3_step(list.stmt)) == SQLITE_ROW) {
        HistorySensor sensor{ColumnText(list.stmt, 1), -1, std::string(), 0, HISTORY_GOOD, 0.0, 0};
        sqlite3_int64 id = sqlite3_column_int64(list.stmt, 0);
        bool found = false;
        for (sqlite3_stmt* stmt : {latestRaw.stmt, latestMinute.stmt, latestHour.stmt}) {
            sqlite3_reset(stmt);
            sqlite3_bind_int64(stmt, 1, id);
            int step = sqlite3_step(stmt);
            if (step == SQLITE_ROW) {
                sensor.lastTimeMs = sqlite3_column_int64(stmt, 0);
                sensor.place = sqlite3_column_int(stmt, 1);
                sensor.label = ColumnText(stmt, 2);
                sensor.lastOutcome = sqlite3_column_int(stmt, 3);
                if (stmt != latestRaw.stmt) {  // a rollup: its mean is the latest good value
                    sensor.lastExtended = sqlite3_column_double(stmt, 4);
                    sensor.lastGoodMs = sensor.lastTimeMs;
                }
                found = true;
                break;
            }
            if (step != SQLITE_DONE)
                return FailSql(reader, error, "finding the latest readings");
        }
        if (!found)  // a forgotten sensor: its id stays, its rows are gone
            continue;
        if (sensor.lastGoodMs == 0) {
            sqlite3_reset(latestGood.stmt);
            sqlite3_bind_int64(latestGood.stmt, 1, id);
            int step = sqlite3_step(latestGood.stmt);
            if (step == SQLITE_ROW) {
                sensor.lastGoodMs = sqlite3_column_int64(latestGood.stmt, 0);
                sensor.lastExtended = sqlite3_column_double(latestGood.stmt, 1);
            } else if (step != SQLITE_DONE) {
                return FailSql(reader, error, "finding the latest good readings");
            }
        }
        sensors->push_back(std::move(sensor));
    }
    if (rc != SQLITE_DONE)
        return FailSql(reader, error, "listing the sensors");
    std::sort(sensors->begin(), sensors->end(), [](const HistorySensor& a, const HistorySensor& b) {
        // Sensors without a place after those with one, then by serial.
        unsigned pa = static_cast<unsigned>(a.place), pb = static_cast<unsigned>(b.place);
        return pa != pb ? pa < pb : a.serial < b.serial;
    });
    return 1;
}

int HistorySelectEach(HistoryReader* reader, const HistoryQuery& query,
                      const std::function<int(const HistoryPoint&)>& each, std::string* error)
{
    if (error)
        error->clear();
    if (query.tier < HISTORY_RAW || query.tier > HISTORY_HOUR)
        return Fail(error, "Unknown history tier " + std::to_string(static_cast<int>(query.tier)));
    const bool raw = query.tier == HISTORY_RAW;

    // The small tables once, so the rows need no join.
    std::unordered_map<int64_t, std::pair<int, std::string>> places;
    Statement placeList;
    if (!Prepare(reader, "SELECT id, place, label FROM place", &placeList, error))
        return 0;
    int rc;
    while ((rc = sqlite3_step(placeList.stmt)) == SQLITE_ROW)
        places[sqlite3_column_int64(placeList.stmt, 0)] = {sqlite3_column_int(placeList.stmt, 1),
                                                           ColumnText(placeList.stmt, 2)};
    if (rc != SQLITE_DONE)
        return FailSql(reader, error, "reading the places");
    std::vector<std::pair<int64_t, std::string>> sensors;  // in serial order
    Statement sensorList;
    if (!Prepare(reader, "SELECT id, serial FROM sensor WHERE ?1 = '' OR serial = ?1 ORDER BY serial", &sensorList,
                 error))
        return 0;
    sqlite3_bind_text(sensorList.stmt, 1, query.serial.c_str(), -1, SQLITE_TRANSIENT);
    while ((rc = sqlite3_step(sensorList.stmt)) == SQLITE_ROW)
        sensors.emplace_back(sqlite3_column_int64(sensorList.stmt, 0), ColumnText(sensorList.stmt, 1));
    if (rc != SQLITE_DONE)
        return FailSql(reader, error, "reading the sensors");

    if (sensors.empty())
        return 1;
    std::unordered_map<int64_t, size_t> sensorIndex;  // id -> place in `sensors`
    for (size_t i = 0; i < sensors.size(); ++i)
        sensorIndex[sensors[i].first] = i;

    // Rows come in primary-key order, read as ranges of it: the raw tier's
    // key is (t, sensor), so one cursor over the time range; the rollups'
    // is (sensor, t), so one cursor per sensor, merged by time.
    const int64_t onlySensor = query.serial.empty() ? 0 : sensors[0].first;
    const std::string table = kTierTables[query.tier];
    const std::string where = raw ? " WHERE t >= ?2 AND t < ?3 AND (?1 = 0 OR sensor = ?1)"
                                  : " WHERE sensor = ?1 AND t >= ?2 AND t < ?3";
    const std::string sql =
        (raw ? "SELECT t, sensor, place, outcome, whole, extended, extended, extended, 0, 0 FROM reading"
             : "SELECT t, sensor, place, 0, NULL, min, mean, max, count, "
                   + std::string(reader->version >= 2 ? "failed" : "0") + " FROM " + table) +
        where + " ORDER BY t";
    std::vector<int64_t> cursorSensors;
    if (raw)
        cursorSensors.push_back(onlySensor);
    else
        for (const auto& sensor : sensors)
            cursorSensors.push_back(sensor.first);
    auto bind = [&](sqlite3_stmt* stmt, int64_t sensor) {
        sqlite3_reset(stmt);
        sqlite3_bind_int64(stmt, 1, sensor);
        sqlite3_bind_int64(stmt, 2, query.fromMs);
        sqlite3_bind_int64(stmt, 3, query.toMs);
    };

    std::vector<Statement> cursors(cursorSensors.size());
    using Head = std::pair<int64_t, size_t>;  // time of the cursor's row, cursor
    std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
    auto step = [&](size_t c) {
        int stepped = sqlite3_step(cursors[c].stmt);
        if (stepped == SQLITE_ROW)
            heads.emplace(sqlite3_column_int64(cursors[c].stmt, 0), c);
        return stepped == SQLITE_ROW || stepped == SQLITE_DONE;
    };
    for (size_t c = 0; c < cursors.size(); ++c) {
        if (!Prepare(reader, sql, &cursors[c], error))
            return 0;
        bind(cursors[c].stmt, cursorSensors[c]);
        if (!step(c))
            return FailSql(reader, error, "selecting readings");
    }
    // Readings of the same millisecond come in sensor-id order: a run of
    // them waits here (at most one per sensor) and goes out in serial order.
    std::vector<HistoryPoint> run;
    auto flush = [&run, &each]() {
        if (run.size() > 1)
            std::sort(run.begin(), run.end(),
                      [](const HistoryPoint& a, const HistoryPoint& b) { return a.serial < b.serial; });
        for (const HistoryPoint& p : run)
            if (!each(p))
                return 0;
        run.clear();
        return 1;
    };
    HistoryPoint point{};
    while (!heads.empty()) {
        auto [timeMs, c] = heads.top();
        heads.pop();
        sqlite3_stmt* s = cursors[c].stmt;
        auto sensor = sensorIndex.find(sqlite3_column_int64(s, 1));
        auto place = places.find(sqlite3_column_int64(s, 2));
        // A row without its sensor or place, or of another place than asked, is skipped.
        if (sensor != sensorIndex.end() && place != places.end() &&
            (query.place < 0 || place->second.first == query.place)) {
            if (!run.empty() && run.front().timeMs != timeMs && !flush())
                return 0;
            point.timeMs = timeMs;
            point.serial = sensors[sensor->second].second;
            point.place = place->second.first;
            point.label = place->second.second;
            point.whole = sqlite3_column_double(s, 4);  // NULL reads as 0
            point.min = sqlite3_column_double(s, 5);
            point.mean = sqlite3_column_double(s, 6);
            point.max = sqlite3_column_double(s, 7);
            if (raw) {
                point.outcome = sqlite3_column_int(s, 3);
                // A reading without its extended value is a gap, whatever its outcome.
                point.count = point.outcome == HISTORY_GOOD && sqlite3_column_type(s, 5) != SQLITE_NULL ? 1 : 0;
                point.failed = 0;
            } else {
                point.outcome = HISTORY_GOOD;
                point.count = sqlite3_column_int(s, 8);
                point.failed = sqlite3_column_int(s, 9);
                if (point.count == 0)  // only failed readings: no values
                    point.min = point.mean = point.max = std::nan("");
            }
            run.push_back(point);
        }
        if (!step(c))
            return FailSql(reader, error, "selecting readings");
    }
    return flush();
}

int HistorySelectValues(HistoryReader* reader, HistoryTier tier, const std::string& serial, int64_t fromMs,
                        int64_t toMs, const std::function<int(const HistoryValues&)>& each, std::string* error)
{
    if (error)
        error->clear();
    if (tier < HISTORY_RAW || tier > HISTORY_HOUR)
        return Fail(error, "Unknown history tier " + std::to_string(static_cast<int>(tier)));
    const bool raw = tier == HISTORY_RAW;
    const std::string failed = reader->version >= 2 ? "failed" : "0";
    // The rollups' key is (sensor, t): one range of it. The raw tier's key is
    // (t, sensor): one range of time, the sensor's rows picked from it.
    const std::string sql =
        raw ? "SELECT t, outcome, extended FROM reading WHERE t >= ?2 AND t < ?3 "
              "AND sensor = (SELECT id FROM sensor WHERE serial = ?1) ORDER BY t"
            : "SELECT t, min, mean, max, count, " + failed + " FROM " + std::string(kTierTables[tier]) +
                  " WHERE sensor = (SELECT id FROM sensor WHERE serial = ?1) AND t >= ?2 AND t < ?3 ORDER BY t";
    Statement select;
    if (!Prepare(reader, sql, &select, error))
        return 0;
    sqlite3_bind_text(select.stmt, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(select.stmt, 2, fromMs);
    sqlite3_bind_int64(select.stmt, 3, toMs);
    HistoryValues v{};
    int rc;
    while ((rc = sqlite3_step(select.stmt)) == SQLITE_ROW) {
        v.timeMs = sqlite3_column_int64(select.stmt, 0);
        if (raw) {
            bool good = sqlite3_column_int(select.stmt, 1) == HISTORY_GOOD
                        && sqlite3_column_type(select.stmt, 2) != SQLITE_NULL;
            v.min = v.mean = v.max = good ? sqlite3_column_double(select.stmt, 2) : std::nan("");
            v.count = good ? 1 : 0;
            v.failed = good ? 0 : 1;
        } else {
            v.count = sqlite3_column_int(select.stmt, 4);
            v.failed = sqlite3_column_int(select.stmt, 5);
            bool none = v.count == 0;
            v.min = none ? std::nan("") : sqlite3_column_double(select.stmt, 1);
            v.mean = none ? std::nan("") : sqlite3_column_double(select.stmt, 2);
            v.max = none ? std::nan("") : sqlite3_column_double(select.stmt, 3);
        }
        if (!each(v))
            return 0;
    }
    if (rc != SQLITE_DONE)
        return FailSql(reader, error, "selecting readings");
    return 1;
}

int HistoryRolledHours(HistoryReader* reader, const std::string& serial, int64_t* fromMs, int64_t* toMs,
                       std::string* error)
{
    if (error)
        error->clear();
    *fromMs = *toMs = 0;
    Statement bounds;
    if (!Prepare(reader,
                 "SELECT (SELECT min(t) FROM minute WHERE sensor = s.id), (SELECT min(t) FROM hour WHERE sensor = s.id), "
                 "(SELECT max(t) FROM hour WHERE sensor = s.id) FROM sensor s WHERE s.serial = ?1",
                 &bounds, error))
        return 0;
    sqlite3_bind_text(bounds.stmt, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(bounds.stmt);
    if (rc == SQLITE_DONE)
        return 1;  // an unknown serial
    if (rc != SQLITE_ROW)
        return FailSql(reader, error, "finding the rolled-up hours");
    for (int column = 0; column < 3; ++column)
        if (sqlite3_column_type(bounds.stmt, column) == SQLITE_NULL)
            return 1;  // no minute or no hour rows
    int64_t firstMinute = sqlite3_column_int64(bounds.stmt, 0);
    int64_t firstHour = sqlite3_column_int64(bounds.stmt, 1);
    int64_t lastHour = sqlite3_column_int64(bounds.stmt, 2);
    // The first minute row's hour may have lost its earlier minutes to pruning: it starts at the next hour,
    // unless the row is that hour's first minute.
    int64_t from = HistoryBucketStart(firstMinute, HISTORY_HOUR_MS);
    if (from < firstMinute)
        from += HISTORY_HOUR_MS;
    from = std::max(from, firstHour);
    int64_t to = lastHour + HISTORY_HOUR_MS;
    // The writer's stream (files of version 1 have none: their open hours have no rows yet).
    Statement stream;
    std::string ignored;
    if (HistoryPrepare(reader->db, "SELECT value FROM state WHERE key = 'stream'", &stream.stmt, &ignored)) {
        rc = sqlite3_step(stream.stmt);
        if (rc == SQLITE_ROW)
            to = std::min(to, HistoryBucketStart(sqlite3_column_int64(stream.stmt, 0), HISTORY_HOUR_MS));
        else if (rc != SQLITE_DONE)
            return FailSql(reader, error, "reading the writer's state");
    }
    if (from < to) {
        *fromMs = from;
        *toMs = to;
    }
    return 1;
}

int HistorySelect(HistoryReader* reader, const HistoryQuery& query, std::vector<HistoryPoint>* points,
                  std::string* error)
{
    points->clear();
    return HistorySelectEach(reader, query, [points](const HistoryPoint& p) {
        points->push_back(p);
        return 1;
    }, error);
}

int HistorySensorRows(HistoryReader* reader, const std::string& serial, int64_t rows[HISTORY_TIER_COUNT],
                      std::string* error)
{
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        Statement count;
        if (!Prepare(reader,
                     std::string("SELECT count(*) FROM ") + kTierTables[static_cast<size_t>(tier)]
                         + " WHERE sensor = (SELECT id FROM sensor WHERE serial = ?1)",
                     &count, error))
            return 0;
        sqlite3_bind_text(count.stmt, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(count.stmt) != SQLITE_ROW)
            return FailSql(reader, error, "counting a sensor's rows");
        rows[tier] = sqlite3_column_int64(count.stmt, 0);
    }
    return 1;
}

int HistoryInfo(HistoryReader* reader, HistoryTierInfo info[HISTORY_TIER_COUNT], std::string* error)
{
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        std::string table = kTierTables[static_cast<size_t>(tier)];
        Statement stats;
        if (!Prepare(reader, "SELECT count(*), min(t), max(t) FROM " + table, &stats, error))
            return 0;
        if (sqlite3_step(stats.stmt) != SQLITE_ROW)
            return FailSql(reader, error, "counting rows");
        info[tier].rows = sqlite3_column_int64(stats.stmt, 0);
        info[tier].firstMs = sqlite3_column_int64(stats.stmt, 1);  // NULL reads as 0
        info[tier].lastMs = sqlite3_column_int64(stats.stmt, 2);
        info[tier].bytes = info[tier].rows * kEstimatedRowBytes[static_cast<size_t>(tier)];
    }
    if (!sqlite3_compileoption_used("ENABLE_DBSTAT_VTAB"))
        return 1;
    // Pages of each table with its time index.
    Statement pages;
    if (!Prepare(reader, "SELECT name, pgsize FROM dbstat WHERE aggregate = TRUE", &pages, error))
        return 0;
    std::array<int64_t, HISTORY_TIER_COUNT> bytes{};
    int rc;
    while ((rc = sqlite3_step(pages.stmt)) == SQLITE_ROW) {
        std::string name = ColumnText(pages.stmt, 0);
        for (size_t tier = 0; tier < kTierTables.size(); ++tier) {
            std::string table = kTierTables[tier];
            if (name == table || name == table + "_t")  // the table and its time index, if any
                bytes[tier] += sqlite3_column_int64(pages.stmt, 1);
        }
    }
    if (rc != SQLITE_DONE)
        return FailSql(reader, error, "measuring the tables");
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier)
        info[tier].bytes = bytes[static_cast<size_t>(tier)];
    return 1;
}

int HistoryCheckFile(const std::string& path, std::string* error)
{
    HistoryReader reader;
    reader.path = path;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return Fail(error, errno == ENOENT ? "No history database at " + path
                                           : "Can't open " + path + ": " + std::strerror(errno));
    if (!HistoryOpenDatabase(path, HISTORY_OPEN_CHECK, &reader.db, &reader.version, error))
        return 0;
    int ok = HistoryCheck(&reader, error);
    sqlite3_close_v2(reader.db);
    return ok;
}

int HistoryCheck(HistoryReader* reader, std::string* error)
{
    Statement check;
    if (!Prepare(reader, "PRAGMA integrity_check", &check, error))
        return 0;
    int rc = sqlite3_step(check.stmt);
    if ((rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB)
        return Fail(error, reader->path + " is damaged: " + HistoryErrorText(reader->db));
    if (rc != SQLITE_ROW)
        return FailSql(reader, error, "checking its integrity");
    std::string first = ColumnText(check.stmt, 0);
    if (first == "ok")
        return 1;
    return Fail(error, reader->path + " is damaged: " + first);
}
