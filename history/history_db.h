// What the writer and the reader share below the public interface: the
// schema, the opening of a connection and small SQLite helpers.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

// PRAGMA application_id of a history database ("TMPH"): anything else with
// tables in it is a foreign database and is never touched.
constexpr int32_t HISTORY_APPLICATION_ID = 0x544D5048;
constexpr int64_t HISTORY_MINUTE_MS = int64_t{60} * 1000;
constexpr int64_t HISTORY_HOUR_MS = 60 * HISTORY_MINUTE_MS;
constexpr int64_t HISTORY_DAY_MS = 24 * HISTORY_HOUR_MS;
// Longest a writer waits for a lock held by someone else in one attempt.
constexpr int HISTORY_BUSY_TIMEOUT_MS = 2000;

// The CREATE statements of docs/history.md.
extern const char* const HistorySchemaSql;

// Opens `path` with the connection settings both sides use (busy timeout,
// extended result codes). A writer gets a read-write connection that creates
// the file, WAL with synchronous=NORMAL and the schema; a reader a read-only
// one (file:PATH?mode=ro) that fails on a missing file. Either way the
// database must be ours (application_id) and not newer (user_version).
// Returns 1 with *db set, or 0 with *error (and *db null).
int HistoryOpenDatabase(const std::string& path, bool writer, sqlite3** db, std::string* error);
// The same with the file's user_version in *version (a writer's after any
// migration). A writer migrates an older version at open, in one
// transaction; a reader takes versions 1 and up to HISTORY_SCHEMA_VERSION as
// they are; a checker also a newer one.
enum HistoryOpenMode { HISTORY_OPEN_WRITER, HISTORY_OPEN_READER, HISTORY_OPEN_CHECK };
int HistoryOpenDatabase(const std::string& path, HistoryOpenMode mode, sqlite3** db, int* version, std::string* error);
// Runs statements without results; 0 with *error on failure.
int HistoryExec(sqlite3* db, const char* sql, std::string* error);
// Prepares one statement; 0 with *error on failure.
int HistoryPrepare(sqlite3* db, const char* sql, sqlite3_stmt** statement, std::string* error);
// The connection's latest error as one sentence.
std::string HistoryErrorText(sqlite3* db);
// floor(t / bucket) * bucket, also for times before 1970.
int64_t HistoryBucketStart(int64_t timeMs, int64_t bucketMs);
