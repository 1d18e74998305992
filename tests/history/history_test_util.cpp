#include "history_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

int64_t FillDisk(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    static const char block[4096] = {};
    int64_t total = 0;
    for (;;) {
        ssize_t wrote = write(fd, block, sizeof block);
        if (wrote <= 0)
            break;
        total += wrote;
    }
    close(fd);
    return total;
}

sqlite3* OpenWaiting(const std::string& path, int flags)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "can't open " << path << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, TEST_BUSY_TIMEOUT_MS);
    return db;
}

std::vector<std::string> Rows(const std::string& db, const std::string& sql)
{
    std::vector<std::string> rows;
    sqlite3* handle = OpenWaiting(db);
    if (!handle)
        return rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(handle);
    } else {
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const unsigned char* text = sqlite3_column_text(statement, i);
                row += (i ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
            rows.push_back(row);
        }
        if (rc != SQLITE_DONE)
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(handle);
    }
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    return rows;
}

std::string Value(const std::string& db, const std::string& sql)
{
    std::vector<std::string> rows = Rows(db, sql);
    if (rows.empty())
        return "";
    return rows[0].substr(0, rows[0].find('|'));
}

int64_t CountRows(const std::string& db, const std::string& table)
{
    sqlite3* handle = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, TEST_BUSY_TIMEOUT_MS);
        std::string sql = "SELECT count(*) FROM " + table;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return count;
}

void MakeVersion1History(const std::string& path, int64_t t0)
{
    std::string t = std::to_string(t0), next = std::to_string(t0 + 60000), hour = std::to_string(t0 - t0 % 3600000);
    std::string sql = R"SQL(
CREATE TABLE sensor (id INTEGER PRIMARY KEY, serial TEXT NOT NULL UNIQUE);
CREATE TABLE place (id INTEGER PRIMARY KEY, place INTEGER NOT NULL, label TEXT NOT NULL, UNIQUE (place, label));
CREATE TABLE reading (t INTEGER NOT NULL, sensor INTEGER NOT NULL REFERENCES sensor(id),
  place INTEGER NOT NULL REFERENCES place(id), outcome INTEGER NOT NULL, whole REAL, extended REAL,
  PRIMARY KEY (t, sensor)) WITHOUT ROWID;
CREATE TABLE minute (sensor INTEGER NOT NULL REFERENCES sensor(id), t INTEGER NOT NULL,
  place INTEGER NOT NULL REFERENCES place(id), min REAL NOT NULL, mean REAL NOT NULL, max REAL NOT NULL,
  count INTEGER NOT NULL, PRIMARY KEY (sensor, t)) WITHOUT ROWID;
CREATE INDEX minute_t ON minute (t);
CREATE TABLE hour (sensor INTEGER NOT NULL REFERENCES sensor(id), t INTEGER NOT NULL,
  place INTEGER NOT NULL REFERENCES place(id), min REAL NOT NULL, mean REAL NOT NULL, max REAL NOT NULL,
  count INTEGER NOT NULL, PRIMARY KEY (sensor, t)) WITHOUT ROWID;
CREATE INDEX hour_t ON hour (t);
INSERT INTO sensor VALUES (1, '10000000000001A1'), (2, '10000000000002A2');
INSERT INTO place VALUES (1, 2, 'Cellar'), (2, -1, '');
INSERT INTO reading VALUES (T0, 1, 1, 0, 20.0, 20.5), (NEXT, 1, 1, 0, 21.0, 21.5), (NEXT + 5, 2, 2, 2, NULL, NULL);
INSERT INTO minute VALUES (1, T0, 1, 20.5, 20.5, 20.5, 1);
INSERT INTO hour VALUES (1, HOUR, 1, 20.5, 20.5, 20.5, 1);
PRAGMA application_id = 1414352968;
PRAGMA user_version = 1;
PRAGMA journal_mode = WAL;
)SQL";
    for (auto [name, value] : {std::pair<std::string, std::string>{"T0", t}, {"NEXT", next}, {"HOUR", hour}})
        for (size_t at; (at = sql.find(name)) != std::string::npos;)
            sql.replace(at, name.size(), value);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}
