// The outputs' workers: an output that hangs for an hour of cycles costs
// only itself. It loses its oldest reports, says so once when that starts and
// once when it ends, while the history beside it keeps every reading.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "history/history.h"
#include "outputs/outputs.h"
#include "support/clock.h"
#include "tests/common/scratch_dir.h"

extern const CycleOutputOps HistoryOutput;

namespace {

// A latch the hung output waits on, and what each output saw.
struct Rig {
    std::mutex lock;
    std::condition_variable changed;
    size_t allowed = 1;  // reports the hung output may finish before it hangs again
    std::vector<uint32_t> hungSaw;  // cycle numbers, in the order handled
    uint32_t historyHandled = 0;
    bool hungClosed = false;
};
Rig* TheRig = nullptr;

int OpenAlways(const TempConfig&) { return 1; }
void HungCycle(const CycleReport& report)
{
    std::unique_lock<std::mutex> guard(TheRig->lock);
    TheRig->hungSaw.push_back(report.cycleNumber);
    TheRig->changed.notify_all();
    TheRig->changed.wait(guard, [] { return TheRig->hungSaw.size() < TheRig->allowed; });
}
void HungClose()
{
    std::lock_guard<std::mutex> guard(TheRig->lock);
    TheRig->hungClosed = true;
}
const CycleOutputOps HungOutput = {"hung", OpenAlways, HungCycle, HungClose, nullptr, nullptr};

// The real history output, counting what it has handled so the test can keep
// the pace of real cycles (the history is never behind by a whole queue).
int HistoryOpen(const TempConfig& config) { return HistoryOutput.open(config); }
void HistoryCycle(const CycleReport& report)
{
    HistoryOutput.cycle(report);
    std::lock_guard<std::mutex> guard(TheRig->lock);
    ++TheRig->historyHandled;
    TheRig->changed.notify_all();
}
void HistoryClose() { HistoryOutput.close(); }
const CycleOutputOps CountedHistory = {"history", HistoryOpen, HistoryCycle, HistoryClose, nullptr, nullptr};

const CycleOutputOps* const Table[] = {&HungOutput, &CountedHistory};

CycleReport Report(uint32_t number)
{
    CycleReport report{};
    report.cycleNumber = number;
    report.started = report.ended = WallClockNow();
    report.count = 1;
    SensorReading& reading = report.readings[0];
    reading.serial = {0x10, 1, 2, 3, 4, 5, 6, 0x77};
    std::snprintf(reading.serialText, sizeof reading.serialText, "1001020304050677");
    reading.tableIndex = 0;
    reading.place = 1;
    std::snprintf(reading.label, sizeof reading.label, "Cellar");
    reading.stamp = report.started;
    reading.outcome = ReadingOutcome::Good;
    reading.hasWhole = true;
    reading.whole = 12;
    reading.extended = 12.0625 + (number % 16) / 16.0;
    return report;
}

// The fastest cycle of forty sensors takes about 2.4 s: an hour is 1500 of them.
constexpr uint64_t CycleMicros = 2400000;
constexpr uint32_t Hour = 1500;

// Waits (in real time: a guard, not a measure) until `done` holds; false when
// it never does, as when one output's hang stops the others.
template <typename Done>
bool WaitFor(Done done)
{
    std::unique_lock<std::mutex> guard(TheRig->lock);
    return TheRig->changed.wait_for(guard, std::chrono::seconds(60), done);
}

// One cycle's report, published once the hung output holds the first.
void PublishUnpaced(uint32_t number)
{
    ClockAdvanceVirtual(CycleMicros);
    OutputsPublish(Report(number));
    ASSERT_TRUE(WaitFor([] { return !TheRig->hungSaw.empty(); }));
}

// The same, at the history's pace.
void Publish(uint32_t number)
{
    PublishUnpaced(number);
    ASSERT_TRUE(WaitFor([number] { return TheRig->historyHandled >= number; })) << "cycle " << number;
}

std::vector<std::string> EventsNaming(const char* output)
{
    std::vector<std::string> found;
    for (const std::string& entry : OutputsTakeEvents())
        if (entry.find(std::string("Output ") + output + " ") == 0)
            found.push_back(entry);
    return found;
}

class HungOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        TheRig = &rig_;
        ClockUseVirtual();
        OutputsTakeEvents();
        config_.outputSettings["history-file"] = dir_ / "temp-history.db";
    }
    void TearDown() override
    {
        ClockInstall(nullptr);
        TheRig = nullptr;
    }
    // Lets the hung output finish `more` reports (all of them by default).
    void Release(size_t more = 1u << 30)
    {
        std::lock_guard<std::mutex> guard(rig_.lock);
        rig_.allowed += more;
        rig_.changed.notify_all();
    }
    // Waits until the hung output holds its `count`-th report.
    void WaitHungHolds(size_t count)
    {
        ASSERT_TRUE(WaitFor([count] { return TheRig->hungSaw.size() >= count; }));
    }
    Rig rig_;
    ScratchDir dir_{"outputs_test"};
    TempConfig config_;
};

TEST_F(HungOutput, HangingForAnHourCostsOnlyItselfAndItsDropsAreLoggedOnceEachWay)
{
    constexpr size_t limit = 400;
    OutputsOpenTable(config_, Table, 2, limit);
    for (uint32_t n = 1; n <= Hour; ++n)
        ASSERT_NO_FATAL_FAILURE(Publish(n));

    // The hung output holds cycle 1; its queue holds the latest `limit`.
    const uint64_t lost = Hour - 1 - limit;
    EXPECT_EQ(OutputsDropped("hung"), lost);
    EXPECT_EQ(OutputsDropped("history"), 0u);
    std::vector<std::string> events = EventsNaming("hung");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "Output hung is behind: its oldest cycle reports are dropped\n");
    EXPECT_TRUE(EventsNaming("history").empty());

    // It comes back: everything queued is handled, and the next report ends the run.
    Release();
    OutputsFlush();
    Publish(Hour + 1);
    OutputsFlush();
    events = EventsNaming("hung");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "Output hung caught up, " + std::to_string(lost) + " cycle reports were dropped\n");
    OutputsClose();
    EXPECT_TRUE(rig_.hungClosed);

    ASSERT_EQ(rig_.hungSaw.size(), 1 + limit + 1);
    EXPECT_EQ(rig_.hungSaw[0], 1u);
    for (size_t i = 1; i <= limit; ++i)
        EXPECT_EQ(rig_.hungSaw[i], Hour - limit + i) << i;
    EXPECT_EQ(rig_.hungSaw.back(), Hour + 1);

    // The history has every reading of the hour, a cycle apart.
    std::string error;
    HistoryReader* reader = HistoryOpenReader(config_.outputSettings["history-file"], &error);
    ASSERT_NE(reader, nullptr) << error;
    std::vector<HistoryPoint> points;
    ASSERT_EQ(HistorySelect(reader, HistoryQuery(), &points, &error), 1) << error;
    HistoryCloseReader(reader);
    ASSERT_EQ(points.size(), Hour + 1);
    for (size_t i = 1; i < points.size(); ++i)
        ASSERT_EQ(points[i].timeMs - points[i - 1].timeMs, static_cast<int64_t>(CycleMicros / 1000)) << i;
}

// A run of drops still going at the close is ended there, with its count;
// the close waits for what was queued.
TEST_F(HungOutput, RunOfDropsOpenAtTheCloseIsEndedThere)
{
    config_.outputSettings["history"] = "off";  // the history's open leaves it off: only the hung output runs
    OutputsOpenTable(config_, Table, 2, 4);
    for (uint32_t n = 1; n <= 10; ++n)
        PublishUnpaced(n);
    EXPECT_EQ(OutputsDropped("hung"), 10u - 1 - 4);
    EXPECT_EQ(OutputsDropped("history"), 0u);
    Release();
    OutputsClose();
    std::vector<std::string> events = EventsNaming("hung");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], "Output hung caught up, 5 cycle reports were dropped\n");
    EXPECT_EQ(rig_.hungSaw, (std::vector<uint32_t>{1, 7, 8, 9, 10}));
}

// An output that drains slowly ends its run of drops only once half its queue
// is free, so a queue hovering at its bound can't fill the event log.
TEST_F(HungOutput, RunOfDropsEndsOnlyWhenHalfTheQueueIsFree)
{
    config_.outputSettings["history"] = "off";
    OutputsOpenTable(config_, Table, 2, 8);
    for (uint32_t n = 1; n <= 20; ++n)
        PublishUnpaced(n);  // holds 1, waits 13..20: 11 dropped
    EXPECT_EQ(EventsNaming("hung").size(), 1u);

    const struct {
        size_t finish;        // reports the output gets through first
        bool endLogged;       // by the next publish
    } steps[] = {
        {3, false},  // holds 15, 5 wait: more than half of 8
        {2, true},   // holds 17, 4 wait: half the queue is free
        {0, false},  // ended once; no new drops, nothing more to say
    };
    uint32_t next = 21;
    size_t held = 1;
    for (const auto& step : steps) {
        Release(step.finish);
        held += step.finish;
        ASSERT_NO_FATAL_FAILURE(WaitHungHolds(held));
        PublishUnpaced(next++);
        std::vector<std::string> events = EventsNaming("hung");
        ASSERT_EQ(events.size(), step.endLogged ? 1u : 0u) << "after " << held;
        if (step.endLogged) {
            EXPECT_EQ(events[0], "Output hung caught up, 11 cycle reports were dropped\n");
        }
    }
    EXPECT_EQ(OutputsDropped("hung"), 11u);
    Release();
    OutputsClose();
    EXPECT_TRUE(EventsNaming("hung").empty());
}

// The history output hands its writer the clocks as each cycle ended: a
// cycle that takes minutes longer than the one before (an adapter that hangs
// and recovers) is no clock jump.
TEST_F(HungOutput, ALongCycleIsNoClockJump)
{
    const uint32_t durationsMs[] = {1081, 6 * 60000, 1081, 11 * 60000, 1081};
    ASSERT_EQ(HistoryOutput.open(config_), 1);
    int64_t wallMs = 1700000000000, monotonicMs = 5000;
    uint32_t number = 0;
    for (uint32_t durationMs : durationsMs) {
        CycleReport report = Report(++number);
        report.started = {static_cast<time_t>(wallMs / 1000), static_cast<int>(wallMs % 1000)};
        report.startedMicros = static_cast<uint64_t>(monotonicMs) * 1000;
        report.durationMs = durationMs;
        wallMs += durationMs;
        monotonicMs += durationMs;
        report.ended = {static_cast<time_t>(wallMs / 1000), static_cast<int>(wallMs % 1000)};
        report.readings[0].stamp = report.started;
        HistoryOutput.cycle(report);
        wallMs += 1319;  // the wait for the next cycle
        monotonicMs += 1319;
    }
    HistoryOutput.close();
    for (const std::string& entry : OutputsTakeEvents())
        EXPECT_EQ(entry.find("Clock jumped"), std::string::npos) << entry;
}

// An output that never returns is left behind by the close within its
// bound, with one entry naming it and what it held; the history beside it
// (its database locked by another program) keeps every reading in its spill.
TEST_F(HungOutput, TheCloseLeavesAHungOutputBehindWithinItsBoundAndTheHistoryKeepsItsReadings)
{
    OutputsOpenTable(config_, Table, 2, 100);
    for (uint32_t n = 1; n <= 3; ++n)
        ASSERT_NO_FATAL_FAILURE(Publish(n));
    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(config_.outputSettings["history-file"].c_str(), &locker), SQLITE_OK);
    sqlite3_busy_timeout(locker, 60000);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(locker);
    for (uint32_t n = 4; n <= 6; ++n)
        ASSERT_NO_FATAL_FAILURE(Publish(n));
    OutputsTakeEvents();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OutputsClose(), 1);
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("the close took %lld ms with a hung output and a locked history\n", static_cast<long long>(tookMs));
    std::vector<std::string> events = OutputsTakeEvents();
    const std::string spill = HistorySpillFile(config_.outputSettings["history-file"]);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "History kept 3 readings in " + spill + " for the next start: database is locked\n",
                          "Output hung did not stop within 6 s and was left behind with 6 cycle reports not handled\n",
                      }));
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);

    // The thread left behind ends once its output returns; the rig outlives it.
    Release();
    ASSERT_TRUE(WaitFor([] { return TheRig->hungClosed; }));

    // The next start takes the kept readings back.
    config_.outputSettings["history"] = "on";
    ASSERT_EQ(HistoryOutput.open(config_), 1);
    HistoryOutput.cycle(Report(7));
    HistoryOutput.close();
    EXPECT_EQ(OutputsTakeEvents(),
              (std::vector<std::string>{"History took back 3 readings kept at the last stop in " + spill + "\n"}));
    std::string error;
    HistoryReader* reader = HistoryOpenReader(config_.outputSettings["history-file"], &error);
    ASSERT_NE(reader, nullptr) << error;
    std::vector<HistoryPoint> points;
    ASSERT_EQ(HistorySelect(reader, HistoryQuery(), &points, &error), 1) << error;
    HistoryCloseReader(reader);
    EXPECT_EQ(points.size(), 7u);
}

// Entries past the waiting bound are counted in one entry after them.
TEST(OutputEvents, EntriesPastTheBoundAreCountedInTheEntryThatFollows)
{
    OutputsTakeEvents();
    const size_t extra = 37;
    for (size_t i = 0; i < OUTPUT_EVENT_LIMIT + extra; ++i)
        OutputsLogEvent("entry %zu\n", i);
    std::vector<std::string> events = OutputsTakeEvents();
    ASSERT_EQ(events.size(), OUTPUT_EVENT_LIMIT + 1);
    EXPECT_EQ(events[OUTPUT_EVENT_LIMIT - 1], "entry " + std::to_string(OUTPUT_EVENT_LIMIT - 1) + "\n");
    EXPECT_EQ(events.back(), "Outputs logged too much at once: 37 further entries were dropped\n");
    OutputsLogEvent("after\n");
    EXPECT_EQ(OutputsTakeEvents(), std::vector<std::string>{"after\n"});
}

}  // namespace
