// temp-history as a user runs it: exit codes, the CSV it writes and the
// spans back from now, on a database built row by row.
#include <gtest/gtest.h>

#include <pty.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "history/history.h"
#include "tests/common/history_testdb.h"
#include "tests/common/scratch_dir.h"

namespace {

struct CliRun {
    int exitCode;
    std::string out, err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TempHistoryCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        using namespace std::chrono;
        now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        HistoryTestDb* db = HistoryTestDbCreate(dir + "/temp-history.db");
        ASSERT_NE(db, nullptr);
        // Readings 2 h and 30 min ago at place 1, a failure 10 min ago at place 2,
        // one hour bucket 3 days ago.
        HistoryTestDbAddRaw(db, "10000000200000A1", 1, "Cellar", now - 7200000, 0, 12, 12.0625);
        HistoryTestDbAddRaw(db, "10000000200000A1", 1, "Cellar", now - 1800000, 0, 12, 12.125);
        HistoryTestDbAddRaw(db, "10000000300000B2", 2, "Boiler", now - 600000, 2, HISTORY_TESTDB_NULL,
                            HISTORY_TESTDB_NULL);
        HistoryTestDbAddRollup(db, HISTORY_HOUR, "10000000200000A1", 1, "Cellar", now - 3 * 86400000LL, 11, 11.5,
                               12, 550);
        ASSERT_TRUE(HistoryTestDbClose(db, true));
    }

    CliRun Start(const std::string& arguments)
    {
        std::string command = "cd '" + dir + "' && " TEMP_HISTORY_BINARY " " + arguments + " >out.txt 2>err.txt";
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir + "/out.txt"),
                ReadFile(dir + "/err.txt")};
    }

    int64_t now = 0;
    ScratchDir scratch_{"temp_history_cli"};
    std::string dir = scratch_.path();
};

size_t Lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(TempHistoryCli, ExitCodesAndMessages)
{
    struct Case {
        const char* arguments;
        int exitCode;
        const char* err;  // expected in standard error
    } cases[] = {
        {"", 2, "usage: temp-history export"},
        {"frobnicate", 2, "unknown command \"frobnicate\""},
        {"export --tier day", 2, "unknown tier \"day\""},
        {"export --since yesterday", 2, "bad time \"yesterday\""},
        {"export --since 1h --until 2h", 2, "--since must come before --until"},
        {"export --place 1 --serial 10000000200000A1", 2, "not both"},
        {"export --serial 12345", 2, "16 hex digits"},
        {"export --place", 2, "needs a value"},
        {"info --tier raw", 2, "takes only --db"},
        {"export --db nothing.db", 1, "temp-history: No history database at nothing.db (looked in /tmp/"},
        {"info --db none/h.db", 1, "/none; the logger keeps temp-history.db in its working directory"},
        {"export --since 2026-02-31", 2, "bad time \"2026-02-31\" for --since (no such date"},
        {"export --since 90s --until 2026-12-08T10:30+25:00", 2, "bad time"},
        {"backup", 2, "backup needs the name of the copy"},
        {"backup a.db b.db", 2, "backup takes one COPY, not also \"b.db\""},
        {"compact --yes", 2, "compact takes only --db"},
        {"forget", 2, "forget needs the sensor's serial"},
        {"forget 10000000200000Z1 --yes", 2, "16 hex digits"},
        {"forget 10000000200000A1 </dev/null", 2, "without a terminal to ask on, confirm with --yes. Nothing was "
                                                 "removed."},
        {"forget 10000000200000C3 --yes", 1, "No rows of 10000000200000C3 in temp-history.db"},
        {"backup out.txt", 1, "out.txt exists; give the copy a new name"},
        {"info --db out.txt", 1, "is not a temp history database"},
        {"check", 0, ""},
        {"info", 0, ""},
        {"export", 0, ""},
        {"export --since 90s", 0, ""},
        {"--help", 0, ""},
        {"--version", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliRun run = Start(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        if (c.exitCode == 1) {
            EXPECT_EQ(Lines(run.err), 1u) << run.err;
        }
        if (c.exitCode != 0) {
            EXPECT_EQ(run.out, "");
        }
    }
    // Help and version go to standard output.
    EXPECT_NE(Start("--help").out.find("forget   removes every row of a replaced sensor"), std::string::npos);
    EXPECT_EQ(Start("--version").out.rfind("temp-history ", 0), 0u);
    // A refused removal changed nothing.
    EXPECT_EQ(Lines(Start("export --serial 10000000200000A1").out), 3u);
}

TEST_F(TempHistoryCli, ExportSelectsRowsAsCsv)
{
    struct Case {
        const char* arguments;
        size_t rows;
        const char* contains;
    } cases[] = {
        {"", 3, "time,serial,place,label,outcome,whole,extended\n"},
        {"--since 20m", 1, ",10000000300000B2,2,Boiler,crc,,\n"},
        {"--since 3h --until 1h", 1, ",10000000200000A1,1,Cellar,good,12.0000,12.0625\n"},
        {"--serial 10000000200000a1", 2, "Z,10000000200000A1,1,Cellar,good,12.0000,12.1250\n"},
        {"--place 2", 1, "crc"},
        {"--tier hour --since 7d", 1, "time,serial,place,label,min,mean,max,count,failed\n"},
        {"--tier hour --since 2d", 0, "time,serial,place,label,min,mean,max,count,failed\n"},
        {"--tier minute", 0, "min,mean,max,count"},
        {"--since 2000-01-01 --until 2000-01-02T00:00", 0, "time,"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliRun run = Start(std::string("export ") + c.arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Lines(run.out), c.rows + 1) << run.out;
        EXPECT_NE(run.out.find(c.contains), std::string::npos) << run.out;
    }
}

TEST_F(TempHistoryCli, InfoAndCheckReport)
{
    CliRun info = Start("info");
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("raw              3 "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("hour             1 "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("10000000300000B2     2 "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(" crc "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(" 12.1250   Cellar\n"), std::string::npos) << info.out;

    // A damaged file: junk over the pages after the schema's (the database
    // was closed cleanly, so the -wal file holds nothing).
    std::string db = dir + "/temp-history.db";
    std::remove((db + "-wal").c_str());
    std::remove((db + "-shm").c_str());
    ASSERT_EQ(std::system(("python3 -c \"f = open('" + db +
                           "', 'r+b'); import os; n = os.path.getsize('" + db +
                           "'); [(f.seek(p), f.write(b'Z' * 12)) for p in range(4096, n, 4096)]\"")
                              .c_str()),
              0);
    CliRun check = Start("check");
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_NE(check.err.find("is damaged"), std::string::npos) << check.err;
}

// The upkeep commands on databases the real writer made, some while it writes.
class TempHistoryUpkeep : public TempHistoryCli {
protected:
    std::string Db() const { return dir + "/temp-history.db"; }

    // `cycles` cycles of `sensors` sensors, 3 s apart, from `startMs`.
    static void Write(HistoryWriter* writer, int sensors, int64_t startMs, int cycles)
    {
        for (int c = 0; c < cycles; ++c) {
            std::vector<HistoryReading> readings;
            for (int i = 0; i < sensors; ++i) {
                double t = 20 + (c + i) % 16 / 16.0;
                readings.push_back(HistoryReading{startMs + c * 3000LL + i, Serial(i), i, "Room" + std::to_string(i),
                                                  HISTORY_GOOD, true, 20, t});
            }
            std::string error;
            ASSERT_EQ(HistoryAppend(writer, readings, &error), 1) << error;
        }
    }
    static std::string Serial(int i)
    {
        char serial[17];
        std::snprintf(serial, sizeof serial, "28%012X%02X", 0xC0FFEE + i, i);
        return serial;
    }
    HistoryWriter* OpenWriter()
    {
        std::remove(Db().c_str());
        std::remove((Db() + "-wal").c_str());
        std::remove((Db() + "-shm").c_str());
        std::string error;
        HistoryWriter* writer = HistoryOpenWriter(Db(), HistoryRetention{0, 0, 0}, &error);
        EXPECT_NE(writer, nullptr) << error;
        return writer;
    }
    static int64_t Count(const std::string& path, const char* table)
    {
        sqlite3* db = nullptr;
        int64_t n = -1;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_busy_timeout(db, 60000) == SQLITE_OK &&
            sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &stmt, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return n;
    }
    static int64_t Size(const std::string& path)
    {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
    }

    // temp-history with a terminal on its standard input that answers `answer`.
    CliRun OnTerminal(const std::string& arguments, const std::string& answer)
    {
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(126);
            execl("/bin/sh", "sh", "-c", (std::string(TEMP_HISTORY_BINARY " ") + arguments + " 2>err.txt >out.txt").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        // Wait for the question before answering, then read until the child is gone.
        std::string err;
        // Up to a minute: a loaded machine may take seconds to start it.
        for (int i = 0; i < 6000 && err.find("[y/N]") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            err = ReadFile(dir + "/err.txt");
        }
        EXPECT_NE(err.find("[y/N]"), std::string::npos) << "no question within a minute: " << err;
        if (!answer.empty() && write(master, answer.data(), answer.size()) < 0)
            ADD_FAILURE() << "writing to the terminal";
        if (answer.empty()) {
            char eof = 4;  // ^D: end of input at the terminal
            EXPECT_EQ(write(master, &eof, 1), 1);
        }
        int status = 0;
        for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
            char buffer[256];
            fd_set in;
            FD_ZERO(&in);
            FD_SET(master, &in);
            timeval wait{0, 10000};
            if (select(master + 1, &in, nullptr, nullptr, &wait) > 0 && read(master, buffer, sizeof buffer) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        waitpid(pid, &status, 0);
        close(master);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir + "/out.txt"), ReadFile(dir + "/err.txt")};
    }
};

TEST_F(TempHistoryUpkeep, BackupIsAConsistentCopyWhileTheWriterCommits)
{
    const int sensors = 7;
    HistoryWriter* writer = OpenWriter();
    ASSERT_NE(writer, nullptr);
    Write(writer, sensors, 1796000000000, 200);
    std::atomic<bool> stop{false};
    std::atomic<int> written{200};
    std::thread logger([&] {
        for (int c = 200; !stop; ++c) {
            Write(writer, sensors, 1796000000000 + c * 3000LL, 1);
            written = c + 1;
        }
    });
    std::vector<int64_t> rows;
    for (const char* copy : {"copy1.db", "copy2.db", "copy3.db"}) {
        SCOPED_TRACE(copy);
        CliRun run = Start(std::string("backup ") + copy);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "temp-history.db copied to " + std::string(copy) + "\n");
        std::string path = dir + "/" + copy;
        // One file, readable without -wal and -shm, whole cycles only.
        EXPECT_EQ(Size(path + "-wal"), -1);
        EXPECT_EQ(Start(std::string("check --db ") + copy).exitCode, 0);
        rows.push_back(Count(path, "reading"));
        EXPECT_EQ(rows.back() % sensors, 0) << rows.back();
    }
    stop = true;
    logger.join();
    HistoryCloseWriter(writer);
    EXPECT_GE(rows.front(), 200 * sensors);
    EXPECT_LE(rows.back(), Count(Db(), "reading"));
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
    EXPECT_GT(written.load(), 200) << "the writer never ran during the backups";

    // An existing file is never overwritten, and no partial copy is left behind.
    std::string before = ReadFile(dir + "/copy1.db");
    EXPECT_EQ(Start("backup copy1.db").exitCode, 1);
    EXPECT_EQ(ReadFile(dir + "/copy1.db"), before);
    EXPECT_EQ(Start("backup --db nothing.db copy4.db").exitCode, 1);
    EXPECT_EQ(Size(dir + "/copy4.db"), -1);
    EXPECT_EQ(Size(dir + "/copy4.db.part"), -1);
}

TEST_F(TempHistoryUpkeep, ForgetAsksOnTheTerminalAndCompactGivesTheSpaceBack)
{
    const int sensors = 6;
    HistoryWriter* writer = OpenWriter();
    ASSERT_NE(writer, nullptr);
    Write(writer, sensors, 1796000000000, 1500);  // 75 minutes: minute and hour rows too
    const std::string gone = Serial(2);
    auto rowsOf = [&](const std::string& serial) {
        CliRun run = Start("export --serial " + serial + " --tier minute");
        return Lines(run.out) - 1 + Lines(Start("export --serial " + serial).out) - 1;
    };
    const size_t goneRows = rowsOf(gone);
    const std::string others = Start("export --serial " + Serial(3)).out;
    ASSERT_GT(goneRows, 1500u);

    struct Case {
        const char* answer;
        int exitCode;
        bool removed;
    } cases[] = {{"n\n", 1, false}, {"", 1, false}, {"maybe\n", 1, false}, {"y\n", 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        CliRun run = OnTerminal("forget " + gone, c.answer);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find("Remove 1500 raw readings, "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(" hour rows of " + gone + " from temp-history.db? This can't be undone. [y/N]"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(rowsOf(gone), c.removed ? 0 : goneRows);
    }
    // The rest is untouched, the sensor gone from info; the writer, still
    // open, goes on storing a sensor that was forgotten but is still read.
    EXPECT_EQ(Start("export --serial " + Serial(3)).out, others);
    EXPECT_EQ(Start("info").out.find(gone), std::string::npos);
    Write(writer, sensors, 1796000000000 + 1500 * 3000LL, 1);
    EXPECT_EQ(rowsOf(gone), 1u);

    // Three more sensors go with --yes; compact, with the writer still open.
    for (int i : {0, 1, 4}) {
        CliRun run = Start("forget --yes " + Serial(i));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("Removed 1501 raw readings, "), std::string::npos) << run.out;
    }
    int64_t before = Size(Db()) + Size(Db() + "-wal");
    CliRun compact = Start("compact");
    ASSERT_EQ(compact.exitCode, 0) << compact.err;
    EXPECT_NE(compact.out.find(" given back\n"), std::string::npos) << compact.out;
    EXPECT_LT(Size(Db()) + Size(Db() + "-wal"), before / 2) << compact.out;
    EXPECT_EQ(Start("check").exitCode, 0);
    EXPECT_EQ(Start("export --serial " + Serial(3) + " --until 2026-12-08").out.substr(0, 200), others.substr(0, 200));
    // The writer goes on after the compaction.
    Write(writer, sensors, 1796000000000 + 1501 * 3000LL, 3);
    HistoryCloseWriter(writer);
    EXPECT_EQ(Count(Db(), "reading"), 2 * 1504 + 1 + 4 * 3);  // the forgotten ones are still read
    EXPECT_EQ(Start("check").exitCode, 0);
    // A read-only folder: compact and forget say why they can't, and change nothing.
    EXPECT_EQ(Start("compact --db /proc/version").exitCode, 1);
}

}  // namespace
