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

std::vector<std::string> Rows(const std::string& db, const std::string& sql)
{
    std::vector<std::string> rows;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "can't open " << db << ": " << sqlite3_errmsg(handle);
        sqlite3_close(handle);
        return rows;
    }
    sqlite3_busy_timeout(handle, 5000);
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
        sqlite3_busy_timeout(handle, 5000);
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
