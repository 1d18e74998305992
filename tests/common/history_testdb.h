// Builds history databases with chosen rows, for the tests and benchmarks of
// the read side: the schema of docs/history.md, then rows inserted directly,
// so a test can place failures, gaps and rollup buckets exactly.
#pragma once

#include <cstdint>
#include <string>

#include "history/history.h"

struct HistoryTestDb;

// Creates (replacing) the database at `path` with the history schema, in WAL
// mode. Null when SQLite fails.
HistoryTestDb* HistoryTestDbCreate(const std::string& path);
// Adds a raw reading; the sensor and place rows are made as needed.
// `whole`/`extended` below -1000 are stored as NULL.
int HistoryTestDbAddRaw(HistoryTestDb* db, const std::string& serial, int place, const std::string& label,
                        int64_t timeMs, int outcome, double whole, double extended);
// Adds a rollup row of HISTORY_MINUTE or HISTORY_HOUR.
int HistoryTestDbAddRollup(HistoryTestDb* db, HistoryTier tier, const std::string& serial, int place,
                           const std::string& label, int64_t timeMs, double min, double mean, double max, int count);
// Commits and closes. With `persistWal` the -wal and -shm files stay, as the
// logger leaves them; without it SQLite removes them.
int HistoryTestDbClose(HistoryTestDb* db, bool persistWal);
constexpr double HISTORY_TESTDB_NULL = -10000.0;
