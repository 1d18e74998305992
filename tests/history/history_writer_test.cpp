// The history writer on synthetic cycles: rollups at bucket boundaries,
// pruning, the backlog under locks and on a full disk, foreign files, kills.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
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
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
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
        {HourStart - 60000, {"1|" + std::to_string(m0) + "|10.0|10.5|11.0|2",
                             "2|" + std::to_string(m0) + "|20.0|20.5|21.0|2"}, 0},
        {HourStart - 40000, {}, 0},
        {HourStart - 20000, {}, 0},
        {HourStart, {"1|" + std::to_string(m0 + Minute) + "|12.0|13.0|14.0|3",
                     "2|" + std::to_string(m0 + Minute) + "|22.0|23.0|24.0|3"}, 2},
        {HourStart + 20000, {}, 0},
        {HourStart + Minute, {"1|" + std::to_string(HourStart) + "|16.0|16.0|16.0|1",
                              "2|" + std::to_string(HourStart) + "|25.0|25.5|26.0|2"}, 0},
    };
    size_t expectedMinutes = 0;
    double value = 10;
    for (const Step& step : steps) {
        std::vector<HistoryReading> cycle = {Good(step.t, 0, value), Good(step.t + 5, 1, value + 10)};
        if (step.t == HourStart)
            cycle[0] = Failed(step.t, 0, HISTORY_CRC);
        value += 1;
        ASSERT_EQ(w.Append(cycle), 1) << w.error;
        expectedMinutes += step.minutes.size();
        std::vector<std::string> minutes = Rows(db, "SELECT sensor, t, min, mean, max, count FROM minute ORDER BY t, sensor");
        ASSERT_EQ(minutes.size(), expectedMinutes) << step.t;
        for (size_t i = 0; i < step.minutes.size(); ++i)
            EXPECT_EQ(minutes[expectedMinutes - step.minutes.size() + i], step.minutes[i]) << step.t;
        if (step.hours) {
            EXPECT_EQ(Rows(db, "SELECT sensor, t, min, mean, max, count FROM hour ORDER BY sensor"),
                      (std::vector<std::string>{"1|" + std::to_string(HourStart - Hour) + "|10.0|12.0|14.0|5",
                                                "2|" + std::to_string(HourStart - Hour) + "|20.0|22.0|24.0|5"}));
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

}  // namespace
