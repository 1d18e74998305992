// Writes that fail: a file-size limit (set in a child process, so EFBIG cuts
// writes short) and a read-only file system (a tmpfs mounted in a child's own
// mount namespace). Whatever fails, no stored record is torn or lost and the
// event log gives the system's own reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "logger/logger.h"
#include "logger_test_dir.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "simulator/sim.h"

namespace {

const rlim_t NoLimit = RLIM_INFINITY;
const int CannotIsolate = 77;  // exit status of a child that could not set up its mount

struct ChildRun {
    int status = -1;
    std::string out;  // the child's console
};

// Runs `body` in a child under a file-size limit (SIGXFSZ ignored, so writes
// fail with EFBIG) and collects its console through a pipe, which no limit cuts.
ChildRun RunInChild(rlim_t sizeLimit, const std::function<int()>& body)
{
    std::fflush(stdout);
    int pipes[2];
    EXPECT_EQ(pipe(pipes), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipes[0]);
        dup2(pipes[1], STDOUT_FILENO);
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {sizeLimit, sizeLimit};
        if (sizeLimit != NoLimit && setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(2);
        int status = body();
        std::fflush(stdout);
        _exit(status);
    }
    close(pipes[1]);
    ChildRun run;
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipes[0], chunk, sizeof chunk)) > 0)
        run.out.append(chunk, static_cast<size_t>(got));
    close(pipes[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Line(int tableIndex, const char* stamp)
{
    char serial[17];
    std::snprintf(serial, sizeof serial, "10%014X", tableIndex);
    return std::string(stamp) + "," + serial + ",BE2A00FFFF00000C10CE,21.000,21.000 ";
}

TEST_F(InTempDir, RecordWriteCutShortLeavesThePoolAsItWas)
{
    struct Case {
        const char* name;
        int index;    // table index, so record offset 100 * index
        rlim_t limit;  // bytes the child may write up to
    } cases[] = {
        {"overwrite of record 0 cut after 24 bytes", 0, 24},
        {"record 41 growing the file cut after 50 bytes", 41, 4150},
        {"record 43 past the end cut after 50 bytes", 43, 4350},
        {"record 44 wholly beyond the limit", 44, 4100},
    };
    ParseDirectAccessTable(TableOf(45));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove("temp.pd");
        CreatePoolDatabase();
        std::string old = MakePoolRecord(Line(0, "1600000000.000"));
        std::string pool = ReadFile("temp.pd").replace(0, 100, old);
        WriteFile("temp.pd", pool);
        WriteFile("tempu.tmp", Line(c.index, "1796771451.918") + "\r\n");

        ChildRun run = RunInChild(c.limit, [] {
            UpdatePoolDatabase();
            return 0;
        });
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(ReadFile("temp.pd"), pool) << "the record is all old";
        EXPECT_NE(run.out.find("Can't write temp.pd: File too large\n"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("restore"), std::string::npos) << run.out;
    }
}

TEST_F(InTempDir, MissingPoolIsReportedEveryCycle)
{
    ParseDirectAccessTable(TableOf(2));
    struct Case {
        const char* name;
        std::string tmp;
        bool newDevice;
    } cases[] = {
        {"no good reading", "", false},
        {"only a new device", Line(7, "1700000000.000") + "\r\n", true},
        {"two known sensors", Line(1, "1700000000.000") + "\r\n" + Line(0, "1700000000.100") + "\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile("tempu.tmp", c.tmp);
        testing::internal::CaptureStdout();
        UpdatePoolDatabase();
        std::string out = testing::internal::GetCapturedStdout();
        std::string once = "Can't open temp.pd: No such file or directory\n";
        EXPECT_NE(out.find(once), std::string::npos) << out;
        EXPECT_EQ(out.find(once), out.rfind(once)) << out;
        EXPECT_EQ(out.find(" Error - new device") != std::string::npos, c.newDevice) << out;
        EXPECT_FALSE(std::ifstream("temp.pd").good()) << "the update never creates the Pool Database";
    }
}

// A cycle on the software adapter: one good cycle first, then one whose
// tempu.tmp is cut short by a file-size limit.
TEST_F(InTempDir, MeasurementFileCutShortKeepsTheLastGoodCsv)
{
    DriverRegisterBackend(&SimDriverOps);
    WriteFile("bus.txt", "timing off\nclock virtual\nsensor 10000000000011 21\nsensor 10000000000012 22.5\n");
    testing::internal::CaptureStdout();
    int port = PortOpenFirstFree((dir_ + "/bus.txt").insert(0, "sim:").c_str());
    SerialNumber sensors[SENSOR_SLOTS];
    int count = port >= 0 ? FindSensors(port, sensors, 0x10, SENSOR_SLOTS) : 0;
    ListSensors(sensors, count);
    CreatePoolDatabase();
    RunMeasurementCycle(port, sensors, count);
    testing::internal::GetCapturedStdout();
    ASSERT_GE(port, 0);
    ASSERT_EQ(count, 2);
    const std::string goodCsv = ReadFile("tempu.csv");
    const std::string goodPool = ReadFile("temp.pd");
    ASSERT_EQ(std::count(goodCsv.begin(), goodCsv.end(), '\n'), 2) << goodCsv;

    struct Case {
        rlim_t limit;
        int storedLines;  // whole lines of the cut tempu.tmp, stored in temp.pd
    } cases[] = {{0, 0}, {100, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        WriteFile("temp.pd", goodPool);
        ChildRun run = RunInChild(c.limit, [&] {
            RunMeasurementCycle(port, sensors, count);
            return 0;
        });
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find("Can't write tempu.tmp: File too large\n"), std::string::npos) << run.out;
        EXPECT_EQ(ReadFile("tempu.csv"), goodCsv);
        EXPECT_FALSE(std::ifstream("tempu.csv.new").good());

        std::string tmp = ReadFile("tempu.tmp");
        EXPECT_EQ(tmp.size(), c.limit);
        EXPECT_EQ(run.out.find("Incomplete last line of tempu.tmp not stored") != std::string::npos, c.limit > 0);
        // Each record is the old one or the record of a whole line of the cut file.
        std::string pool = ReadFile("temp.pd");
        ASSERT_EQ(pool.size(), goodPool.size());
        int changed = 0;
        for (size_t at = 0; at < pool.size(); at += 100) {
            std::string record = pool.substr(at, 100);
            if (record == goodPool.substr(at, 100))
                continue;
            ++changed;
            EXPECT_NE(tmp.find(record.substr(0, record.find(' ') + 1) + "\r\n"), std::string::npos) << record;
        }
        EXPECT_EQ(changed, c.storedLines);
    }
    PortClose(port);
    ClockInstall(nullptr);
}

// The marker's directory is a tmpfs mounted read-only in the child's own mount
// namespace, so unlink fails with EROFS whether or not the marker is there.
TEST_F(InTempDir, RemovingAMarkerOnAReadOnlyFileSystem)
{
    struct Case {
        bool present;
        const char* logged;  // nullptr: nothing logged
    } cases[] = {
        {false, nullptr},
        {true, "Can't remove USBPresent: Read-only file system\n"},
    };
    const std::string mountPoint = dir_ + "/ro";
    ASSERT_EQ(mkdir(mountPoint.c_str(), 0755), 0);
    ErrorFilePath = dir_ + "/USBerr.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.present ? "marker present" : "marker absent");
        ChildRun run = RunInChild(NoLimit, [&] {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
                return CannotIsolate;
            if (c.present)
                WriteFile(mountPoint + "/USBPresent", "");
            if (mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0 ||
                chdir(mountPoint.c_str()) != 0)
                return CannotIsolate;
            RemoveMarker("USBPresent");
            return MarkerExists("USBPresent") == (c.present ? 1 : 0) ? 0 : 1;
        });
        if (run.status == CannotIsolate)
            GTEST_SKIP() << "mounting a read-only tmpfs needs root (CAP_SYS_ADMIN); CI runs as root";
        EXPECT_EQ(run.status, 0);
        if (c.logged)
            EXPECT_NE(run.out.find(c.logged), std::string::npos) << run.out;
        else
            EXPECT_EQ(run.out, "");
    }
}

}  // namespace
