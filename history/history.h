// The history of every reading: an embedded SQLite database written by the
// logger after each cycle and read by temp-history and the viewer's chart.
// The schema is documented in docs/history.md.
//
// Conventions as in the rest of the program: plain functions over opaque
// handles, int results (1 success, 0 failure), the reason of a failure in
// *error (one sentence, no line end).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr int HISTORY_SCHEMA_VERSION = 2;  // PRAGMA user_version; readers also take 1

enum HistoryTier { HISTORY_RAW = 0, HISTORY_MINUTE = 1, HISTORY_HOUR = 2 };
constexpr int HISTORY_TIER_COUNT = 3;
// "raw", "minute", "hour"; and back (-1 for an unknown name).
const char* HistoryTierName(HistoryTier tier);
int HistoryTierFromName(const std::string& name);

// Reading outcomes as stored (same numbers as the logger's ReadingOutcome).
enum HistoryOutcome {
    HISTORY_GOOD = 0,
    HISTORY_NO_PRESENCE = 1,
    HISTORY_CRC = 2,
    HISTORY_CONVERSION_INCOMPLETE = 3,
    HISTORY_COUNT_PER_C_ZERO = 4,
    HISTORY_POWER_ON_VALUE = 5,
};

struct HistoryRetention {
    int rawDays = 7;      // 0: for ever
    int minuteDays = 90;  // 0: for ever
    int hourDays = 0;     // 0: for ever
};

// One reading as the logger hands it over.
struct HistoryReading {
    int64_t timeMs;       // UTC, milliseconds since 1970
    std::string serial;   // 16 upper-case hex digits
    int place;            // the PLACE number of its place-table line, -1 for none
    std::string label;    // the place table's label at that time
    int outcome;          // HistoryOutcome
    bool hasWhole;        // whole is valid (the scratchpad passed its CRC)
    double whole;
    double extended;      // valid for HISTORY_GOOD (and conversion incomplete)
    int position = -1;    // its record in temp.pd, -1 for none (renumbers place rows of version 1)
};

// ---- Writer (the logger) ------------------------------------------------
// Threads: one thread calls every writer function (in the logger, the
// history output's lane), except HistoryCheckpointHealth and
// HistoryWaitForCheckpoint, which any thread may call. The writer runs one
// thread of its own, the checkpointer, between open and close: it copies the
// WAL into the database on a connection of its own. The files behind it:
// history_writer.cpp (open, close), history_commit.cpp (the commit and its
// backlog), history_rollup.cpp, history_retention.cpp (the pruning horizon),
// history_checkpoint.cpp (the checkpointer), history_spill.cpp (the spill
// file of a close).

struct HistoryWriter;
// Opens or creates the database (WAL, synchronous=NORMAL, busy timeout,
// persistent WAL so read-only readers of another user keep working).
// Null with *error on failure (e.g. a foreign or newer database).
HistoryWriter* HistoryOpenWriter(const std::string& path, const HistoryRetention& retention, std::string* error);
// Commits one cycle's readings in one transaction, with the rollups of every
// minute and hour that closed and a small batch of pruning. When the
// database is locked or the disk is full, the rows stay in a bounded backlog
// and go in with the next commit that succeeds. Returns 1 when this cycle's
// rows (and any backlog) were committed, 0 when they wait (*error says why).
int HistoryAppend(HistoryWriter* writer, const std::vector<HistoryReading>& readings, std::string* error);
// Readings waiting in the backlog.
size_t HistoryBacklog(const HistoryWriter* writer);
// The backlog keeps at most this many readings (over an hour of cycles of a
// full table at the fastest pace); past it the oldest are dropped.
constexpr size_t HISTORY_BACKLOG_LIMIT = 120000;
// Readings dropped from a full backlog since the writer was opened.
size_t HistoryDropped(const HistoryWriter* writer);
// Free space the history leaves on its file system for the data files beside
// it: with less free, commits wait in the backlog as on a full disk.
constexpr int64_t HISTORY_DISK_RESERVE = 1 << 20;
void HistorySetDiskReserve(HistoryWriter* writer, int64_t bytes);
// Adds readings to the backlog without trying to commit them (the close is
// near: they go in with the close).
void HistoryHold(HistoryWriter* writer, const std::vector<HistoryReading>& readings);

// What a close did with the readings that waited.
struct HistoryCloseReport {
    size_t committed = 0;  // committed by the close
    size_t spilled = 0;    // kept in the spill file for the next open
    size_t lost = 0;       // neither: no room left beside the data files' reserve, or no spill possible
    std::string reason;    // why they were not committed ("" when they were)
    std::string problem;   // why some could not be spilled ("" when none was lost)
    // A jump of the wall clock that the close's commit found (as HistoryTakeClockJump).
    bool clockJumped = false;
    int64_t jumpFromMs = 0, jumpToMs = 0;
};
// The spill file of the database `path`: PATH-spill, a history database of
// raw readings that the next HistoryOpenWriter takes back into its backlog
// (and removes once they are committed).
std::string HistorySpillFile(const std::string& path);
// The close's default bound.
constexpr int HISTORY_CLOSE_MS = 5000;
// Closes within about `boundMs` (each step's wait for a lock is cut to fit):
// empties the WAL into the database and truncates it (the disk space it held
// is free again), commits the backlog and closes the rollups when the lock
// comes in time, the commit ends in time (else it is interrupted and rolled
// back) and the disk keeps the reserve; what can't be committed goes
// to the spill file (64 bytes or so a reading) while the disk keeps a
// quarter of the reserve: this run's data files are written by then, and a
// reading kept is worth that room. The rest is lost.
// `report` (may be null) says which. Returns 1 when nothing was lost.
int HistoryCloseWriterWithin(HistoryWriter* writer, int boundMs, HistoryCloseReport* report);
// The same within HISTORY_CLOSE_MS, without a report.
void HistoryCloseWriter(HistoryWriter* writer);
// Writes readings to the spill file of `path` without a writer (for a
// database that could not be opened), keeping `reserve` bytes free (the
// close passes a quarter of the history's reserve). The
// report's spilled and lost count them. 1 when none was lost.
int HistorySpill(const std::string& path, const std::vector<HistoryReading>& readings, int64_t reserve,
                 HistoryCloseReport* report);
// Readings the open took back from a spill file (they are in the backlog),
// and in *problem why a spill file beside the database was left as it was
// ("" when none was).
size_t HistorySpillTaken(const HistoryWriter* writer, std::string* problem);

// The clocks pruning counts by: the wall clock and a monotonic one, both in
// milliseconds (the monotonic one from any start). Pruning's horizon is the
// smaller of the wall clock and the previous horizon plus the monotonic time
// since, so it never runs ahead of the time that really passed. Defaults:
// the system's clocks.
struct HistoryClock {
    int64_t (*wallMs)(void* context);
    int64_t (*monotonicMs)(void* context);
    void* context;
};
void HistorySetClock(HistoryWriter* writer, const HistoryClock& clock);
// A wall clock that moved this much more (or less) than the monotonic one
// between two commits is a clock jump.
constexpr int64_t HISTORY_CLOCK_JUMP_MS = int64_t{5} * 60 * 1000;
// A raw reading whose millisecond its sensor already holds is stored in the
// next free one, looking this many milliseconds ahead at most.
constexpr int HISTORY_SAME_STAMP_SHIFTS = 1000;
// 1 once for each clock jump seen, with the wall time it left and the one it
// jumped to; 0 when there was none since the last call.
int HistoryTakeClockJump(HistoryWriter* writer, int64_t* fromMs, int64_t* toMs);
// 0 with *error while checkpoints fail (the WAL then grows), else 1.
int HistoryCheckpointHealth(HistoryWriter* writer, std::string* error);
// Returns once no background checkpoint is wanted or running, so that the
// database file alone is consistent (a copy of it taken now is readable).
void HistoryWaitForCheckpoint(HistoryWriter* writer);
// The pruning horizon (UTC ms), for tests; INT64_MIN before the first reading.
int64_t HistoryHorizon(const HistoryWriter* writer);

// ---- Reader (temp-history, the viewer) -----------------------------------

struct HistoryReader;
// Opens read-only (works without write access to the folder while the -wal
// and -shm files exist). Null with *error for a missing or foreign database.
HistoryReader* HistoryOpenReader(const std::string& path, std::string* error);
void HistoryCloseReader(HistoryReader* reader);

struct HistorySensor {
    std::string serial;
    int place;            // latest database index, -1 for none
    std::string label;    // latest label
    int64_t lastTimeMs;   // latest reading of any outcome
    int lastOutcome;
    double lastExtended;  // of the latest good reading
    int64_t lastGoodMs;   // 0 when none
};
int HistoryListSensors(HistoryReader* reader, std::vector<HistorySensor>* sensors, std::string* error);

// One point of a series. For raw rows min = mean = max = extended and count
// is 1 (0 for a failed reading: a gap). For rollups, count good readings.
struct HistoryPoint {
    int64_t timeMs;       // raw: the reading; rollups: the bucket's start
    std::string serial;
    int place;
    std::string label;
    int outcome;          // raw rows; HISTORY_GOOD for rollups
    double whole;         // raw rows only
    double min, mean, max;  // rollups: NaN when the bucket has no good reading
    int count;
    int failed;             // rollups: failed readings in the bucket (0 from version 1 files)
};
struct HistoryQuery {
    HistoryTier tier = HISTORY_RAW;
    int64_t fromMs = 0;           // inclusive
    int64_t toMs = INT64_MAX;     // exclusive
    std::string serial;           // empty: every sensor
    int place = -1;               // -1: every place
};
// Points in time order (then serial). Returns 1, or 0 with *error.
int HistorySelect(HistoryReader* reader, const HistoryQuery& query, std::vector<HistoryPoint>* points,
                  std::string* error);
// The same points handed to `each` one by one as they are read, so that
// memory does not grow with the range (an export of a week). `each` returns
// 0 to stop; the call then returns 0 with *error left empty.
int HistorySelectEach(HistoryReader* reader, const HistoryQuery& query,
                      const std::function<int(const HistoryPoint&)>& each, std::string* error);
// One sensor's rows of one tier in [fromMs, toMs), time order, numbers
// only (no serial, place or label per row): what a chart thins, at a
// fraction of HistorySelectEach's cost per row. Raw rows: min = mean = max
// = extended, count 1 for a good reading with its extended value, else
// count 0 and failed 1. Rollups as stored, NaN values when count is 0. An
// unknown serial has no rows. `each` returns 0 to stop. 1, or 0 with *error.
struct HistoryValues {
    int64_t timeMs;
    double min, mean, max;
    int count;
    int failed;
};
int HistorySelectValues(HistoryReader* reader, HistoryTier tier, const std::string& serial, int64_t fromMs,
                        int64_t toMs, const std::function<int(const HistoryValues&)>& each, std::string* error);
// The hours [*fromMs, *toMs) in which one sensor's hour rows are exactly
// the rollups of its minute rows (min, max, count, failed, and the mean
// weighted by count): from its first minute row's whole hour (minute rows
// are pruned oldest first) and its first hour row, up to its last hour row,
// short of the hour the writer's stream is in (it may still add to that
// one: a clock set back lands readings in an hour rolled up before).
// Hour-aligned; *fromMs == *toMs when there is none. 1, or 0 with *error.
int HistoryRolledHours(HistoryReader* reader, const std::string& serial, int64_t* fromMs, int64_t* toMs,
                       std::string* error);
// The tier that fits a span shown at once: raw up to 1 day, minutes up to
// 30 days, hours beyond.
HistoryTier HistoryTierForSpan(int64_t spanMs);

struct HistoryTierInfo {
    int64_t rows;
    int64_t firstMs, lastMs;  // 0 when empty
    int64_t bytes;            // from dbstat when available, else an estimate
};
int HistoryInfo(HistoryReader* reader, HistoryTierInfo info[HISTORY_TIER_COUNT], std::string* error);
// SQLite's integrity check: 1 when "ok", else 0 with the first problem in *error.
int HistoryCheck(HistoryReader* reader, std::string* error);
// The same on a file of any version of ours, also one newer than this
// program reads (opened read-only without the version check).
int HistoryCheckFile(const std::string& path, std::string* error);
// Rows of one sensor in each tier (all 0 for a serial the database does not know).
int HistorySensorRows(HistoryReader* reader, const std::string& serial, int64_t rows[HISTORY_TIER_COUNT],
                      std::string* error);

// ---- Upkeep (temp-history) -------------------------------------------------
// Each opens the database itself: read-only for a backup, read-write (never
// creating it) for the others. A logger writing meanwhile waits for the
// write lock like for any other program (its rows wait in its backlog).

// A consistent copy of the database in a new file `target` (refused when it
// exists), taken in one read transaction, so a logger may write on
// meanwhile. The copy is one self-contained file (rollback journal, no
// -wal), checked before it gets its name. 1, or 0 with *error.
int HistoryBackup(const std::string& path, const std::string& target, std::string* error);

struct HistoryCompaction {
    int64_t bytesBefore;  // the database and its -wal file
    int64_t bytesAfter;
    int checkpointBusy;   // 1 when a reader kept the last checkpoint from emptying the WAL
};
// Copies the WAL into the database, rebuilds the file without its free
// pages (VACUUM) and empties the WAL. 1, or 0 with *error.
int HistoryCompact(const std::string& path, HistoryCompaction* result, std::string* error);

// Removes every row of one sensor from every tier in one transaction; the
// rows removed per tier go to `removed`. The sensor's id stays, so a sensor
// that is still read goes on being stored. 1, or 0 with *error.
int HistoryForget(const std::string& path, const std::string& serial, int64_t removed[HISTORY_TIER_COUNT],
                  std::string* error);
