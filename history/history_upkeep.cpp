// Upkeep of a history that lives for years: a consistent copy while the
// logger writes, giving back the pages that pruning freed, and removing a
// replaced sensor. Used by temp-history.
#include "history/history.h"
#include "history/history_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int Fail(std::string* error, const std::string& text)
{
    *error = text;
    return 0;
}

int64_t FileBytes(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

// A read-write connection to an existing history database (the reader's
// checks first, so a missing or foreign file gets the same sentence). The
// connection keeps -wal and -shm when it closes, as the logger does, for
// readers without write access to the folder.
int OpenForChange(const std::string& path, sqlite3** db, std::string* error)
{
    *db = nullptr;
    HistoryReader* reader = HistoryOpenReader(path, error);
    if (!reader)
        return 0;
    HistoryCloseReader(reader);
    std::string folder = path.rfind('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
    if (access(path.c_str(), W_OK) != 0 || access(folder.c_str(), W_OK) != 0)
        return Fail(error, "Can't change " + path + ": " + std::strerror(errno)
                               + " (run as the user the logger runs as)");
    int rc = sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        Fail(error, "Can't open " + path + ": " + HistoryErrorText(*db));
        sqlite3_close(*db);
        *db = nullptr;
        return 0;
    }
    sqlite3_extended_result_codes(*db, 1);
    sqlite3_busy_timeout(*db, HISTORY_BUSY_TIMEOUT_MS);
    int persist = 1;
    sqlite3_file_control(*db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    return 1;
}

int Exec(sqlite3* db, const std::string& path, const char* sql, const char* doing, std::string* error)
{
    std::string reason;
    if (HistoryExec(db, sql, &reason))
        return 1;
    return Fail(error, path + ": " + doing + " failed: " + reason);
}

}  // namespace

int HistoryBackup(const std::string& path, const std::string& target, std::string* error)
{
    struct stat info {};
    if (lstat(target.c_str(), &info) == 0)
        return Fail(error, target + " exists; give the copy a new name or remove the old one first");
    HistoryReader* reader = HistoryOpenReader(path, error);
    if (!reader)
        return 0;
    HistoryCloseReader(reader);
    sqlite3* source = nullptr;
    if (!HistoryOpenDatabase(path, false, &source, error))
        return 0;
    // The copy is written beside its final name and renamed once it is whole
    // and checked, so an interrupted backup never leaves a file by that name.
    const std::string part = target + ".part";
    std::remove(part.c_str());
    sqlite3* copy = nullptr;
    int ok = sqlite3_open_v2(part.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    std::string reason;
    if (ok) {
        // All pages in one step: one read transaction, so the copy is one
        // consistent state however the logger commits meanwhile.
        sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
        ok = backup && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
        if (sqlite3_backup_finish(backup) != SQLITE_OK)
            ok = 0;
        if (!ok)
            reason = HistoryErrorText(copy);
    } else {
        reason = HistoryErrorText(copy);
    }
    sqlite3_close(source);
    // One self-contained file: no -wal or -shm needed to read it.
    if (ok && !HistoryExec(copy, "PRAGMA journal_mode = DELETE", &reason))
        ok = 0;
    if (ok) {
        sqlite3_stmt* check = nullptr;
        ok = HistoryPrepare(copy, "PRAGMA quick_check", &check, &reason) && sqlite3_step(check) == SQLITE_ROW
             && std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") == 0;
        if (!ok && reason.empty())
            reason = "the copy failed its check";
        sqlite3_finalize(check);
    }
    if (sqlite3_close(copy) != SQLITE_OK)
        ok = 0;
    if (ok && std::rename(part.c_str(), target.c_str()) != 0) {
        reason = std::strerror(errno);
        ok = 0;
    }
    if (!ok) {
        for (const char* suffix : {"", "-journal", "-wal", "-shm"})
            std::remove((part + suffix).c_str());
        return Fail(error, "Can't copy " + path + " to " + target + ": " + reason);
    }
    return 1;
}

int HistoryCompact(const std::string& path, HistoryCompaction* result, std::string* error)
{
    sqlite3* db = nullptr;
    if (!OpenForChange(path, &db, error))
        return 0;
    const std::string wal = path + "-wal";
    *result = HistoryCompaction{FileBytes(path) + FileBytes(wal), 0, 0};
    // The WAL into the database first, so VACUUM reads every page from one
    // place; VACUUM writes the rebuilt file through the WAL, which the last
    // checkpoint copies back and truncates.
    int ok = Exec(db, path, "PRAGMA wal_checkpoint(TRUNCATE)", "the checkpoint", error)
             && Exec(db, path, "VACUUM", "VACUUM", error);
    if (ok) {
        int logFrames = 0, copied = 0;
        int rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied);
        if (rc == SQLITE_BUSY || (rc == SQLITE_OK && copied < logFrames))
            result->checkpointBusy = 1;  // a reader holds an old snapshot; the logger's checkpoints finish it
        else if (rc != SQLITE_OK)
            ok = Fail(error, path + ": the last checkpoint failed: " + HistoryErrorText(db));
    }
    sqlite3_close(db);
    result->bytesAfter = FileBytes(path) + FileBytes(wal);
    return ok;
}

int HistoryForget(const std::string& path, const std::string& serial, int64_t removed[HISTORY_TIER_COUNT],
                  std::string* error)
{
    sqlite3* db = nullptr;
    if (!OpenForChange(path, &db, error))
        return 0;
    static constexpr std::array<const char*, HISTORY_TIER_COUNT> kDeletes = {
        "DELETE FROM reading WHERE sensor = (SELECT id FROM sensor WHERE serial = ?1)",
        "DELETE FROM minute WHERE sensor = (SELECT id FROM sensor WHERE serial = ?1)",
        "DELETE FROM hour WHERE sensor = (SELECT id FROM sensor WHERE serial = ?1)",
    };
    int ok = Exec(db, path, "BEGIN IMMEDIATE", "taking the write lock", error);
    for (size_t tier = 0; ok && tier < kDeletes.size(); ++tier) {
        sqlite3_stmt* statement = nullptr;
        std::string reason;
        ok = HistoryPrepare(db, kDeletes[tier], &statement, &reason);
        if (ok) {
            sqlite3_bind_text(statement, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(statement) == SQLITE_DONE;
            removed[tier] = sqlite3_changes(db);
        }
        if (!ok)
            Fail(error, path + ": removing the rows of " + serial + " failed: "
                            + (reason.empty() ? HistoryErrorText(db) : reason));
        sqlite3_finalize(statement);
    }
    ok = ok && Exec(db, path, "COMMIT", "the commit", error);
    if (!ok && !sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return ok;
}
