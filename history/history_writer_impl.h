// The writer's inside, shared by its files: the writer's state and the calls
// each mechanism offers the others. Threads: everything here runs on the
// thread that calls the public writer functions (the history output's lane),
// except the checkpointer's own members, which its thread reads under
// Checkpointer::lock.
//
//   history_writer.cpp      open, the bounded close, the statements, the state a run left
//   history_commit.cpp      the commit of the backlog, one transaction each
//   history_rollup.cpp      the minute and hour rollups and their merges
//   history_retention.cpp   the pruning horizon, the windows of a clock set back
//   history_checkpoint.cpp  the checkpointer thread
//   history_spill.cpp       the spill file: what a close can't commit, taken back at open
#pragma once

#include "history/history.h"
#include "history/history_db.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

constexpr int64_t HistoryNotYet = INT64_MAX;

enum HistoryStatement {
    SELECT_SENSOR,
    INSERT_SENSOR,
    SELECT_PLACE,
    INSERT_PLACE,
    INSERT_READING,
    ROLL_MINUTE,
    ROLL_HOUR,
    MERGE_MINUTE,
    MERGE_HOUR,
    PRUNE_RAW,
    PRUNE_MINUTE,
    PRUNE_HOUR,
    SAVE_STATE,
    STATEMENT_COUNT
};

// The statements' SQL, kept beside the code that runs them.
extern const char* const HistoryRollMinuteSql;
extern const char* const HistoryRollHourSql;
extern const char* const HistoryMergeMinuteSql;
extern const char* const HistoryMergeHourSql;
extern const char* const HistoryPruneSql[HISTORY_TIER_COUNT];

// Checkpoints on a thread and connection of their own, so that the
// writer's commits never wait for the copy and its fsync. Passive: a
// reader's snapshot is never waited for either (the rest goes next time).
struct Checkpointer {
    std::string path;
    sqlite3* db = nullptr;
    std::thread thread;
    std::mutex lock;
    std::mutex running;  // held while a checkpoint runs
    std::condition_variable wake;
    std::condition_variable idle;  // a checkpoint ended
    bool wanted = false;
    bool busy = false;             // taken by the thread, not yet ended
    bool stopping = false;
    bool started = false;          // the thread runs (set and cleared under `lock`)
    std::string failure;  // the latest checkpoint's failure, "" when it ran
};

// What a commit's new readings add to one bucket of one sensor.
struct BucketSum {
    int64_t place = 0;
    int64_t placeTime = INT64_MIN;
    bool placeGood = false;
    double min = 0, max = 0, sum = 0;
    int64_t count = 0, failed = 0;
};
using BucketKey = std::pair<int64_t, int64_t>;  // sensor id, bucket start

struct HistoryWriter {
    sqlite3* db = nullptr;
    Checkpointer checkpointer;
    std::string path;
    std::string folder;  // where free space is measured
    int64_t reserve = HISTORY_DISK_RESERVE;
    HistoryRetention retention;
    std::array<sqlite3_stmt*, STATEMENT_COUNT> statements = {};
    // Ids of rows committed before; cleared when a transaction rolls back.
    std::unordered_map<std::string, int64_t> sensorIds;
    std::map<std::pair<int, std::string>, int64_t> placeIds;
    std::deque<HistoryReading> backlog;
    size_t dropped = 0;
    // Buckets with readings not rolled up yet (minute and hour starts); a
    // bucket is rolled up once the stream of readings has left it.
    std::set<int64_t> dirtyMinutes, dirtyHours;
    int64_t stream = HistoryNotYet;  // the last reading committed (in the order they came)
    // Below these starts a tier's source rows may be pruned: a bucket there
    // is added to, never rewritten from them.
    int64_t rawPruned = INT64_MIN, minutePruned = INT64_MIN;
    int64_t positionPlaces = 0;  // place ids up to this hold record positions (version 1)
    // Pruning's horizon (the time that really passed) and the clocks it follows.
    HistoryClock clock{};
    int64_t horizon = HistoryNotYet;
    bool behind = false;  // the wall clock is behind the horizon (set back)
    // Times stamped while the wall clock was behind: such a row was taken at
    // its time plus the offset, and is pruned by that.
    struct Window {
        int64_t from, to, offset;
    };
    std::vector<Window> windows;
    int64_t lastWall = HistoryNotYet, lastMonotonic = 0;
    bool jumped = false;
    int64_t jumpFrom = 0, jumpTo = 0;
    // Readings taken back from the spill file at open: the first `spillCount`
    // of the backlog came from the spill `spillId`, which is removed once a
    // commit has them (the commit marks the id as merged, so a spill left
    // by a kill between that commit and the removal is never merged twice).
    int64_t spillId = 0;
    size_t spillCount = 0;
    size_t spillTaken = 0;
    std::string spillProblem;  // why a spill beside the database was not taken back
};

using HistoryWindow = HistoryWriter::Window;

// One step of a statement that returns no rows (or whose rows don't matter).
int HistoryRun(sqlite3_stmt* statement);

// ---- history_commit.cpp
// One transaction: the backlog's readings, the closed rollups (or, when
// `closing`, also the open minute and hour), a batch of pruning. 0 with
// *error when it did not commit (the backlog stays).
int HistoryCommit(HistoryWriter* writer, bool closing, std::string* error);
// 0 with *error ("disk full ...") when the file system of `folder` has less
// than `reserve` + `extra` bytes free; 1 when it has, or reserve is 0.
int HistorySpaceLeft(const std::string& folder, int64_t reserve, int64_t extra, std::string* error);
// Rolls back an open transaction and forgets the ids it may have made.
void HistoryRollback(HistoryWriter* writer);

// ---- history_rollup.cpp
// Adds one new reading to the sum of its bucket (a bucket that can't be
// rolled up again from the tier below).
void HistoryAddToSum(std::map<BucketKey, BucketSum>* sums, BucketKey key, const HistoryReading& reading,
                     int64_t place);
// Adds each bucket's sum into its row of the tier `merge` writes.
int HistoryMerge(sqlite3_stmt* merge, const std::map<BucketKey, BucketSum>& sums);
// Rolls up every bucket the stream has left (with `closing`, every bucket).
int HistoryRollUp(HistoryWriter* writer, int64_t stream, bool closing, std::set<int64_t>* minutes,
                  std::set<int64_t>* hours);

// ---- history_retention.cpp
// Moves the horizon by the clocks; notes a jump of the wall clock.
void HistoryAdvanceHorizon(HistoryWriter* writer, int64_t start);
// Notes the readings' times [from, to] of a commit taken while the wall clock was behind.
void HistoryNoteWindow(HistoryWriter* writer, int64_t from, int64_t to);
int HistoryLoadWindows(HistoryWriter* writer);
int HistorySaveWindows(HistoryWriter* writer, const std::vector<HistoryWindow>& windows);
// One batch of pruning; the marks it moves go to the out parameters.
int HistoryPrune(HistoryWriter* writer, const std::set<int64_t>& minutes, const std::set<int64_t>& hours,
                 int64_t* rawPruned, int64_t* minutePruned, std::vector<HistoryWindow>* windows);

// ---- history_spill.cpp
// The bytes a spilled reading may take (a raw row with its share of the page
// and journal), asked of the disk beforehand.
constexpr int64_t HistorySpillBytesPerReading = 64;
// Takes a spill file back into the backlog (at its front) when it has not
// been merged yet; removes one that has been.
void HistoryTakeSpill(HistoryWriter* writer);
// In the commit's transaction: marks the spill whose readings it holds as merged.
int HistoryMarkSpillMerged(HistoryWriter* writer);
// After that commit: removes the spill file.
void HistoryRemoveSpill(HistoryWriter* writer);

// ---- history_checkpoint.cpp
// Starts the checkpointer thread and hooks it to the writer's commits.
void HistoryStartCheckpointer(HistoryWriter* writer);
// Stops and joins it and closes its connection.
void HistoryStopCheckpointer(HistoryWriter* writer);
