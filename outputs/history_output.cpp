// The history output: each cycle's readings into the SQLite history
// (temp-history.db in the working directory by default). Built only where
// the system has SQLite; elsewhere history_off.cpp stands in.
#include <algorithm>
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "history/history.h"
#include "outputs/history_settings.h"
#include "outputs/outputs.h"

namespace {

struct HistoryOutputState {
    HistoryWriter* writer = nullptr;
    std::string path;
    HistoryRetention retention;
    // Readings that came while the database could not be opened.
    std::vector<HistoryReading> held;
    bool paused = false;
    size_t heldDropped = 0;  // readings `held` lost to its bound
    bool dropping = false;
    size_t droppedBefore = 0;
    // The cycle being written: the writer's clocks read its times, so that
    // pruning follows the logger's own clock (also a virtual one).
    int64_t wallMs = 0;
    int64_t monotonicMs = 0;
};

HistoryOutputState State;

// A failure starts: one entry, however long it lasts.
void Pause(const std::string& reason)
{
    if (!State.paused)
        OutputsLogEvent("History paused: %s\n", reason.c_str());
    State.paused = true;
}

// One entry when readings start to be dropped for want of room.
void NoteDrops()
{
    size_t dropped = State.heldDropped + HistoryDropped(State.writer);
    if (dropped > State.droppedBefore && !State.dropping)
        OutputsLogEvent("History backlog full: the oldest readings are dropped\n");
    State.dropping = dropped > State.droppedBefore;
    State.droppedBefore = dropped;
}

int64_t CycleWallMs(void*)
{
    return State.wallMs;
}

int64_t CycleMonotonicMs(void*)
{
    return State.monotonicMs;
}

int TryOpen()
{
    std::string error;
    State.writer = HistoryOpenWriter(State.path, State.retention, &error);
    if (!State.writer) {
        Pause(error);
        return 0;
    }
    HistorySetClock(State.writer, HistoryClock{CycleWallMs, CycleMonotonicMs, nullptr});
    std::string problem;
    size_t taken = HistorySpillTaken(State.writer, &problem);
    if (taken)
        OutputsLogEvent("History took back %zu readings kept at the last stop in %s\n", taken,
                        HistorySpillFile(State.path).c_str());
    if (!problem.empty())
        OutputsLogEvent("History left %s as it is: %s\n", HistorySpillFile(State.path).c_str(), problem.c_str());
    return 1;
}

std::string UtcText(int64_t ms)
{
    time_t seconds = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    struct tm parts {};
    char text[32] = "?";
    if (gmtime_r(&seconds, &parts))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// One entry per jump of the clock, with the time it left and the one it
// jumped to.
void NoteClockJump(int64_t from, int64_t to)
{
    OutputsLogEvent("Clock jumped from %s to %s UTC, the history prunes by the time that really passed\n",
                    UtcText(from).c_str(), UtcText(to).c_str());
}

void NoteClockJump()
{
    int64_t from = 0, to = 0;
    if (HistoryTakeClockJump(State.writer, &from, &to))
        NoteClockJump(from, to);
}

int OpenHistory(const TempConfig& config)
{
    HistorySettings settings = HistorySettingsOf(config);
    if (!settings.on)
        return 0;
    State = HistoryOutputState();
    State.path = settings.file;
    State.retention.rawDays = settings.rawDays;
    State.retention.minuteDays = settings.minuteDays;
    State.retention.hourDays = settings.hourDays;
    // The database is opened by the first cycle, on the worker's thread, so
    // that a slow or locked file never delays the logger's start; while it
    // can't be opened, each cycle tries again.
    return 1;
}

HistoryReading ToHistory(const SensorReading& reading)
{
    HistoryReading row;
    row.timeMs = static_cast<int64_t>(reading.stamp.seconds) * 1000 + reading.stamp.milliseconds;
    row.serial = reading.serialText;
    row.place = reading.place;
    row.position = reading.tableIndex;
    row.label = reading.label;
    row.outcome = static_cast<int>(reading.outcome);
    row.hasWhole = reading.hasWhole;
    row.whole = reading.whole;
    row.extended = reading.extended;
    return row;
}

void HistoryCycle(const CycleReport& report)
{
    // The clocks as the cycle ended, after its readings were stamped: a wall
    // clock set back during the cycle is then already behind at the commit of
    // the readings it stamped, and they are pruned by the time they were taken.
    State.wallMs = static_cast<int64_t>(report.ended.seconds) * 1000 + report.ended.milliseconds;
    State.monotonicMs = static_cast<int64_t>(report.startedMicros / 1000) + report.durationMs;
    std::vector<HistoryReading> rows;
    rows.reserve(report.count);
    for (int i = 0; i < report.count; ++i)
        rows.push_back(ToHistory(report.readings[i]));
    // The logger is stopping: the readings wait for the close, which has a
    // bound to keep (no commit here that could wait for a lock).
    if (OutputsClosing(nullptr)) {
        if (State.writer)
            HistoryHold(State.writer, rows);
        else
            State.held.insert(State.held.end(), rows.begin(), rows.end());
        return;
    }
    // Readings of earlier cycles that wait, here or in the writer's backlog.
    size_t waiting = State.held.size();
    if (!State.writer) {
        State.held.insert(State.held.end(), rows.begin(), rows.end());
        if (State.held.size() > HISTORY_BACKLOG_LIMIT) {
            size_t excess = State.held.size() - HISTORY_BACKLOG_LIMIT;
            State.held.erase(State.held.begin(), State.held.begin() + static_cast<std::ptrdiff_t>(excess));
            State.heldDropped += excess;
        }
        if (!TryOpen()) {
            NoteDrops();
            return;
        }
        rows.swap(State.held);
        State.held.clear();
    }
    waiting += HistoryBacklog(State.writer);
    std::string error;
    int committed = HistoryAppend(State.writer, rows, &error);
    NoteDrops();
    NoteClockJump();
    // Commits that go in while checkpoints fail still pause the history:
    // its WAL grows until they run again.
    if (!committed || !HistoryCheckpointHealth(State.writer, &error)) {
        Pause(error);
        return;
    }
    if (State.paused)
        OutputsLogEvent("History resumed, %zu readings caught up\n", waiting);
    State.paused = false;
}

// Within the close's bound (a second kept for the lanes' end): what waits is
// committed, else kept in the spill file for the next start; one entry says
// what was kept and what, if anything, was lost.
void CloseHistory()
{
    int64_t leftMs = OUTPUT_CLOSE_MS;
    OutputsClosing(&leftMs);
    int boundMs = static_cast<int>(std::max<int64_t>(0, leftMs - 1000));
    if (!State.writer && !State.held.empty())
        TryOpen();
    HistoryCloseReport report;
    if (State.writer) {
        HistoryHold(State.writer, State.held);
        HistoryCloseWriterWithin(State.writer, boundMs, &report);
        // Cycles held at the stop go in with the close: a jump among them is told here.
        if (report.clockJumped)
            NoteClockJump(report.jumpFromMs, report.jumpToMs);
    } else if (!State.held.empty()) {
        report.reason = "the database can't be opened";
        HistorySpill(State.path, State.held, HISTORY_DISK_RESERVE / 4, &report);
    }
    const std::string spill = HistorySpillFile(State.path);
    if (report.lost)
        OutputsLogEvent("History kept %zu readings in %s for the next start, %zu readings lost: %s\n",
                        report.spilled, spill.c_str(), report.lost, report.problem.c_str());
    else if (report.spilled)
        OutputsLogEvent("History kept %zu readings in %s for the next start: %s\n", report.spilled, spill.c_str(),
                        report.reason.c_str());
    State = HistoryOutputState();
}

}  // namespace

extern const CycleOutputOps HistoryOutput = {
    "history", OpenHistory, HistoryCycle, CloseHistory, HistoryKeys, HistorySetting,
};
