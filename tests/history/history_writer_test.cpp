// The history writer on synthetic cycles: rollups at bucket boundaries,
// pruning, the backlog under locks and on a full disk, foreign files, kills.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <set>

#include "history/history.h"
#include "history_test_util.h"

namespace {

constexpr int64_t Minute = 60 * 1000;
constexpr int64_t Hour = 60 * Minute;
constexpr int64_t Day = 24 * Hour;
constexpr int64_t HourStart = 1700002800000;  // an hour boundary (UTC)

std::string SerialOf(int i)
{
    char text[32];
    std::snprintf(text, sizeof text, "10%012X%02X", i & 0xFFFF, i & 0xFF);
    return text;
}

HistoryReading Good(int64_t t, int sensor, double extended)
{
    return HistoryReading{t, SerialOf(sensor), sensor, "Place " + std::to_string(sensor), HISTORY_GOOD, true,
                          extended, extended};
}

HistoryReading Failed(int64_t t, int sensor, int outcome)
{
    return HistoryReading{t, SerialOf(sensor), sensor, "Place " + std::to_string(sensor), outcome, false, 0, 0};
}

std::vector<HistoryReading> Cycle(int64_t t, int sensors, double base = 20)
{
    std::vector<HistoryReading> readings;
    for (int i = 0; i < sensors; ++i)
        readings.push_back(Good(t + i, i, base + i));
    return readings;
}

// Wall and monotonic clocks the test moves by hand.
struct FakeClock {
    int64_t wall = HourStart;
    int64_t monotonic = 0;
    // Real time passes: both clocks move.
    void Pass(int64_t ms)
    {
        wall += ms;
        monotonic += ms;
    }
    HistoryClock Clock()
    {
        return HistoryClock{[](void* c) { return static_cast<FakeClock*>(c)->wall; },
                            [](void* c) { return static_cast<FakeClock*>(c)->monotonic; }, this};
    }
};

struct Writer {
    explicit Writer(const std::string& path, HistoryRetention retention = {}, FakeClock* clock = nullptr)
    {
        std::string error;
        writer = HistoryOpenWriter(path, retention, &error);
        EXPECT_NE(writer, nullptr) << error;
        if (writer && clock)
            HistorySetClock(writer, clock->Clock());
    }
    ~Writer() { HistoryCloseWriter(writer); }
    int Append(const std::vector<HistoryReading>& readings)
    {
        error.clear();
        return HistoryAppend(writer, readings, &error);
    }
    HistoryWriter* writer;
    std::string error;
};

// A second connection holding a lock on the database until it goes.
struct Locker {
    Locker(const std::string& path, const char* begin)
    {
        db = OpenWaiting(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);  // the writer's thread may hold it
        EXPECT_EQ(sqlite3_exec(db, begin, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        // A read transaction starts with its first read.
        EXPECT_EQ(sqlite3_exec(db, "SELECT count(*) FROM reading", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~Locker()
    {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    sqlite3* db = nullptr;
};

TEST(HistoryWriter, RollupsAppearWhenTheirMinuteAndHourClose)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    // Two sensors, a reading every 20 s from 40 s before an hour boundary;
    // sensor 1 fails at the boundary's first reading.
    struct Step {
        int64_t t;
        std::vector<std::string> minutes;  // minute rows after the commit: "sensor|t|min|mean|max|count"
        int hours;
    };
    const int64_t m0 = HourStart - 2 * Minute;
    const std::vector<Step> steps = {
        {HourStart - 100000, {}, 0},
        {HourStart - 80000, {}, 0},
        {HourStart - 60000, {"1|" + std::to_string(m0) + "|10.0|10.5|11.0|2|0",
                             "2|" + std::to_string(m0) + "|20.0|20.5|21.0|2|0"}, 0},
        {HourStart - 40000, {}, 0},  // both sensors fail with a value
        {HourStart - 20000, {}, 0},
        {HourStart, {"1|" + std::to_string(m0 + Minute) + "|12.0|13.0|14.0|2|1",
                     "2|" + std::to_string(m0 + Minute) + "|22.0|23.0|24.0|2|1"}, 2},
        {HourStart + 20000, {}, 0},
        {HourStart + Minute, {"1|" + std::to_string(HourStart) + "|16.0|16.0|16.0|1|1",
                              "2|" + std::to_string(HourStart) + "|25.0|25.5|26.0|2|0"}, 0},
        // A minute of failed readings only: a row without values.
        {HourStart + 2 * Minute, {"1|" + std::to_string(HourStart + Minute) + "|NULL|NULL|NULL|0|1",
                                  "2|" + std::to_string(HourStart + Minute) + "|27.0|27.0|27.0|1|0"}, 0},
    };
    size_t expectedMinutes = 0;
    double value = 10;
    for (const Step& step : steps) {
        std::vector<HistoryReading> cycle = {Good(step.t, 0, value), Good(step.t + 5, 1, value + 10)};
        if (step.t == HourStart)
            cycle[0] = Failed(step.t, 0, HISTORY_CRC);
        // Failed readings that still carry a value never enter min, mean or max.
        if (step.t == HourStart - 40000) {
            cycle[0].outcome = HISTORY_CONVERSION_INCOMPLETE;
            cycle[0].extended = 99;
            cycle[1].outcome = HISTORY_COUNT_PER_C_ZERO;
            cycle[1].extended = -99;
        }
        if (step.t == HourStart + Minute)
            cycle[0] = Failed(step.t, 0, HISTORY_NO_PRESENCE);
        value += 1;
        ASSERT_EQ(w.Append(cycle), 1) << w.error;
        expectedMinutes += step.minutes.size();
        std::vector<std::string> minutes =
            Rows(db, "SELECT sensor, t, min, mean, max, count, failed FROM minute ORDER BY t, sensor");
        ASSERT_EQ(minutes.size(), expectedMinutes) << step.t;
        for (size_t i = 0; i < step.minutes.size(); ++i)
            EXPECT_EQ(minutes[expectedMinutes - step.minutes.size() + i], step.minutes[i]) << step.t;
        if (step.hours) {
            EXPECT_EQ(Rows(db, "SELECT sensor, t, min, mean, max, count, failed FROM hour ORDER BY sensor"),
                      (std::vector<std::string>{"1|" + std::to_string(HourStart - Hour) + "|10.0|11.75|14.0|4|1",
                                                "2|" + std::to_string(HourStart - Hour) + "|20.0|21.75|24.0|4|1"}));
        }
    }
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading WHERE outcome = 2 AND whole IS NULL AND extended IS NULL"), "1");
}

TEST(HistoryWriter, ClosingRollsUpTheOpenBucketsAndAReopenedWriterAddsToThem)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    {
        Writer w(db);
        ASSERT_EQ(w.Append({Good(HourStart + 1000, 0, 10)}), 1);
        ASSERT_EQ(w.Append({Good(HourStart + 2000, 0, 20)}), 1);
        EXPECT_EQ(Value(db, "SELECT count(*) FROM minute"), "0");
    }
    EXPECT_EQ(Rows(db, "SELECT count, mean FROM minute UNION ALL SELECT count, mean FROM hour"),
              (std::vector<std::string>{"2|15.0", "2|15.0"}));
    {
        Writer w(db);
        ASSERT_EQ(w.Append({Good(HourStart + 3000, 0, 30)}), 1);
        ASSERT_EQ(w.Append({Good(HourStart + Hour, 0, 99)}), 1);  // closes the minute and the hour
    }
    EXPECT_EQ(Rows(db, "SELECT t, count, mean FROM minute ORDER BY t"),
              (std::vector<std::string>{std::to_string(HourStart) + "|3|20.0",
                                        std::to_string(HourStart + Hour) + "|1|99.0"}));
    EXPECT_EQ(Rows(db, "SELECT t, count, mean FROM hour ORDER BY t"),
              (std::vector<std::string>{std::to_string(HourStart) + "|3|20.0",
                                        std::to_string(HourStart + Hour) + "|1|99.0"}));
}

// An hour left open when the writer closes is rolled up even when none of its
// minutes is: the clock set back into the hour of the raw tier's cutoff, twice,
// the second time below it (that reading merges into its minute row at once).
TEST(HistoryWriter, ClosingRollsUpAnHourLeftOpenWithoutAMinute)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    FakeClock clock;
    {
        Writer w(db, HistoryRetention{1, 0, 0}, &clock);
        for (int n = 0; n < 288; ++n) {
            ASSERT_EQ(w.Append({Good(clock.wall, 0, n % 40)}), 1) << w.error;
            clock.Pass(10 * Minute);
        }
        // The raw tier now begins ten minutes before the day's end.
        for (int64_t back : {5 * Minute, 8 * Minute}) {
            clock.wall = HourStart + Day - back;
            ASSERT_EQ(w.Append({Good(clock.wall, 0, 50)}), 1) << w.error;
            clock.monotonic += 10 * Minute;
        }
    }
    // Each hour row is the sum of its minutes.
    EXPECT_EQ(Rows(db, "SELECT t, count, max FROM hour ORDER BY t"),
              Rows(db, "SELECT t - t % 3600000 AS h, sum(count), max(max) FROM minute GROUP BY h ORDER BY h"));
    EXPECT_EQ(Value(db, "SELECT count || ' ' || max FROM hour WHERE t = " + std::to_string(HourStart + Day - Hour)),
              "8 50.0");
}

TEST(HistoryWriter, AReadingForAMinuteAlreadyWrittenRewritesIt)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    ASSERT_EQ(w.Append({Good(HourStart + 10000, 0, 10)}), 1);
    ASSERT_EQ(w.Append({Good(HourStart + Minute, 0, 50)}), 1);  // closes the first minute
    EXPECT_EQ(Rows(db, "SELECT t, count, max FROM minute"),
              (std::vector<std::string>{std::to_string(HourStart) + "|1|10.0"}));
    // The clock set back into that minute: the minute it left closes, and
    // the revisited one is rewritten from all its readings once left again.
    ASSERT_EQ(w.Append({Good(HourStart + 20000, 0, 30)}), 1);
    EXPECT_EQ(Rows(db, "SELECT t, count, mean, max FROM minute ORDER BY t"),
              (std::vector<std::string>{std::to_string(HourStart) + "|1|10.0|10.0",
                                        std::to_string(HourStart + Minute) + "|1|50.0|50.0"}));
    ASSERT_EQ(w.Append({Good(HourStart + 30000, 0, 20)}), 1);
    ASSERT_EQ(w.Append({Good(HourStart + 2 * Minute + 1000, 0, 40)}), 1);
    EXPECT_EQ(Rows(db, "SELECT t, count, mean, max FROM minute ORDER BY t"),
              (std::vector<std::string>{std::to_string(HourStart) + "|3|20.0|30.0",
                                        std::to_string(HourStart + Minute) + "|1|50.0|50.0"}));
}

// Each rollup row carries the place and label of its bucket's latest good
// reading (of its latest reading when none was good), also when the place
// table changes at a bucket boundary.
TEST(HistoryWriter, RollupsCarryThePlaceOfTheirLatestGoodReading)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    struct Step {
        int64_t t;  // offset from HourStart
        int place;
        const char* label;
        int outcome;
    };
    const Step steps[] = {
        {10000, 3, "Cellar", HISTORY_GOOD},
        {50000, 3, "Cellar", HISTORY_GOOD},
        {Minute, 4, "Attic", HISTORY_GOOD},       // the table changed at the minute's start
        {Minute + 30000, 5, "Shed", HISTORY_CRC}, // a failed reading doesn't move the place
        {2 * Minute + 1000, 5, "Shed", HISTORY_NO_PRESENCE},
        {3 * Minute + 1000, 7, "Porch", HISTORY_GOOD},   // and in the middle of a minute: the later one
        {3 * Minute + 40000, 8, "Garage", HISTORY_GOOD},
        {Hour - 1000, 5, "Shed", HISTORY_NO_PRESENCE},
        {Hour, 6, "Loft", HISTORY_GOOD},           // and at the hour's start
        {2 * Hour, 6, "Loft", HISTORY_GOOD},
    };
    {
        Writer w(db);
        for (const Step& step : steps) {
            HistoryReading r = step.outcome == HISTORY_GOOD ? Good(HourStart + step.t, 0, 20)
                                                            : Failed(HourStart + step.t, 0, step.outcome);
            r.place = step.place;
            r.label = step.label;
            ASSERT_EQ(w.Append({r}), 1) << w.error;
        }
    }
    auto at = [](const char* tier, int64_t t) {
        return std::string("SELECT p.place || ' ' || p.label FROM ") + tier + " x JOIN place p ON p.id = x.place WHERE x.t = "
               + std::to_string(HourStart + t);
    };
    EXPECT_EQ(Value(db, at("minute", 0)), "3 Cellar");
    EXPECT_EQ(Value(db, at("minute", Minute)), "4 Attic");
    EXPECT_EQ(Value(db, at("minute", 2 * Minute)), "5 Shed");  // failed readings only: the latest one's
    EXPECT_EQ(Value(db, at("minute", 3 * Minute)), "8 Garage");
    EXPECT_EQ(Value(db, at("hour", 0)), "8 Garage");
    EXPECT_EQ(Value(db, at("minute", Hour)), "6 Loft");
    EXPECT_EQ(Value(db, at("hour", Hour)), "6 Loft");
}

TEST(HistoryWriter, LabelsAndPlacesAreKeptAsTheyWereAtEachReading)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    HistoryReading a = Good(HourStart, 0, 1), b = Good(HourStart + 5000, 0, 2), c = Good(HourStart + 9000, 0, 3);
    b.label = "Cellar";
    c.place = -1;
    ASSERT_EQ(w.Append({a}), 1);
    ASSERT_EQ(w.Append({b}), 1);
    ASSERT_EQ(w.Append({c}), 1);
    EXPECT_EQ(Rows(db, "SELECT p.place, p.label FROM reading r JOIN place p ON p.id = r.place ORDER BY r.t"),
              (std::vector<std::string>{"0|Place 0", "0|Cellar", "-1|Place 0"}));
}

TEST(HistoryWriter, RetentionPrunesEachTierInSmallBatches)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    HistoryRetention retention;
    retention.rawDays = 1;
    retention.minuteDays = 2;
    retention.hourDays = 0;
    FakeClock clock;
    const int64_t start = HourStart - 3 * Day;
    clock.wall = start;
    Writer w(db, retention, &clock);
    // 300 old readings a minute apart, three days back: 300 minute rows, 5 hours.
    std::vector<HistoryReading> old;
    for (int i = 0; i < 300; ++i)
        old.push_back(Good(start + i * Minute, 0, i));
    ASSERT_EQ(w.Append(old), 1);
    ASSERT_EQ(Value(db, "SELECT count(*) FROM reading"), "300");
    ASSERT_EQ(Value(db, "SELECT count(*) FROM minute"), "299");
    // Three days really pass; each later commit removes at most one batch of each tier.
    clock.Pass(HourStart - clock.wall);
    ASSERT_EQ(w.Append({Good(HourStart, 0, 1)}), 1);
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), "101");
    EXPECT_EQ(Value(db, "SELECT count(*) FROM minute"), "100");
    ASSERT_EQ(w.Append({Good(HourStart + 1000, 0, 1)}), 1);
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), "2");
    EXPECT_EQ(Value(db, "SELECT count(*) FROM minute"), "0");
    EXPECT_EQ(Value(db, "SELECT count(*) FROM hour"), "5");    // hours are kept for ever
    EXPECT_EQ(Value(db, "SELECT min(t) FROM reading"), std::to_string(HourStart));
}

// Clock jumps, each followed by normal cycles: nothing inside retention is
// lost in any tier, and every tier equals what its readings make, its place
// too (rollups of readings older than the tier below are merged, not rolled).
TEST(HistoryWriter, ClockJumpsLoseNoReadingInAnyTier)
{
    struct Case {
        const char* name;
        int64_t jump;        // added to the wall clock
        int wrongCycles;     // cycles at the wrong time before it is set right (-1: never)
        int jumps = 1;       // the jump and its wrong cycles, again and again
        HistoryRetention retention = {};
        // A wrong cycle that finds the file locked: its readings and the
        // next cycle's go in one commit (-1: none).
        int lockedCycle = -1;
    };
    const Case cases[] = {
        {"30 days ahead, one cycle", 30 * Day, 1},
        {"400 days ahead, a day of cycles, a restart", 400 * Day, 144},
        {"a day back", -Day + 20000, -1},
        {"a day back to the millisecond: every stamp taken before", -Day, -1},
        // Each boot an hour back onto the same stamps, then set right: a
        // reading lands on as many stamps of its sensor as boots came before.
        {"an hour back onto the same stamps at eleven boots", -Hour, 6, 11, {0, 0, 0}},
        {"10 years back to a board booted at 1970", 60000 - HourStart, 100},
        // The window's first reading in the middle of its minute and hour:
        // the rollup rows stamped at their starts are the window's too.
        {"10 years back, mid-minute, hours kept a year", 90000 - HourStart, 100, 1, {7, 90, 365}},
        {"10 years back, the end of an hour committed with the cycle before", 60000 - HourStart, 100, 1, {}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string db = dir / "h.db";
        FakeClock clock;
        int64_t stored = 0;
        std::unique_ptr<Locker> locker;
        auto cycle = [&](Writer* w, int n) {
            // Sensor 3 moves to another place each cycle and fails every
            // other one with a value: neither its place nor the value counts.
            HistoryReading moving = Good(clock.wall + 11, 3, 30 + n % 7);
            if (n % 2) {
                moving.outcome = HISTORY_CONVERSION_INCOMPLETE;
                moving.extended = 99;
            }
            moving.place = 10 + n % 5;
            std::vector<HistoryReading> readings = {Good(clock.wall, 0, n % 40), Good(clock.wall + 7, 1, 20),
                                                    Failed(clock.wall + 9, 2, HISTORY_CRC), moving};
            ASSERT_EQ(w->Append(readings), locker ? 0 : 1) << w->error;
            stored += 4;
            clock.Pass(10 * Minute);
        };
        {
            auto w = std::make_unique<Writer>(db, c.retention, &clock);
            // Two days of cycles ten minutes apart, then the jump.
            for (int n = 0; n < 288; ++n)
                cycle(w.get(), n);
            for (int j = 0; j < c.jumps; ++j) {
                clock.wall += c.jump;
                for (int n = 0; c.wrongCycles < 0 ? n < 144 : n < c.wrongCycles; ++n) {
                    if (j == 0 && n == c.lockedCycle)
                        locker = std::make_unique<Locker>(db, "BEGIN EXCLUSIVE");
                    if (n == c.lockedCycle + 1)
                        locker.reset();
                    cycle(w.get(), n);
                    if (n == 0) {
                        int64_t from = 0, to = 0;
                        ASSERT_EQ(HistoryTakeClockJump(w->writer, &from, &to), 1);
                        EXPECT_EQ(to - from, c.jump);
                        EXPECT_EQ(HistoryTakeClockJump(w->writer, &from, &to), 0);  // once
                    }
                    if (c.wrongCycles > 100 && n == c.wrongCycles / 2)  // a restart on the wrong clock
                        w = std::make_unique<Writer>(db, c.retention, &clock);
                }
            }
            if (c.wrongCycles >= 0) {
                clock.wall -= c.jump * c.jumps;
                for (int n = 0; n < 144; ++n)
                    cycle(w.get(), n);
            }
            // Pruning goes on by real time (late by the pause of a restart at most).
            int64_t real = HourStart + clock.monotonic - 10 * Minute;
            EXPECT_LE(HistoryHorizon(w->writer), real);
            EXPECT_GE(HistoryHorizon(w->writer), real - 10 * Minute);
        }
        EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string(stored));
        // Each minute and hour row equals its readings, and each reading has its rows.
        for (const char* tier : {"minute", "hour"}) {
            std::string b = tier == std::string("minute") ? "60000" : "3600000";
            EXPECT_EQ(Rows(db, std::string("SELECT sensor, t, min, max, count, failed FROM ") + tier
                                   + " ORDER BY sensor, t"),
                      Rows(db, "SELECT sensor, t - t % " + b + " AS b, min(v), max(v), count(v), count(*) - count(v) "
                               "FROM (SELECT sensor, t, CASE WHEN outcome = 0 THEN extended END AS v FROM reading) "
                               "GROUP BY sensor, b ORDER BY sensor, b"))
                << tier;
            // The place of the bucket's latest good reading, else of its latest one.
            EXPECT_EQ(Rows(db, std::string("SELECT sensor, t, place FROM ") + tier + " ORDER BY sensor, t"),
                      Rows(db, "SELECT sensor, b, (SELECT r.place FROM reading r WHERE r.sensor = g.sensor AND r.t >= b "
                               "AND r.t < b + " + b + " ORDER BY r.outcome = 0 DESC, r.t DESC LIMIT 1) "
                               "FROM (SELECT DISTINCT sensor, t - t % " + b + " AS b FROM reading) g ORDER BY sensor, b"))
                << tier;
        }
    }
}

// A reading stamped ahead moves nothing: pruning counts by the time that
// really passed, also across a restart, and catches up once it has.
TEST(HistoryWriter, PruningFollowsRealTimeNotTheStamps)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    HistoryRetention retention;
    retention.rawDays = 1;
    FakeClock clock;
    {
        Writer w(db, retention, &clock);
        ASSERT_EQ(w.Append(Cycle(clock.wall, 2)), 1);
        clock.Pass(Hour);
        ASSERT_EQ(w.Append(Cycle(clock.wall + 30 * Day, 2)), 1);  // one cycle stamped ahead
        clock.Pass(Hour);
        ASSERT_EQ(w.Append(Cycle(clock.wall, 2)), 1);
        EXPECT_EQ(HistoryHorizon(w.writer), clock.wall);
    }
    {
        clock.Pass(Hour);
        Writer w(db, retention, &clock);
        ASSERT_EQ(w.Append(Cycle(clock.wall, 2)), 1);
        EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), "8");
        // A day passes while the writer runs (the hour it was closed is not
        // counted: pruning runs late, never early): the first cycle, and
        // only it, expires.
        clock.Pass(Day);
        ASSERT_EQ(w.Append(Cycle(clock.wall, 2)), 1);
        EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), "8");
        EXPECT_EQ(Value(db, "SELECT min(t) FROM reading"), std::to_string(HourStart + 2 * Hour));
        EXPECT_EQ(HistoryHorizon(w.writer), clock.wall - Hour);
    }
}

// Checkpoints happen while the writer runs: the WAL stays small, and the
// database file alone, copied between cycles, is a history database.
TEST(HistoryWriter, CheckpointsKeepTheWalSmallAndTheFileReadableAlone)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(w.Append(Cycle(HourStart + i * 2500, 39, i % 7)), 1) << w.error;
        if (i % 1000 == 999) {
            struct stat wal {};
            ASSERT_EQ(stat((db + "-wal").c_str(), &wal), 0);
            EXPECT_LE(wal.st_size, 8 << 20) << "after " << i + 1 << " commits";
            // Between cycles: the checkpoint a commit started has ended.
            HistoryWaitForCheckpoint(w.writer);
            std::string copy = dir / ("copy" + std::to_string(i) + ".db");
            ASSERT_EQ(std::system(("cp '" + db + "' '" + copy + "'").c_str()), 0);
            std::string error;
            HistoryReader* reader = HistoryOpenReader(copy, &error);
            EXPECT_NE(reader, nullptr) << error;
            HistoryCloseReader(reader);
            EXPECT_GT(CountRows(copy, "reading"), 0);
        }
    }
    std::string error;
    EXPECT_EQ(HistoryCheckpointHealth(w.writer, &error), 1) << error;
}

// A file of version 1: readers take it as it is; the writer migrates it at
// open (rows kept, failed counts 0) and renumbers its places, which were
// record positions, by the PLACE numbers of its first cycle.
TEST(HistoryWriter, AVersion1FileIsReadAsItIsAndMigratedByTheWriter)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    MakeVersion1History(db, HourStart);
    {
        std::string error;
        HistoryReader* reader = HistoryOpenReader(db, &error);
        ASSERT_NE(reader, nullptr) << error;
        std::vector<HistoryPoint> points;
        HistoryQuery query;
        query.tier = HISTORY_MINUTE;
        ASSERT_EQ(HistorySelect(reader, query, &points, &error), 1) << error;
        ASSERT_EQ(points.size(), 1u);
        EXPECT_EQ(points[0].place, 2);
        EXPECT_EQ(points[0].failed, 0);
        HistoryCloseReader(reader);
        EXPECT_EQ(Value(db, "PRAGMA user_version"), "1");  // the reader changed nothing
    }
    {
        Writer w(db);
        ASSERT_NE(w.writer, nullptr);
        EXPECT_EQ(Value(db, "PRAGMA user_version"), "2");
        EXPECT_EQ(Rows(db, "SELECT t, min, count, failed FROM minute UNION ALL SELECT t, min, count, failed FROM hour"),
                  (std::vector<std::string>{std::to_string(HourStart) + "|20.5|1|0",
                                            std::to_string(HourStart) + "|20.5|1|0"}));
        // Record 2 is PLACE 7 in the first cycle; the sensor without a record keeps -1.
        HistoryReading a = Good(HourStart + 2 * Minute, 0, 22), b = Failed(HourStart + 2 * Minute + 5, 0, HISTORY_CRC);
        a.serial = "10000000000001A1";
        a.label = "Cellar";
        a.position = 2;
        a.place = 7;
        b.serial = "10000000000002A2";
        b.label = "";
        b.position = b.place = -1;
        ASSERT_EQ(w.Append({a, b}), 1) << w.error;
        ASSERT_EQ(w.Append({Good(HourStart + 3 * Minute, 5, 1)}), 1) << w.error;
    }
    EXPECT_EQ(Rows(db, "SELECT r.t, p.place, p.label FROM reading r JOIN place p ON p.id = r.place "
                       "WHERE r.sensor <= 2 ORDER BY r.t"),
              (std::vector<std::string>{std::to_string(HourStart) + "|7|Cellar",
                                        std::to_string(HourStart + Minute) + "|7|Cellar",
                                        std::to_string(HourStart + Minute + 5) + "|-1|",
                                        std::to_string(HourStart + 2 * Minute) + "|7|Cellar",
                                        std::to_string(HourStart + 2 * Minute + 5) + "|-1|"}));
    EXPECT_EQ(Value(db, "SELECT count(*) FROM place"), "3");
    EXPECT_EQ(Value(db, "SELECT p.place FROM minute m JOIN place p ON p.id = m.place WHERE m.t = "
                            + std::to_string(HourStart)),
              "7");
    // The minute the last run left open rolled up with the new readings.
    EXPECT_EQ(Value(db, "SELECT count || '/' || failed FROM minute WHERE sensor = 1 AND t = "
                            + std::to_string(HourStart + Minute)),
              "1/0");
    EXPECT_EQ(Value(db, "PRAGMA integrity_check"), "ok");
}

TEST(HistoryWriter, ALockedDatabaseKeepsTheCyclesInTheBacklogUntilACommitSucceeds)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    ASSERT_EQ(w.Append(Cycle(HourStart, 39)), 1);
    {
        Locker locker(db, "BEGIN EXCLUSIVE");
        EXPECT_EQ(w.Append(Cycle(HourStart + 3000, 39)), 0);
        EXPECT_NE(w.error.find("locked"), std::string::npos) << w.error;
        EXPECT_EQ(HistoryBacklog(w.writer), 39u);
        EXPECT_EQ(w.Append(Cycle(HourStart + 6000, 39)), 0);
        EXPECT_EQ(HistoryBacklog(w.writer), 78u);
    }
    ASSERT_EQ(w.Append(Cycle(HourStart + 9000, 39)), 1) << w.error;
    EXPECT_EQ(HistoryBacklog(w.writer), 0u);
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string(4 * 39));
}

TEST(HistoryWriter, ALongReaderNeitherBlocksNorLosesAReading)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    ASSERT_EQ(w.Append(Cycle(HourStart, 39)), 1);
    const int cycles = 1500;  // well past an automatic checkpoint
    {
        Locker reader(db, "BEGIN");
        for (int i = 1; i <= cycles; ++i)
            ASSERT_EQ(w.Append(Cycle(HourStart + i * 2500, 39)), 1) << i << ": " << w.error;
        // The reader still sees its snapshot.
        sqlite3_stmt* count = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(reader.db, "SELECT count(*) FROM reading", -1, &count, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(count, 0), 39);
        sqlite3_finalize(count);
    }
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string((cycles + 1) * 39));
    EXPECT_EQ(Value(db, "PRAGMA integrity_check"), "ok");
}

TEST(HistoryWriter, TheBacklogIsBoundedAndDropsTheOldestReadings)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    Writer w(db);
    ASSERT_EQ(w.Append(Cycle(HourStart, 1)), 1);
    const size_t extra = 500;
    std::vector<HistoryReading> many;
    for (size_t i = 0; i < HISTORY_BACKLOG_LIMIT + extra; ++i)
        many.push_back(Good(HourStart + 1000 + static_cast<int64_t>(i) * 100, 0, 1));
    {
        Locker locker(db, "BEGIN EXCLUSIVE");
        EXPECT_EQ(w.Append(many), 0);
    }
    EXPECT_EQ(HistoryBacklog(w.writer), HISTORY_BACKLOG_LIMIT);
    EXPECT_EQ(HistoryDropped(w.writer), extra);
    ASSERT_EQ(w.Append({}), 1) << w.error;
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string(HISTORY_BACKLOG_LIMIT + 1));
    EXPECT_EQ(Value(db, "SELECT min(t) FROM reading WHERE t > " + std::to_string(HourStart)),
              std::to_string(HourStart + 1000 + static_cast<int64_t>(extra) * 100));
}

TEST(HistoryWriter, ForeignAndNewerFilesAreRefusedAndLeftAlone)
{
    ScratchDir dir;
    struct Case {
        const char* name;
        const char* sql;    // run on a fresh SQLite file; null: a text file
        const char* error;  // expected in the message
    };
    const Case cases[] = {
        {"other.db", "CREATE TABLE notes (x)", "is not a temp history database"},
        {"text.db", nullptr, "is not a temp history database"},
        {"alien.db", "PRAGMA application_id = 7", "is not a temp history database"},
        {"newer.db", "PRAGMA application_id = 1414352968; PRAGMA user_version = 99; CREATE TABLE later (x)",
         "is a newer history database (version 99)"},
    };
    for (const Case& c : cases) {
        std::string path = dir / c.name;
        if (c.sql) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.name;
            sqlite3_close(db);
        } else {
            std::ofstream(path) << "just some text, long enough to be no database at all............................\n";
        }
        std::ifstream before(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
        std::string error;
        HistoryWriter* writer = HistoryOpenWriter(path, {}, &error);
        EXPECT_EQ(writer, nullptr) << c.name;
        HistoryCloseWriter(writer);
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        std::ifstream after(path, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), bytes)
            << c.name;
        EXPECT_NE(access((path + "-wal").c_str(), F_OK), 0) << c.name;
    }
}

// A VFS over the system's whose writes fail on demand, as they do on a file
// system remounted read-only (EROFS), past a file-size limit (EFBIG) or on a
// full disk (ENOSPC): SQLite's own VFS answers SQLITE_IOERR_WRITE for the
// first two and SQLITE_FULL for the last.
struct FailingVfs {
    struct File {
        sqlite3_file base;
        sqlite3_file* real;
        bool wal;
    };
    // Read by the writer's checkpointer thread too.
    static inline std::atomic<int> code{SQLITE_OK};     // what failing writes answer
    static inline std::atomic<bool> walFails{false};    // writes to the WAL
    static inline std::atomic<bool> mainFails{false};   // writes to the database file (checkpoints)
    static inline sqlite3_vfs* system = nullptr;
    static inline sqlite3_vfs vfs{};
    static inline sqlite3_io_methods methods{};

    static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
    static bool Fails(sqlite3_file* f)
    {
        return code != SQLITE_OK && (reinterpret_cast<File*>(f)->wal ? walFails : mainFails);
    }
    static int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags)
    {
        auto* file = reinterpret_cast<File*>(f);
        file->real = reinterpret_cast<sqlite3_file*>(file + 1);
        file->wal = flags & SQLITE_OPEN_WAL;
        int rc = system->xOpen(system, name, file->real, flags, outFlags);
        file->base.pMethods = file->real->pMethods ? &methods : nullptr;
        return rc;
    }
    FailingVfs()
    {
        system = sqlite3_vfs_find(nullptr);
        vfs = *system;
        vfs.zName = "failing";
        vfs.szOsFile = static_cast<int>(sizeof(File)) + system->szOsFile;
        vfs.xOpen = Open;
        methods.iVersion = 3;
        methods.xClose = [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); };
        methods.xRead = [](sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
            return Real(f)->pMethods->xRead(Real(f), b, n, o);
        };
        methods.xWrite = [](sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
            return Fails(f) ? code.load() : Real(f)->pMethods->xWrite(Real(f), b, n, o);
        };
        methods.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
            return Fails(f) ? code.load() : Real(f)->pMethods->xTruncate(Real(f), size);
        };
        methods.xSync = [](sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); };
        methods.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
            return Real(f)->pMethods->xFileSize(Real(f), size);
        };
        methods.xLock = [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); };
        methods.xUnlock = [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); };
        methods.xCheckReservedLock = [](sqlite3_file* f, int* out) {
            return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
        };
        methods.xFileControl = [](sqlite3_file* f, int op, void* arg) {
            return Real(f)->pMethods->xFileControl(Real(f), op, arg);
        };
        methods.xSectorSize = [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); };
        methods.xDeviceCharacteristics = [](sqlite3_file* f) {
            return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
        };
        methods.xShmMap = [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
            return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
        };
        methods.xShmLock = [](sqlite3_file* f, int offset, int n, int flags) {
            return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
        };
        methods.xShmBarrier = [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); };
        methods.xShmUnmap = [](sqlite3_file* f, int remove) { return Real(f)->pMethods->xShmUnmap(Real(f), remove); };
        methods.xFetch = [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) {
            return Real(f)->pMethods->xFetch(Real(f), o, n, p);
        };
        methods.xUnfetch = [](sqlite3_file* f, sqlite3_int64 o, void* p) {
            return Real(f)->pMethods->xUnfetch(Real(f), o, p);
        };
        sqlite3_vfs_register(&vfs, 1);
    }
    ~FailingVfs()
    {
        code = SQLITE_OK;
        sqlite3_vfs_register(system, 1);
        sqlite3_vfs_unregister(&vfs);
    }
};

// Writes that fail during a run pause the history, whatever the cause; it
// resumes with every waiting reading once they work again. A checkpoint
// that can't write the database is reported until one runs.
TEST(HistoryWriter, WritesThatFailPauseTheHistoryUntilTheyWorkAgain)
{
    struct Case {
        const char* name;
        int code;
        bool wal, main;
        const char* reason;  // in the commit's or the checkpoint's error
    };
    const Case cases[] = {
        {"read-only remount", SQLITE_IOERR_WRITE, true, true, "disk I/O error"},
        {"file-size limit on the WAL", SQLITE_IOERR_WRITE, true, false, "disk I/O error"},
        {"full disk", SQLITE_FULL, true, true, "database or disk is full"},
        {"checkpoints can't write the database", SQLITE_IOERR_WRITE, false, true, "can't checkpoint: disk I/O error"},
    };
    FailingVfs failing;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string db = dir / "h.db";
        Writer w(db);
        ASSERT_EQ(w.Append(Cycle(HourStart, 39)), 1) << w.error;
        int64_t t = HourStart;
        FailingVfs::code = c.code;
        FailingVfs::walFails = c.wal;
        FailingVfs::mainFails = c.main;
        std::string error;
        // Commits fail at once, or (when only the database file fails) the
        // first checkpoint does.
        for (int i = 0; i < 2000 && error.empty(); ++i) {
            t += 2500;
            if (!w.Append(Cycle(t, 39)))
                error = w.error;
            else
                HistoryCheckpointHealth(w.writer, &error);
        }
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        if (c.wal) {
            EXPECT_GT(HistoryBacklog(w.writer), 0u);
        }
        FailingVfs::code = SQLITE_OK;
        for (int i = 0; i < 2000 && (i == 0 || !HistoryCheckpointHealth(w.writer, &error)); ++i) {
            t += 2500;
            ASSERT_EQ(w.Append(Cycle(t, 39)), 1) << w.error;
        }
        EXPECT_EQ(HistoryCheckpointHealth(w.writer, &error), 1) << error;
        EXPECT_EQ(HistoryBacklog(w.writer), 0u);
        EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string((t - HourStart) / 2500 * 39 + 39));
        EXPECT_EQ(Value(db, "PRAGMA integrity_check"), "ok");
    }
}

TEST(HistoryWriter, WalAndShmStayAfterCloseForReadOnlyReaders)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    {
        Writer w(db);
        ASSERT_EQ(w.Append(Cycle(HourStart, 3)), 1);
    }
    EXPECT_EQ(access((db + "-wal").c_str(), F_OK), 0);
    EXPECT_EQ(access((db + "-shm").c_str(), F_OK), 0);
    sqlite3* reader = nullptr;
    std::string uri = "file:" + db + "?mode=ro";
    ASSERT_EQ(sqlite3_open_v2(uri.c_str(), &reader, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(reader, "SELECT count(*) FROM reading", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(reader);
}

TEST(HistoryWriter, AFullDiskPausesTheHistoryAndTheBacklogCatchesUpWhenSpaceFrees)
{
    ScratchDir dir;
    std::string why = dir.MountTmpfs("small", 1024);
    if (!why.empty())
        GTEST_SKIP() << why;
    std::string db = dir / "small/h.db";
    Writer w(db);
    HistorySetDiskReserve(w.writer, 0);  // SQLite itself meets the full disk
    ASSERT_EQ(w.Append(Cycle(HourStart, 39)), 1) << w.error;
    FillDisk(dir / "small/filler");
    int64_t t = HourStart;
    int failed = 0;
    for (int i = 0; i < 200 && failed < 3; ++i) {
        t += 2500;
        if (!w.Append(Cycle(t, 39))) {
            EXPECT_NE(w.error.find("full"), std::string::npos) << w.error;
            ++failed;
        }
    }
    ASSERT_EQ(failed, 3) << "the disk never filled";
    EXPECT_GE(HistoryBacklog(w.writer), 3u * 39);
    ASSERT_EQ(unlink((dir / "small/filler").c_str()), 0);
    ASSERT_EQ(w.Append(Cycle(t + 2500, 39)), 1) << w.error;
    EXPECT_EQ(HistoryBacklog(w.writer), 0u);
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string((t + 2500 - HourStart) / 2500 * 39 + 39));
    EXPECT_EQ(Value(db, "PRAGMA integrity_check"), "ok");

    // With the reserve (the default), the history stops short of the last MiB.
    HistorySetDiskReserve(w.writer, HISTORY_DISK_RESERVE);
    EXPECT_EQ(w.Append(Cycle(t + 5000, 39)), 0);
    EXPECT_NE(w.error.find("disk full"), std::string::npos) << w.error;
}

// A child appends cycles and reports each commit through a pipe; it is
// killed at a random moment. The database must pass its integrity check,
// hold every reported cycle whole, and at most the cycle in flight besides.
TEST(HistoryWriter, SigkillAtRandomPointsLosesAtMostTheCycleInFlight)
{
    ScratchDir dir;
    std::string db = dir / "h.db";
    std::mt19937 random(20261209);
    int64_t nextCycle = 0;
    for (int round = 0; round < 12; ++round) {
        int pipes[2];
        ASSERT_EQ(pipe(pipes), 0);
        pid_t child = fork();
        if (child == 0) {
            close(pipes[0]);
            std::string error;
            HistoryWriter* writer = HistoryOpenWriter(db, {}, &error);
            if (!writer)
                _exit(3);
            for (int64_t n = nextCycle;; ++n) {
                if (!HistoryAppend(writer, Cycle(HourStart + n * 2500, 39, static_cast<double>(n % 50)), &error))
                    _exit(4);
                if (write(pipes[1], &n, sizeof n) != sizeof n)
                    _exit(5);
            }
        }
        close(pipes[1]);
        std::uniform_int_distribution<int> wait(1, 400);
        int64_t reported = -1, n = 0;
        int target = wait(random);
        while (reported - nextCycle + 1 < target && read(pipes[0], &n, sizeof n) == sizeof n)
            reported = n;
        usleep(static_cast<useconds_t>(wait(random)) * 10);
        kill(child, SIGKILL);
        while (read(pipes[0], &n, sizeof n) == sizeof n)
            reported = n;
        close(pipes[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed with " << WEXITSTATUS(status);

        ASSERT_EQ(Value(db, "PRAGMA integrity_check"), "ok") << round;
        // Every cycle is whole: 39 readings or none.
        EXPECT_EQ(Value(db, "SELECT count(*) FROM (SELECT t / 2500 AS c FROM reading GROUP BY c HAVING count(*) != 39)"),
                  "0");
        int64_t stored = std::stoll(Value(db, "SELECT count(*) FROM reading")) / 39;
        EXPECT_GE(stored, reported + 1) << round;
        EXPECT_LE(stored, reported + 2) << round;
        nextCycle = stored;
    }
    EXPECT_EQ(Value(db, "SELECT max(t) FROM reading"), std::to_string(HourStart + (nextCycle - 1) * 2500 + 38));
}

// A writer that its folder refuses names the folder's answer, not only
// SQLite's "unable to open database file". As nobody, in a forked child
// (root writes through any mode); the child sends the error back.
TEST(HistoryWriter, AFolderThatRefusesTheWriterIsNamedWithItsAnswer)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "SKIPPED: changing to user nobody needs root (CI runs the tests as root)";
    constexpr uid_t Nobody = 65534;
    struct Case {
        const char* name;
        mode_t folderMode;
        bool folderMissing;
        const char* expected;  // with DIR for the folder and DB for the file
    } cases[] = {
        {"a new file in a folder nobody may write", 0555, false, "(DB: folder DIR: Permission denied)"},
        {"a folder that isn't there", 0755, true, "(DB: folder DIR: No such file or directory)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        std::string dir = scratch / "data", db = dir + "/h.db";
        ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
        if (!c.folderMissing) {
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
            ASSERT_EQ(chmod(dir.c_str(), c.folderMode), 0);
        }
        int pipes[2];
        ASSERT_EQ(pipe(pipes), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(pipes[0]);
            if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)
                _exit(3);
            std::string error;
            HistoryWriter* writer = HistoryOpenWriter(db, HistoryRetention{}, &error);
            (void)!write(pipes[1], error.data(), error.size());
            _exit(writer ? 1 : 0);
        }
        close(pipes[1]);
        std::string error;
        char chunk[512];
        for (ssize_t got; (got = read(pipes[0], chunk, sizeof chunk)) > 0;)
            error.append(chunk, static_cast<size_t>(got));
        close(pipes[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer opened: " << error;
        EXPECT_EQ(error.find("Can't open " + db), 0u) << error;
        std::string expected = c.expected;
        for (const auto& [key, value] : {std::make_pair(std::string("DIR"), dir), std::make_pair(std::string("DB"), db)}) {
            if (expected.find(key) != std::string::npos)
                expected.replace(expected.find(key), key.size(), value);
        }
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

}  // namespace

namespace {

int64_t FileSize(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

}  // namespace

// A close that can't commit (another program holds the write lock) keeps the
// backlog in the spill file; the next open takes it back and its first
// commit merges it. A spill that a kill left behind after its merge is never
// merged twice.
TEST(HistoryWriter, WhatACloseCantCommitIsSpilledAndTakenBackByTheNextOpen)
{
    ScratchDir dir;
    const std::string db = dir / "h.db";
    const std::string spill = HistorySpillFile(db);
    EXPECT_EQ(spill, db + "-spill");
    int64_t t = HourStart;
    auto next = [&t] { return Cycle(t += 2500, 39); };
    const struct Step {
        const char* name;
        bool locked;          // another connection holds the write lock across the step
        int cycles;           // appended after the open
        size_t taken;         // readings the open took back
        size_t spilled, lost; // by the close
        bool spillAfter;      // the spill file after the close
    } steps[] = {
        {"first run, locked at the close", true, 3, 0, 3 * 39, 0, true},
        {"locked again: the spill grows", true, 1, 3 * 39, 4 * 39, 0, true},
        {"free: merged and removed", false, 1, 4 * 39, 0, 0, false},
    };
    {
        Writer w(db);
        ASSERT_EQ(w.Append(next()), 1) << w.error;
    }
    std::string copy = dir / "spill-copy";
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        std::unique_ptr<Locker> locker;
        if (step.locked)
            locker = std::make_unique<Locker>(db, "BEGIN IMMEDIATE");
        if (Exists(spill)) {
            ASSERT_EQ(std::system(("cp '" + spill + "' '" + copy + "'").c_str()), 0);
        }
        std::string error;
        HistoryWriter* writer = HistoryOpenWriter(db, HistoryRetention(), &error);
        ASSERT_NE(writer, nullptr) << error;
        std::string problem;
        EXPECT_EQ(HistorySpillTaken(writer, &problem), step.taken);
        EXPECT_EQ(problem, "");
        for (int i = 0; i < step.cycles; ++i)
            EXPECT_EQ(HistoryAppend(writer, next(), &error), step.locked ? 0 : 1) << error;
        HistoryCloseReport report;
        EXPECT_EQ(HistoryCloseWriterWithin(writer, 3000, &report), 1);
        EXPECT_EQ(report.spilled, step.spilled);
        EXPECT_EQ(report.lost, step.lost);
        if (step.locked) {
            EXPECT_NE(report.reason.find("locked"), std::string::npos) << report.reason;
        }
        EXPECT_EQ(Exists(spill), step.spillAfter);
    }
    // Every cycle once, each in its own 2.5 s.
    const std::string all = std::to_string((t - HourStart) / 2500 * 39);
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), all);
    EXPECT_EQ(Value(db, "SELECT count(DISTINCT (t - " + std::to_string(HourStart) + ") / 2500) FROM reading"),
              std::to_string((t - HourStart) / 2500));

    // Killed after the merge's commit, before the removal: the copy is back.
    ASSERT_EQ(rename(copy.c_str(), spill.c_str()), 0);
    {
        Writer w(db);
        std::string problem;
        EXPECT_EQ(HistorySpillTaken(w.writer, &problem), 0u);
        EXPECT_FALSE(Exists(spill));
        EXPECT_EQ(w.Append(next()), 1) << w.error;
    }
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string(std::stoll(all) + 39));
    EXPECT_EQ(Value(db, "PRAGMA integrity_check"), "ok");

    // A file of another kind at the spill's name is left alone and said.
    std::ofstream(spill) << "not a database";
    {
        Writer w(db);
        std::string problem;
        EXPECT_EQ(HistorySpillTaken(w.writer, &problem), 0u);
        EXPECT_NE(problem.find("spill"), std::string::npos) << problem;
    }
    std::string kept;
    std::getline(std::ifstream(spill), kept);
    EXPECT_EQ(kept, "not a database");
}

// A close on a full disk empties and truncates the WAL, so that the space the
// history keeps for the data files is free again when the logger stops; what
// waited is committed when that leaves the reserve, else spilled.
TEST(HistoryWriter, ACloseOnAFullDiskGivesTheReserveBack)
{
    ScratchDir dir;
    std::string why = dir.MountTmpfs("small", 8 * 1024);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string db = dir / "small/h.db";
    int64_t t = HourStart;
    int64_t appended = 0;
    HistoryCloseReport report;
    {
        Writer w(db);
        // A WAL of a few MiB, as a backlog's commits leave it.
        std::vector<HistoryReading> many;
        for (int i = 0; i < 100000; ++i)
            many.push_back(Good(t += 25, i % 40, 20));
        ASSERT_EQ(w.Append(many), 1) << w.error;
        appended += static_cast<int64_t>(many.size());
        // Its frames copied into the database, as the checkpointer does; the
        // file keeps its size until something truncates it.
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
        sqlite3_busy_timeout(other, 60000);
        int frames = -1, copied = -1;
        EXPECT_EQ(sqlite3_exec(other, "SELECT count(*) FROM reading", nullptr, nullptr, nullptr), SQLITE_OK);
        EXPECT_EQ(sqlite3_wal_checkpoint_v2(other, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied), SQLITE_OK);
        EXPECT_EQ(frames, copied);
        sqlite3_close(other);
        ASSERT_GT(FileSize(db + "-wal"), 3 << 19);
        FillDisk(dir / "small/filler");
        int failed = 0;
        for (int i = 0; i < 40 && failed < 10; ++i) {
            appended += 39;
            if (!w.Append(Cycle(t += 2500, 39)))
                ++failed;
        }
        ASSERT_EQ(failed, 10) << "the disk never filled";
        EXPECT_NE(w.error.find("disk full"), std::string::npos) << w.error;
        HistoryCloseWriterWithin(w.writer, 3000, &report);
        w.writer = nullptr;
    }
    struct statvfs info;
    ASSERT_EQ(statvfs((dir / "small").c_str(), &info), 0);
    const int64_t free = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    std::printf("free after the close: %lld KiB (reserve %lld KiB); committed %zu, spilled %zu, lost %zu\n",
                static_cast<long long>(free / 1024), static_cast<long long>(HISTORY_DISK_RESERVE / 1024),
                report.committed, report.spilled, report.lost);
    EXPECT_GE(free, HISTORY_DISK_RESERVE);
    EXPECT_EQ(FileSize(db + "-wal"), 0);
    EXPECT_EQ(report.lost, 0u) << report.problem;
    EXPECT_GT(report.committed + report.spilled, 0u);
    ASSERT_EQ(unlink((dir / "small/filler").c_str()), 0);
    {
        Writer w(db);
        EXPECT_EQ(w.Append({}), 1) << w.error;
    }
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string(appended));
    EXPECT_FALSE(Exists(HistorySpillFile(db)));
}

// A close with no time left for the commit (a long backlog on a slow card
// would take longer than the stop may) spills instead of committing.
TEST(HistoryWriter, ACloseWithoutTimeForTheCommitSpillsTheBacklog)
{
    ScratchDir dir;
    const std::string db = dir / "h.db";
    std::vector<HistoryReading> many;
    for (int i = 0; i < 20000; ++i)
        many.push_back(Good(HourStart + i * 25, i % 40, 20));
    {
        Writer w(db);
        ASSERT_EQ(w.Append(Cycle(HourStart - 2500, 39)), 1) << w.error;
        HistoryHold(w.writer, many);
        HistoryCloseReport report;
        EXPECT_EQ(HistoryCloseWriterWithin(w.writer, 0, &report), 1);
        w.writer = nullptr;
        EXPECT_EQ(report.committed, 0u);
        EXPECT_EQ(report.spilled, many.size());
        EXPECT_NE(report.reason.find("interrupt"), std::string::npos) << report.reason;
    }
    {
        Writer w(db);
        std::string problem;
        EXPECT_EQ(HistorySpillTaken(w.writer, &problem), many.size());
    }
    EXPECT_EQ(Value(db, "SELECT count(*) FROM reading"), std::to_string(39 + many.size()));
    EXPECT_EQ(Value(db, "SELECT count(*) FROM minute WHERE count > 0"), Value(db, "SELECT count(DISTINCT "
                                                                                   "sensor || '/' || (t / 60000)) FROM reading"));
}
