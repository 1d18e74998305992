// The history's schema, the opening of a database and the tier names.
#include "history/history.h"
#include "history/history_db.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

const char* const HistorySchemaSql = R"SQL(
CREATE TABLE IF NOT EXISTS sensor (
  id     INTEGER PRIMARY KEY,
  serial TEXT NOT NULL UNIQUE
);
CREATE TABLE IF NOT EXISTS place (
  id     INTEGER PRIMARY KEY,
  place  INTEGER NOT NULL,
  label  TEXT NOT NULL,
  UNIQUE (place, label)
);
CREATE TABLE IF NOT EXISTS reading (
  t        INTEGER NOT NULL,
  sensor   INTEGER NOT NULL REFERENCES sensor(id),
  place    INTEGER NOT NULL REFERENCES place(id),
  outcome  INTEGER NOT NULL,
  whole    REAL,
  extended REAL,
  PRIMARY KEY (t, sensor)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS minute (
  sensor INTEGER NOT NULL REFERENCES sensor(id),
  t      INTEGER NOT NULL,
  place  INTEGER NOT NULL REFERENCES place(id),
  min REAL, mean REAL, max REAL,
  count  INTEGER NOT NULL,
  failed INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (sensor, t)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS minute_t ON minute (t);
CREATE TABLE IF NOT EXISTS hour (
  sensor INTEGER NOT NULL REFERENCES sensor(id),
  t      INTEGER NOT NULL,
  place  INTEGER NOT NULL REFERENCES place(id),
  min REAL, mean REAL, max REAL,
  count  INTEGER NOT NULL,
  failed INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (sensor, t)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS hour_t ON hour (t);
CREATE TABLE IF NOT EXISTS state (
  key   TEXT PRIMARY KEY,
  value INTEGER NOT NULL
) WITHOUT ROWID;
)SQL";

namespace {

constexpr const char* TierNames[HISTORY_TIER_COUNT] = {"raw", "minute", "hour"};

// file:PATH?mode=ro with the characters a URI gives meaning to escaped.
std::string ReadOnlyUri(const std::string& path)
{
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?mode=ro";
}

int QueryInt(sqlite3* db, const char* sql, int64_t* value, std::string* error)
{
    sqlite3_stmt* statement = nullptr;
    if (!HistoryPrepare(db, sql, &statement, error))
        return 0;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW)
        *value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW) {
        *error = HistoryErrorText(db);
        return 0;
    }
    return 1;
}

// What the file is: 1 ours and current, 2 empty (the schema is to be
// created), 3 ours and older (to be migrated), 0 foreign, newer or unreadable
// (*error says). *found is the file's user_version.
int SchemaState(sqlite3* db, const std::string& path, bool newerToo, int64_t* found, std::string* error)
{
    int64_t id = 0, version = 0, tables = 0;
    if (!QueryInt(db, "PRAGMA application_id", &id, error) || !QueryInt(db, "PRAGMA user_version", &version, error)
        || !QueryInt(db, "SELECT count(*) FROM sqlite_schema", &tables, error)) {
        if (sqlite3_extended_errcode(db) == SQLITE_NOTADB)
            *error = path + " is not a temp history database";
        return 0;
    }
    *found = version;
    if (id == HISTORY_APPLICATION_ID) {
        if (version > HISTORY_SCHEMA_VERSION && !newerToo) {
            *error = path + " is a newer history database (version " + std::to_string(version)
                     + ") than this program reads (" + std::to_string(HISTORY_SCHEMA_VERSION) + ")";
            return 0;
        }
        return version >= HISTORY_SCHEMA_VERSION ? 1 : 3;
    }
    if (id != 0 || tables != 0) {
        *error = path + " is not a temp history database";
        return 0;
    }
    return 2;
}

// Version 1 to 2: the rollups count failed readings, and a bucket with only
// failed ones gets a row with NULL min, mean and max, so the rollup tables
// are rebuilt without NOT NULL on those columns; the writer's state table is
// added. Place rows of version 1 hold temp.pd record positions, not PLACE
// numbers: the state's 'position-places' keeps the highest such id, and the
// writer renumbers them from the readings of its next cycle.
constexpr const char* MigrateFrom1Sql = R"SQL(
ALTER TABLE minute RENAME TO minute_v1;
ALTER TABLE hour RENAME TO hour_v1;
DROP INDEX IF EXISTS minute_t;
DROP INDEX IF EXISTS hour_t;
)SQL";
constexpr const char* CopyFrom1Sql = R"SQL(
INSERT INTO minute (sensor, t, place, min, mean, max, count)
  SELECT sensor, t, place, min, mean, max, count FROM minute_v1;
INSERT INTO hour (sensor, t, place, min, mean, max, count)
  SELECT sensor, t, place, min, mean, max, count FROM hour_v1;
DROP TABLE minute_v1;
DROP TABLE hour_v1;
INSERT OR REPLACE INTO state (key, value) SELECT 'position-places', max(id) FROM place WHERE id IS NOT NULL;
)SQL";

// The schema (or the steps from `version`) and both marks in one transaction.
int CreateSchema(sqlite3* db, int64_t version, std::string* error)
{
    std::string sql = "BEGIN IMMEDIATE;";
    if (version == 1)
        sql += MigrateFrom1Sql;
    sql += HistorySchemaSql;
    if (version == 1)
        sql += CopyFrom1Sql;
    sql += "PRAGMA application_id = " + std::to_string(HISTORY_APPLICATION_ID) + "; PRAGMA user_version = "
           + std::to_string(HISTORY_SCHEMA_VERSION) + "; COMMIT;";
    if (HistoryExec(db, sql.c_str(), error))
        return 1;
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return 0;
}

}  // namespace

const char* HistoryTierName(HistoryTier tier)
{
    auto index = static_cast<unsigned>(tier);
    return index < HISTORY_TIER_COUNT ? TierNames[index] : "unknown";
}

int HistoryTierFromName(const std::string& name)
{
    for (int i = 0; i < HISTORY_TIER_COUNT; ++i)
        if (name == TierNames[i])
            return i;
    return -1;
}

HistoryTier HistoryTierForSpan(int64_t spanMs)
{
    if (spanMs <= HISTORY_DAY_MS)
        return HISTORY_RAW;
    if (spanMs <= 30 * HISTORY_DAY_MS)
        return HISTORY_MINUTE;
    return HISTORY_HOUR;
}

int64_t HistoryBucketStart(int64_t timeMs, int64_t bucketMs)
{
    int64_t q = timeMs / bucketMs;
    if (timeMs % bucketMs < 0)
        --q;
    return q * bucketMs;
}

std::string HistoryErrorText(sqlite3* db)
{
    const char* text = db ? sqlite3_errmsg(db) : "out of memory";
    return text ? text : "unknown SQLite error";
}

int HistoryExec(sqlite3* db, const char* sql, std::string* error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return 1;
    *error = message ? message : HistoryErrorText(db);
    sqlite3_free(message);
    return 0;
}

int HistoryPrepare(sqlite3* db, const char* sql, sqlite3_stmt** statement, std::string* error)
{
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) == SQLITE_OK)
        return 1;
    *error = HistoryErrorText(db);
    *statement = nullptr;
    return 0;
}

// SQLite says only "unable to open database file" when the folder or the
// file refuses the writer: the folder's (else the file's) own answer names
// the permission.
static std::string WithFolderReason(const std::string& path, const std::string& error)
{
    if (error.find("unable to open database file") == std::string::npos)
        return error;
    size_t cut = path.find_last_of('/');
    std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    std::error_code ignored;
    std::string shown = std::filesystem::absolute(folder, ignored).lexically_normal().string();
    if (shown.size() > 1 && shown.back() == '/')
        shown.pop_back();
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return error + " (" + path + ": folder " + shown + ": " + std::strerror(errno) + ")";
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK | W_OK) != 0)
        return error + " (" + path + ": " + std::strerror(errno) + ")";
    return error;
}

int HistoryOpenDatabase(const std::string& path, bool writer, sqlite3** db, std::string* error)
{
    int version = 0;
    return HistoryOpenDatabase(path, writer ? HISTORY_OPEN_WRITER : HISTORY_OPEN_READER, db, &version, error);
}

int HistoryOpenDatabase(const std::string& path, HistoryOpenMode mode, sqlite3** db, int* version, std::string* error)
{
    const bool writer = mode == HISTORY_OPEN_WRITER;
    *db = nullptr;
    sqlite3* handle = nullptr;
    int rc;
    if (writer)
        rc = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    else
        rc = sqlite3_open_v2(ReadOnlyUri(path).c_str(), &handle,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = "Can't open " + path + ": " + (rc == SQLITE_CANTOPEN && !writer ? "no such database"
                                                                                  : HistoryErrorText(handle));
        if (writer)
            *error = WithFolderReason(path, *error);
        sqlite3_close(handle);
        return 0;
    }
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, HISTORY_BUSY_TIMEOUT_MS);
    std::string reason;
    int64_t found = 0;
    int state = SchemaState(handle, path, mode == HISTORY_OPEN_CHECK, &found, &reason);
    if (state == 2 && !writer) {
        reason = path + " is not a temp history database";
        state = 0;
    }
    if (state == 3 && !writer)
        state = 1;  // a reader takes an older version as it is
    // WAL: readers never block the writer; synchronous=NORMAL: a commit costs
    // no fsync (only checkpoints sync; the writer runs them on a thread of its
    // own). The WAL file is cut back to 4 MiB once a checkpoint has reset it.
    if (state && writer
        && !HistoryExec(handle,
                        "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 4194304;",
                        &reason))
        state = 0;
    if (state >= 2 && !CreateSchema(handle, state == 3 ? found : 0, &reason))
        state = 0;
    else if (state >= 2)
        found = HISTORY_SCHEMA_VERSION;
    if (!state) {
        *error = reason.find(path) != std::string::npos ? reason : "Can't open " + path + ": " + reason;
        if (writer)
            *error = WithFolderReason(path, *error);
        sqlite3_close(handle);
        return 0;
    }
    if (writer) {
        // Keep -wal and -shm after close: a reader without write access to the
        // folder needs them to open the database read-only.
        int persist = 1;
        sqlite3_file_control(handle, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    *db = handle;
    *version = static_cast<int>(found);
    return 1;
}
