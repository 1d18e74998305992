// Helpers of the history tests: scratch folders (tests/common), a tmpfs, direct SQL.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/scratch_dir.h"

// How long a test's own connection waits for a lock that the logger's writer
// or checkpointer holds: a commit on a loaded machine can take seconds.
constexpr int TEST_BUSY_TIMEOUT_MS = 60000;

// Opens `path` with `flags` and TEST_BUSY_TIMEOUT_MS; fails the test and
// returns null when it can't be opened.
sqlite3* OpenWaiting(const std::string& path, int flags = SQLITE_OPEN_READWRITE);

// Writes a file of zeros until the file system is full; returns its size.
int64_t FillDisk(const std::string& path);

// Every row of `sql` on `db` (opened read-write, no create), each column as
// text ("NULL" for null), joined by "|". Fails the test on an SQL error.
std::vector<std::string> Rows(const std::string& db, const std::string& sql);
// Rows of a table, or -1 while the database or the table isn't there yet (quietly).
int64_t CountRows(const std::string& db, const std::string& table);
// The first column of the first row.
std::string Value(const std::string& db, const std::string& sql);

// A history file as version 1 of the schema wrote it (record positions as
// places, no failed counts, no writer state): sensor 10000000000001A1 at
// record 2 ("Cellar") with two good readings a minute apart from `t0` (a
// minute start), their minute and hour rows, and a sensor without a record.
void MakeVersion1History(const std::string& path, int64_t t0);
