// Retention: the pruning horizon follows the time that really passed; rows
// stamped while the wall clock was set back are pruned by when they were taken.
#include "history/history_writer_impl.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Rows each tier may lose per commit: well above what a cycle adds, so
// pruning keeps up, and small enough that no commit pays for a large delete.
constexpr int PruneBatch = 200;

// Deletes up to *budget rows of a tier in [from, to).
int PruneRange(sqlite3_stmt* prune, int64_t from, int64_t to, int* budget, sqlite3* db)
{
    if (from >= to || *budget <= 0)
        return 1;
    sqlite3_bind_int64(prune, 1, from);
    sqlite3_bind_int64(prune, 2, to);
    sqlite3_bind_int(prune, 3, *budget);
    if (!HistoryRun(prune))
        return 0;
    *budget -= sqlite3_changes(db);
    return 1;
}

}  // namespace

// Rows of a tier with times in [?1, ?2), at most ?3 of them, oldest first.
extern const char* const HistoryPruneSql[HISTORY_TIER_COUNT] = {
    "DELETE FROM reading WHERE (t, sensor) IN (SELECT t, sensor FROM reading WHERE t >= ?1 AND t < ?2 ORDER BY t "
    "LIMIT ?3)",
    "DELETE FROM minute WHERE (sensor, t) IN (SELECT sensor, t FROM minute WHERE t >= ?1 AND t < ?2 ORDER BY t "
    "LIMIT ?3)",
    "DELETE FROM hour WHERE (sensor, t) IN (SELECT sensor, t FROM hour WHERE t >= ?1 AND t < ?2 ORDER BY t LIMIT ?3)",
};

// Moves the horizon by the clocks: never past the wall clock, never faster
// than the monotonic clock; notes a wall clock that jumped. While the wall
// clock is behind (set back, a board that booted at 1970), real time goes on
// and the readings' times are noted as a window.
void HistoryAdvanceHorizon(HistoryWriter* writer, int64_t start)
{
    int64_t wall = writer->clock.wallMs(writer->clock.context);
    int64_t monotonic = writer->clock.monotonicMs(writer->clock.context);
    int64_t elapsed = writer->lastWall == HistoryNotYet ? 0 : std::max<int64_t>(0, monotonic - writer->lastMonotonic);
    if (writer->lastWall != HistoryNotYet) {
        int64_t expected = writer->lastWall + elapsed;
        if (wall - expected > HISTORY_CLOCK_JUMP_MS || expected - wall > HISTORY_CLOCK_JUMP_MS) {
            writer->jumped = true;
            writer->jumpFrom = expected;
            writer->jumpTo = wall;
        }
    }
    writer->lastWall = wall;
    writer->lastMonotonic = monotonic;
    if (writer->horizon == HistoryNotYet)
        writer->horizon = start;
    if (writer->horizon == HistoryNotYet)
        return;
    int64_t real = writer->horizon + elapsed;
    writer->behind = wall < real - HISTORY_CLOCK_JUMP_MS;
    writer->horizon = writer->behind ? real : std::min(wall, real);
}

// The readings of a commit taken while the wall clock was behind.
void HistoryNoteWindow(HistoryWriter* writer, int64_t from, int64_t to)
{
    if (!writer->behind || from > to)
        return;
    int64_t offset = writer->horizon - writer->lastWall;
    auto& windows = writer->windows;
    if (!windows.empty() && std::abs(windows.back().offset - offset) <= HISTORY_CLOCK_JUMP_MS
        && from <= windows.back().to + HISTORY_CLOCK_JUMP_MS && to >= windows.back().from) {
        windows.back().from = std::min(windows.back().from, from);
        windows.back().to = std::max(windows.back().to, to + 1);
        windows.back().offset = std::max(windows.back().offset, offset);
    } else {
        windows.push_back({from, to + 1, offset});
    }
}

int HistoryLoadWindows(HistoryWriter* writer)
{
    sqlite3_stmt* statement = nullptr;
    std::string error;
    if (!HistoryPrepare(writer->db,
                        "SELECT value, (SELECT value FROM state WHERE key = 'window-to ' || substr(s.key, 13)), "
                        "(SELECT value FROM state WHERE key = 'window-offset ' || substr(s.key, 13)) "
                        "FROM state s WHERE key LIKE 'window-from %' ORDER BY value",
                        &statement, &error))
        return 0;
    while (sqlite3_step(statement) == SQLITE_ROW)
        writer->windows.push_back({sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1),
                                   sqlite3_column_int64(statement, 2)});
    sqlite3_finalize(statement);
    return 1;
}

int HistorySaveWindows(HistoryWriter* writer, const std::vector<HistoryWindow>& windows)
{
    std::string sql = "DELETE FROM state WHERE key LIKE 'window-%';";
    for (size_t i = 0; i < windows.size(); ++i) {
        std::string n = std::to_string(i);
        sql += "INSERT INTO state (key, value) VALUES ('window-from " + n + "', " + std::to_string(windows[i].from)
               + "), ('window-to " + n + "', " + std::to_string(windows[i].to) + "), ('window-offset " + n + "', "
               + std::to_string(windows[i].offset) + ");";
    }
    std::string error;
    return HistoryExec(writer->db, sql.c_str(), &error);
}

// At most PruneBatch rows of each tier older than its retention, counted
// back from the horizon (rows of a window by the time they were taken);
// never the rows of a bucket not rolled up yet. Windows whose rows are
// pruned in every tier are dropped.
int HistoryPrune(HistoryWriter* writer, const std::set<int64_t>& minutes, const std::set<int64_t>& hours,
                 int64_t* rawPruned, int64_t* minutePruned, std::vector<HistoryWindow>* windows)
{
    *rawPruned = writer->rawPruned;
    *minutePruned = writer->minutePruned;
    *windows = writer->windows;
    if (writer->horizon == HistoryNotYet)
        return 1;
    const int days[HISTORY_TIER_COUNT] = {writer->retention.rawDays, writer->retention.minuteDays,
                                          writer->retention.hourDays};
    std::vector<bool> expired(windows->size(), true);
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        if (days[tier] <= 0) {
            std::fill(expired.begin(), expired.end(), false);
            continue;
        }
        int64_t cutoff = writer->horizon - days[tier] * HISTORY_DAY_MS;
        int64_t keep = HistoryNotYet;  // never at or past the first bucket still to roll up
        if (tier == HISTORY_RAW && !minutes.empty())
            keep = *minutes.begin();
        if (tier == HISTORY_MINUTE && !hours.empty())
            keep = *hours.begin();
        sqlite3_stmt* prune = writer->statements[PRUNE_RAW + tier];
        int budget = PruneBatch;
        // A rollup row is stamped with its bucket's start, which may lie
        // before a window's first reading: a window of this tier begins at
        // the start of that reading's bucket.
        std::vector<HistoryWindow> tierWindows = *windows;
        if (tier != HISTORY_RAW) {
            const int64_t bucket = tier == HISTORY_MINUTE ? HISTORY_MINUTE_MS : HISTORY_HOUR_MS;
            for (auto& window : tierWindows)
                window.from = HistoryBucketStart(window.from, bucket);
        }
        // Below the cutoff, between the windows; then each window's rows by
        // the time they were taken.
        int64_t from = INT64_MIN;
        std::vector<HistoryWindow> sorted = tierWindows;
        std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.from < b.from; });
        for (const auto& window : sorted) {
            if (!PruneRange(prune, from, std::min({window.from, cutoff, keep}), &budget, writer->db))
                return 0;
            from = std::max(from, window.to);
        }
        if (!PruneRange(prune, from, std::min(cutoff, keep), &budget, writer->db))
            return 0;
        for (size_t i = 0; i < tierWindows.size(); ++i) {
            const auto& window = tierWindows[i];
            int64_t end = std::min({window.to, cutoff - window.offset, keep});
            if (!PruneRange(prune, window.from, end, &budget, writer->db))
                return 0;
            expired[i] = expired[i] && cutoff - window.offset >= window.to;
        }
        int64_t pruned = std::min(cutoff, keep);
        if (tier == HISTORY_RAW)
            *rawPruned = std::max(*rawPruned, pruned);
        if (tier == HISTORY_MINUTE)
            *minutePruned = std::max(*minutePruned, pruned);
    }
    for (size_t i = windows->size(); i-- > 0;)
        if (expired[i])
            windows->erase(windows->begin() + static_cast<std::ptrdiff_t>(i));
    return 1;
}
