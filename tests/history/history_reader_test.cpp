// The history's read side on databases built row by row: opening (and the
// sentences for missing or foreign files), selections, the sensor list, the
// tier figures, the integrity check, and reading as another user.
#include <gtest/gtest.h>

#include <cmath>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "history/history.h"
#include "history/history_text.h"
#include "tests/common/history_testdb.h"
#include "tests/common/scratch_dir.h"

namespace {

constexpr int64_t kT0 = 1796000000000;  // 2026-11-30T...
const std::string kA = "10000000200000A1";
const std::string kB = "10000000300000B2";

class HistoryReaderTest : public ::testing::Test {
protected:
    void SetUp() override { path = dir + "/temp-history.db"; }

    // Two sensors: A at place 1 with a CRC failure at kT0 + 20 s, B at place
    // 2; minute and hour rows for A.
    void Build(bool persistWal = true)
    {
        HistoryTestDb* db = HistoryTestDbCreate(path);
        ASSERT_NE(db, nullptr);
        for (int i = 0; i < 4; ++i) {
            int64_t t = kT0 + i * 10000;
            bool failed = i == 2;
            ASSERT_TRUE(HistoryTestDbAddRaw(db, kA, 1, "Cellar", t, failed ? HISTORY_CRC : HISTORY_GOOD,
                                            failed ? HISTORY_TESTDB_NULL : 20.0,
                                            failed ? HISTORY_TESTDB_NULL : 20.0625 + i));
            ASSERT_TRUE(HistoryTestDbAddRaw(db, kB, 2, "Boiler, return", t + 5, HISTORY_GOOD, 55.0, 55.5));
        }
        ASSERT_TRUE(HistoryTestDbAddRollup(db, HISTORY_MINUTE, kA, 1, "Cellar", kT0 - 60000, 19.5, 19.75, 20.0, 6));
        ASSERT_TRUE(HistoryTestDbAddRollup(db, HISTORY_MINUTE, kA, 1, "Cellar", kT0, 20.0625, 21.5, 23.0625, 3));
        ASSERT_TRUE(HistoryTestDbAddRollup(db, HISTORY_HOUR, kA, 1, "Cellar", kT0 - 3600000, 18, 19, 20, 540));
        ASSERT_TRUE(HistoryTestDbClose(db, persistWal));
    }

    HistoryReader* Open()
    {
        std::string error;
        HistoryReader* reader = HistoryOpenReader(path, &error);
        EXPECT_NE(reader, nullptr) << error;
        return reader;
    }

    ScratchDir scratch_{"history_reader"};
    std::string dir = scratch_.path(), path;
};

struct OpenFailure {
    const char* name;
    const char* setup;  // shell command run in the folder before opening
    const char* expected;
};

TEST_F(HistoryReaderTest, MissingOrForeignFilesGiveOneSentence)
{
    const OpenFailure cases[] = {
        {"missing", "true", "No history database at "},
        {"text file", "printf 'time,serial\\n' > temp-history.db", "is not a temp history database"},
        {"folder", "mkdir temp-history.db", "is not a file"},
    };
    for (const OpenFailure& c : cases) {
        SCOPED_TRACE(c.name);
        std::system(("cd '" + dir + "' && rm -rf temp-history.db && " + c.setup).c_str());
        std::string error;
        EXPECT_EQ(HistoryOpenReader(path, &error), nullptr);
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST_F(HistoryReaderTest, ForeignOrNewerSchemaIsRefused)
{
    struct Case {
        bool history;  // start from a real history
        const char* sql;
        const char* expected;
    } cases[] = {
        {false, "CREATE TABLE t (x); PRAGMA user_version = 1;", "is not a temp history database"},
        {false, "PRAGMA user_version = 1;", "is not a temp history database"},
        {true, "PRAGMA user_version = 3;", "is a newer history database (version 3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        std::remove(path.c_str());
        if (c.history)
            Build();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        std::string error;
        EXPECT_EQ(HistoryOpenReader(path, &error), nullptr);
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        // A newer file of ours can still be checked; a foreign one can't.
        error.clear();
        EXPECT_EQ(HistoryCheckFile(path, &error), c.history ? 1 : 0) << error;
    }
}

struct SelectCase {
    const char* name;
    HistoryTier tier;
    int64_t from, to;
    std::string serial;
    int place;
    std::vector<int64_t> times;  // offsets from kT0 in time order
};

TEST_F(HistoryReaderTest, SelectsByTierRangeSerialAndPlace)
{
    Build();
    HistoryReader* reader = Open();
    ASSERT_NE(reader, nullptr);
    const SelectCase cases[] = {
        {"all raw", HISTORY_RAW, 0, INT64_MAX, "", -1, {0, 5, 10000, 10005, 20000, 20005, 30000, 30005}},
        {"range is half open", HISTORY_RAW, kT0 + 10000, kT0 + 20005, "", -1, {10000, 10005, 20000}},
        {"by serial", HISTORY_RAW, 0, INT64_MAX, kA, -1, {0, 10000, 20000, 30000}},
        {"by place", HISTORY_RAW, 0, INT64_MAX, "", 2, {5, 10005, 20005, 30005}},
        {"unknown serial", HISTORY_RAW, 0, INT64_MAX, "1000000000000000", -1, {}},
        {"minutes", HISTORY_MINUTE, 0, INT64_MAX, "", 1, {-60000, 0}},
        {"hours", HISTORY_HOUR, 0, INT64_MAX, kA, -1, {-3600000}},
    };
    for (const SelectCase& c : cases) {
        SCOPED_TRACE(c.name);
        HistoryQuery query;
        query.tier = c.tier;
        query.fromMs = c.from;
        query.toMs = c.to;
        query.serial = c.serial;
        query.place = c.place;
        std::vector<HistoryPoint> points;
        std::string error;
        ASSERT_TRUE(HistorySelect(reader, query, &points, &error)) << error;
        std::vector<int64_t> times;
        for (const HistoryPoint& p : points)
            times.push_back(p.timeMs - kT0);
        EXPECT_EQ(times, c.times);
    }
    HistoryCloseReader(reader);
}

TEST_F(HistoryReaderTest, PointsCarryValuesAndMarkFailuresAsGaps)
{
    Build();
    HistoryReader* reader = Open();
    ASSERT_NE(reader, nullptr);
    HistoryQuery query;
    query.serial = kA;
    std::vector<HistoryPoint> raw;
    std::string error;
    ASSERT_TRUE(HistorySelect(reader, query, &raw, &error)) << error;
    ASSERT_EQ(raw.size(), 4u);
    EXPECT_EQ(raw[1].count, 1);
    EXPECT_EQ(raw[1].mean, 21.0625);
    EXPECT_EQ(raw[1].min, 21.0625);
    EXPECT_EQ(raw[1].label, "Cellar");
    EXPECT_EQ(raw[1].place, 1);
    EXPECT_EQ(raw[2].outcome, HISTORY_CRC);
    EXPECT_EQ(raw[2].count, 0);

    query.tier = HISTORY_MINUTE;
    std::vector<HistoryPoint> minutes;
    ASSERT_TRUE(HistorySelect(reader, query, &minutes, &error)) << error;
    ASSERT_EQ(minutes.size(), 2u);
    EXPECT_EQ(minutes[1].min, 20.0625);
    EXPECT_EQ(minutes[1].mean, 21.5);
    EXPECT_EQ(minutes[1].max, 23.0625);
    EXPECT_EQ(minutes[1].count, 3);
    HistoryCloseReader(reader);
}

TEST_F(HistoryReaderTest, EqualTimesComeInSerialOrder)
{
    HistoryTestDb* db = HistoryTestDbCreate(path);
    ASSERT_NE(db, nullptr);
    // B first, so it has the smaller sensor id.
    for (int64_t t : {kT0, kT0 + 1000}) {
        HistoryTestDbAddRaw(db, kB, 2, "Attic", t, HISTORY_GOOD, 20, 20.5);
        HistoryTestDbAddRaw(db, kA, 1, "Cellar", t, HISTORY_GOOD, 20, 20.5);
    }
    ASSERT_TRUE(HistoryTestDbClose(db, true));
    HistoryReader* reader = Open();
    ASSERT_NE(reader, nullptr);
    std::vector<HistoryPoint> points;
    std::string error;
    ASSERT_TRUE(HistorySelect(reader, HistoryQuery{}, &points, &error)) << error;
    std::vector<std::string> serials;
    for (const HistoryPoint& p : points)
        serials.push_back(p.serial);
    EXPECT_EQ(serials, (std::vector<std::string>{kA, kB, kA, kB}));
    HistoryCloseReader(reader);
}

TEST_F(HistoryReaderTest, SensorsShowTheirLatestAndLatestGoodReading)
{
    {
        HistoryTestDb* db = HistoryTestDbCreate(path);
        ASSERT_NE(db, nullptr);
        // A: good, then a failure last. B: only rollups left (its raw rows pruned).
        HistoryTestDbAddRaw(db, kA, 3, "Attic", kT0, HISTORY_GOOD, 21, 21.25);
        HistoryTestDbAddRaw(db, kA, 3, "Attic", kT0 + 1000, HISTORY_NO_PRESENCE, HISTORY_TESTDB_NULL,
                            HISTORY_TESTDB_NULL);
        HistoryTestDbAddRollup(db, HISTORY_HOUR, kB, 1, "Cellar", kT0 - 7200000, 10, 11, 12, 500);
        HistoryTestDbAddRollup(db, HISTORY_MINUTE, kB, 1, "Cellar", kT0 - 3600000, 10, 10.5, 11, 9);
        ASSERT_TRUE(HistoryTestDbClose(db, true));
    }
    HistoryReader* reader = Open();
    ASSERT_NE(reader, nullptr);
    std::vector<HistorySensor> sensors;
    std::string error;
    ASSERT_TRUE(HistoryListSensors(reader, &sensors, &error)) << error;
    ASSERT_EQ(sensors.size(), 2u);
    EXPECT_EQ(sensors[0].serial, kB);  // place 1 first
    EXPECT_EQ(sensors[0].lastTimeMs, kT0 - 3600000);
    EXPECT_EQ(sensors[0].lastExtended, 10.5);
    EXPECT_EQ(sensors[1].serial, kA);
    EXPECT_EQ(sensors[1].label, "Attic");
    EXPECT_EQ(sensors[1].lastTimeMs, kT0 + 1000);
    EXPECT_EQ(sensors[1].lastOutcome, HISTORY_NO_PRESENCE);
    EXPECT_EQ(sensors[1].lastGoodMs, kT0);
    EXPECT_EQ(sensors[1].lastExtended, 21.25);
    HistoryCloseReader(reader);
}

TEST_F(HistoryReaderTest, InfoCountsEachTier)
{
    Build();
    HistoryReader* reader = Open();
    ASSERT_NE(reader, nullptr);
    HistoryTierInfo info[HISTORY_TIER_COUNT];
    std::string error;
    ASSERT_TRUE(HistoryInfo(reader, info, &error)) << error;
    EXPECT_EQ(info[HISTORY_RAW].rows, 8);
    EXPECT_EQ(info[HISTORY_RAW].firstMs, kT0);
    EXPECT_EQ(info[HISTORY_RAW].lastMs, kT0 + 30005);
    EXPECT_EQ(info[HISTORY_MINUTE].rows, 2);
    EXPECT_EQ(info[HISTORY_HOUR].rows, 1);
    for (const HistoryTierInfo& tier : info)
        EXPECT_GT(tier.bytes, 0);
    HistoryCloseReader(reader);
}

TEST_F(HistoryReaderTest, CheckFindsDamage)
{
    Build(false);
    HistoryReader* reader = Open();
    ASSERT_NE(reader, nullptr);
    std::string error;
    EXPECT_TRUE(HistoryCheck(reader, &error)) << error;
    HistoryCloseReader(reader);

    // Junk over the b-tree page headers of every page after the schema's.
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct stat info {};
    fstat(fd, &info);
    ASSERT_GT(info.st_size, 4096);
    const std::string junk(12, '\x5a');
    for (off_t page = 4096; page < info.st_size; page += 4096)
        ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), page), static_cast<ssize_t>(junk.size()));
    close(fd);
    reader = HistoryOpenReader(path, &error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_FALSE(HistoryCheck(reader, &error));
    EXPECT_NE(error.find("is damaged: "), std::string::npos) << error;
    HistoryCloseReader(reader);
}

// Reading as `nobody` in a folder it may not write, in a forked child: the
// exit code says what it saw (0 read rows, 1 open failed with the -wal
// sentence, 2 anything else). Needs root to change user.
int ReadAsNobody(const std::string& path, size_t expectedPoints)
{
    pid_t pid = fork();
    if (pid == 0) {
        struct passwd* nobody = getpwnam("nobody");
        if (!nobody || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(3);
        std::string error;
        HistoryReader* reader = HistoryOpenReader(path, &error);
        if (!reader)
            _exit(error.find("-wal and -shm files are missing") != std::string::npos ? 1 : 2);
        std::vector<HistoryPoint> points;
        HistoryQuery query;
        int ok = HistorySelect(reader, query, &points, &error) && points.size() == expectedPoints;
        HistoryCloseReader(reader);
        _exit(ok ? 0 : 2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(HistoryReaderTest, AnotherUserReadsWhileTheWalFilesExist)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "SKIPPED: changing to user nobody needs root (CI runs the tests as root)";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    struct Case {
        const char* name;
        bool persistWal;
        int expected;
    } cases[] = {{"writer closed with persistent WAL", true, 0}, {"writer removed -wal and -shm", false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Build(c.persistWal);
        struct stat info {};
        EXPECT_EQ(stat((path + "-wal").c_str(), &info) == 0, c.persistWal);
        EXPECT_EQ(stat((path + "-shm").c_str(), &info) == 0, c.persistWal);
        for (const char* suffix : {"", "-wal", "-shm"})
            chmod((path + suffix).c_str(), 0644);
        EXPECT_EQ(ReadAsNobody(path, 8), c.expected);
    }

    // The logger's own writer, closed.
    std::remove(path.c_str());
    std::string error;
    HistoryWriter* writer = HistoryOpenWriter(path, HistoryRetention{}, &error);
    ASSERT_NE(writer, nullptr) << error;
    std::vector<HistoryReading> cycle = {{kT0, kA, 1, "Cellar", HISTORY_GOOD, true, 21, 21.0625},
                                         {kT0 + 800, kB, 2, "Attic", HISTORY_CRC, false, 0, 0}};
    ASSERT_TRUE(HistoryAppend(writer, cycle, &error)) << error;
    HistoryCloseWriter(writer);
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_EQ(chmod((path + suffix).c_str(), 0644), 0) << suffix;
    EXPECT_EQ(ReadAsNobody(path, 2), 0);
}

TEST(HistoryText, WhenArguments)
{
    const int64_t now = 1796000000000;
    struct Case {
        const char* text;
        int ok;
        int64_t expected;
    } cases[] = {
        {"24h", 1, now - 86400000},
        {"7d", 1, now - 7 * 86400000LL},
        {"30m", 1, now - 1800000},
        {"2w", 1, now - 14 * 86400000LL},
        {"1970-01-01", 1, 0},
        {"2026-12-08", 1, 1796688000000},
        {"2026-12-08T10:30", 1, 1796688000000 + 37800000},
        {"2026-12-08 10:30:15Z", 1, 1796688000000 + 37815000},
        {"2000-02-29T00:00:00", 1, 951782400000},
        {"", 0, 0},
        {"24", 0, 0},
        {"h", 0, 0},
        {"-3h", 0, 0},
        {"24y", 0, 0},
        {"2026-13-01", 0, 0},
        {"2026-12-08T25:00", 0, 0},
        {"2026-12-08T10", 0, 0},
        {"2026-12-08x", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t t = -1;
        EXPECT_EQ(HistoryParseWhen(c.text, now, &t), c.ok);
        if (c.ok) {
            EXPECT_EQ(t, c.expected);
        }
    }
}

TEST(HistoryText, CsvRows)
{
    HistoryPoint good{1796688000250, "10000000200000A1", 1, "Boiler, \"return\"", HISTORY_GOOD, 21, 21, 21.0625,
                      21, 1, 0};
    HistoryPoint crc{-1, "10000000200000A1", -1, "Cellar", HISTORY_CRC, 0, 0, 0, 0, 0, 0};
    HistoryPoint incomplete{0, "10000000200000A1", 2, "Cellar", HISTORY_CONVERSION_INCOMPLETE, 85, 0, 0, 0, 0, 0};
    HistoryPoint bucket{1796688000000, "10000000200000A1", 3, "Attic", HISTORY_GOOD, 0, -0.5, 1.0 / 3, 2.25, 7, 2};
    HistoryPoint faulty{1796688000000 + 3600000, "10000000200000A1", 3, "Attic", HISTORY_GOOD, 0, NAN, NAN, NAN, 0,
                        4};
    std::string csv;
    HistoryCsvHeader(HISTORY_RAW, &csv);
    HistoryCsvRow(HISTORY_RAW, good, &csv);
    HistoryCsvRow(HISTORY_RAW, crc, &csv);
    HistoryCsvRow(HISTORY_RAW, incomplete, &csv);
    HistoryCsvHeader(HISTORY_HOUR, &csv);
    HistoryCsvRow(HISTORY_HOUR, bucket, &csv);
    HistoryCsvRow(HISTORY_HOUR, faulty, &csv);
    EXPECT_EQ(csv,
              "time,serial,place,label,outcome,whole,extended\n"
              "2026-12-08T00:00:00.250Z,10000000200000A1,1,\"Boiler, \"\"return\"\"\",good,21.0000,21.0625\n"
              "1969-12-31T23:59:59.999Z,10000000200000A1,,Cellar,crc,,\n"
              "1970-01-01T00:00:00.000Z,10000000200000A1,2,Cellar,conversion-incomplete,85.0000,\n"
              "time,serial,place,label,min,mean,max,count,failed\n"
              "2026-12-08T00:00:00.000Z,10000000200000A1,3,Attic,-0.5000,0.3333,2.2500,7,2\n"
              "2026-12-08T01:00:00.000Z,10000000200000A1,3,Attic,,,,0,4\n");
}

}  // namespace
