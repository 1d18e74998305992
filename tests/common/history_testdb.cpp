#include "tests/common/history_testdb.h"
#include "history/history_db.h"

#include <unistd.h>

#include <map>
#include <utility>

struct HistoryTestDb {
    sqlite3* db = nullptr;
    sqlite3_stmt* raw = nullptr;
    sqlite3_stmt* rollup[HISTORY_TIER_COUNT] = {};
    std::map<std::string, int64_t> sensors;
    std::map<std::pair<int, std::string>, int64_t> places;
};

namespace {

int64_t Id(sqlite3* db, const char* insert, const char* select, const std::string& text, int number)
{
    for (const char* sql : {insert, select}) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 2, number);
        int rc = sqlite3_step(stmt);
        int64_t id = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
        sqlite3_finalize(stmt);
        if (id)
            return id;
    }
    return 0;
}

std::pair<int64_t, int64_t> Keys(HistoryTestDb* t, const std::string& serial, int place, const std::string& label)
{
    auto s = t->sensors.find(serial);
    if (s == t->sensors.end())
        s = t->sensors
                .emplace(serial, Id(t->db, "INSERT OR IGNORE INTO sensor (serial) VALUES (?1)",
                                    "SELECT id FROM sensor WHERE serial = ?1", serial, 0))
                .first;
    auto key = std::make_pair(place, label);
    auto p = t->places.find(key);
    if (p == t->places.end())
        p = t->places
                .emplace(key, Id(t->db, "INSERT OR IGNORE INTO place (label, place) VALUES (?1, ?2)",
                                 "SELECT id FROM place WHERE label = ?1 AND place = ?2", label, place))
                .first;
    return {s->second, p->second};
}

void BindValue(sqlite3_stmt* stmt, int column, double value)
{
    if (value < HISTORY_TESTDB_NULL + 1)
        sqlite3_bind_null(stmt, column);
    else
        sqlite3_bind_double(stmt, column, value);
}

}  // namespace

HistoryTestDb* HistoryTestDbCreate(const std::string& path)
{
    for (const char* suffix : {"", "-wal", "-shm"})
        unlink((path + suffix).c_str());
    auto* t = new HistoryTestDb;
    std::string error;
    // The writer's own opening: schema, marks, WAL.
    bool ok = HistoryOpenDatabase(path, true, &t->db, &error) &&
              sqlite3_exec(t->db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(t->db,
                                 "INSERT INTO reading (sensor, t, place, outcome, whole, extended) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                                 -1, &t->raw, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(t->db,
                                 "INSERT INTO minute (sensor, t, place, min, mean, max, count) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                                 -1, &t->rollup[HISTORY_MINUTE], nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(t->db,
                                 "INSERT INTO hour (sensor, t, place, min, mean, max, count) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                                 -1, &t->rollup[HISTORY_HOUR], nullptr) == SQLITE_OK;
    if (!ok) {
        HistoryTestDbClose(t, false);
        return nullptr;
    }
    return t;
}

int HistoryTestDbAddRaw(HistoryTestDb* t, const std::string& serial, int place, const std::string& label,
                        int64_t timeMs, int outcome, double whole, double extended)
{
    auto [sensor, placeId] = Keys(t, serial, place, label);
    sqlite3_stmt* s = t->raw;
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, sensor);
    sqlite3_bind_int64(s, 2, timeMs);
    sqlite3_bind_int64(s, 3, placeId);
    sqlite3_bind_int(s, 4, outcome);
    BindValue(s, 5, whole);
    BindValue(s, 6, extended);
    return sqlite3_step(s) == SQLITE_DONE;
}

int HistoryTestDbAddRollup(HistoryTestDb* t, HistoryTier tier, const std::string& serial, int place,
                           const std::string& label, int64_t timeMs, double min, double mean, double max, int count)
{
    if (tier != HISTORY_MINUTE && tier != HISTORY_HOUR)
        return 0;
    auto [sensor, placeId] = Keys(t, serial, place, label);
    sqlite3_stmt* s = t->rollup[tier];
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, sensor);
    sqlite3_bind_int64(s, 2, timeMs);
    sqlite3_bind_int64(s, 3, placeId);
    sqlite3_bind_double(s, 4, min);
    sqlite3_bind_double(s, 5, mean);
    sqlite3_bind_double(s, 6, max);
    sqlite3_bind_int(s, 7, count);
    return sqlite3_step(s) == SQLITE_DONE;
}

int HistoryTestDbClose(HistoryTestDb* t, bool persistWal)
{
    if (!t)
        return 0;
    sqlite3_finalize(t->raw);
    for (sqlite3_stmt* s : t->rollup)
        sqlite3_finalize(s);
    int ok = t->db && sqlite3_exec(t->db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (t->db) {
        int persist = persistWal ? 1 : 0;
        sqlite3_file_control(t->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    sqlite3_close(t->db);
    delete t;
    return ok;
}
