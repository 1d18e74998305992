// temp-history as a user runs it: exit codes, the CSV it writes and the
// spans back from now, on a database built row by row.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

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
        {"export --db nothing.db", 1, "temp-history: No history database at nothing.db\n"},
        {"info --db out.txt", 1, "is not a temp history database"},
        {"check", 0, ""},
        {"info", 0, ""},
        {"export", 0, ""},
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

}  // namespace
