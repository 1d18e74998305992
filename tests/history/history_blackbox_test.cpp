// Runs of the built temp on software adapters with a virtual clock, the
// history on: what lands in temp-history.db, and what never changes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "history_test_util.h"
#include "pool_check.h"
#include "tests/logger/blackbox_util.h"

namespace {

const int DeadlineMs = 120000;  // generous: a hung logger fails instead of hanging CTest
constexpr int64_t HourStart = 1700002800;  // seconds; an hour boundary (UTC)

// Polls `done` every 20 ms up to the deadline.
template <typename Done>
bool WaitFor(Done done)
{
    for (int waited = 0; waited < DeadlineMs; waited += 20) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A working directory, a program directory ("app/") and a bus file.
class HistoryRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        work_ = dir_ / "work";
        app_ = dir_ / "app/";
        ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(app_.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        if (running_ > 0) {
            kill(running_, SIGKILL);
            waitpid(running_, nullptr, 0);
        }
    }

    std::string W(const std::string& name) const { return work_ + "/" + name; }
    std::string Db() const { return W("temp-history.db"); }
    std::string EventLog() const { return ReadFile(app_ + "USBerr.txt"); }

    std::string Bus(const std::string& text)
    {
        WriteFile(dir_ / "bus.txt", text);
        return "sim:" + (dir_ / "bus.txt");
    }

    // Starts temp DEVICE in the working directory, its console into out.txt,
    // under a file-size limit when one is given (with SIGXFSZ's default
    // action, so that only temp itself can keep the signal from ending it).
    pid_t Start(const std::string& device, rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        std::string out = dir_ / "out.txt";
        std::string program = app_ + "temp";
        pid_t pid = fork();
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || fd < 0 || chdir(work_.c_str()) != 0)
                _exit(126);
            dup2(in, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            signal(SIGXFSZ, SIG_DFL);
            struct rlimit limit = {fileSizeLimit, RLIM_INFINITY};  // the soft limit: it may be raised again
            if (fileSizeLimit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(125);
            setenv("TZ", "UTC", 1);
            execl(TEMP_BINARY, program.c_str(), device.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        running_ = pid;
        return pid;
    }

    // Waits for the exit (killing temp at the deadline); the exit status, or minus the signal.
    int Wait(pid_t pid)
    {
        int status = 0;
        bool done = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!done) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "temp did not finish";
        }
        running_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    std::string Console() const { return ReadFile(dir_ / "out.txt"); }

    ScratchDir dir_;
    std::string work_, app_;
    pid_t running_ = 0;
};

// A bus with the virtual clock starting at `start`, these sensors, and a CTRL-C in cycle `stopCycle` (0: none).
std::string BusText(int64_t start, const std::vector<std::pair<std::string, std::string>>& sensors, int stopCycle,
                    const std::string& extra = "")
{
    std::string text = "clock virtual " + std::to_string(start) + "\n";
    for (const auto& s : sensors)
        text += "sensor " + s.first + " " + s.second + "\n";
    text += extra;
    if (stopCycle)
        text += "fault interrupt conversion=" + std::to_string(stopCycle) + "\n";
    return text;
}

// The start-up lines stamped by the real clock (before the software adapter's
// virtual clock starts) without their stamps.
std::string WithoutRealTime(const std::string& text)
{
    static const std::regex startUp(
        R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d\.\d{3} (Application directory|Working directory|Can't read|\d\d/))");
    static const std::regex listed(R"(\d\d/\d\d/\d\d - \d\d:\d\d:\d\d List of devices)");
    return std::regex_replace(std::regex_replace(text, startUp, "$1"), listed, "List of devices");
}

std::vector<std::pair<std::string, std::string>> ManySensors(int n, const std::string& temp)
{
    std::vector<std::pair<std::string, std::string>> sensors;
    for (int i = 0; i < n; ++i) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "1000000000%04X", i + 1);
        sensors.emplace_back(digits, temp);
    }
    return sensors;
}

TEST_F(HistoryRun, RowsEqualTheReadingsAndFailedReadingsAreMarked)
{
    const std::string a = "10000000000021", b = "10000000000022", c = "10000000000023", d = "10000000000024";
    WriteFile(app_ + "Direct Access table.txt", FullSerial(a) + " 7 Kitchen\r\n");
    std::string extra = "fault crc " + b + " conversions=2-3\n" + "fault leave " + c + " conversion=4\n"
                        + "fault count-per-c-zero " + d + " conversion=5\n" + "fault short-line conversion=6\n"
                        + "fault slow-conversion " + a + " conversion=7\n";
    pid_t pid = Start(Bus(BusText(HourStart, {{a, "25.0625"}, {b, "21"}, {c, "-0.5"}, {d, "30"}}, 8, extra)));
    ASSERT_EQ(Wait(pid), 0) << Console();

    // Expected per cycle and sensor: outcome, whole, extended ("NULL" where none).
    const std::map<std::string, std::pair<std::string, std::string>> values = {
        {FullSerial(a), {"25.0", "25.0625"}}, {FullSerial(b), {"21.0", "21.0"}},
        {FullSerial(c), {"-1.0", "-0.5"}},    {FullSerial(d), {"30.0", "30.0"}}};
    auto expected = [&](int cycle, const std::string& serial) {
        auto v = values.at(serial);
        if (cycle == 6)
            return std::string("1|NULL|NULL");  // no presence: the line was shorted
        if (serial == FullSerial(b) && (cycle == 2 || cycle == 3))
            return std::string("2|NULL|NULL");  // CRC
        if (serial == FullSerial(c) && cycle == 4)
            return std::string("1|NULL|NULL");  // no presence: a sensor gone reads all ones
        if (serial == FullSerial(d) && cycle == 5)
            return "4|" + v.first + "|NULL";
        return std::string(cycle == 7 ? "3|" : "0|") + v.first + "|" + v.second;
    };
    std::vector<std::string> rows = Rows(Db(),
        "SELECT s.serial, r.t, r.outcome, r.whole, r.extended, p.place, p.label FROM reading r "
        "JOIN sensor s ON s.id = r.sensor JOIN place p ON p.id = r.place ORDER BY r.t");
    ASSERT_EQ(rows.size(), 8u * 4) << Console();
    std::regex row(R"(([0-9A-F]{16})\|(\d+)\|(.*)\|(-?\d+)\|(.*))");
    for (size_t i = 0; i < rows.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(rows[i], m, row)) << rows[i];
        int cycle = static_cast<int>(i / 4) + 1;
        EXPECT_EQ(m[3].str(), expected(cycle, m[1])) << "cycle " << cycle << ": " << rows[i];
        EXPECT_EQ(m[5].str(), m[1] == FullSerial(a) ? "Kitchen" : "") << rows[i];
        // The PLACE number of its table line, as the user wrote it (0 for a sensor the listing added).
        EXPECT_EQ(m[4].str(), m[1] == FullSerial(a) ? "7" : "0") << rows[i];
    }
    // The last cycle's times are the stamps of its lines in tempu.csv.
    std::string csv = ReadFile(W("tempu.csv"));
    std::regex stamp(R"((\d{10})\.(\d{3}),([0-9A-F]{16}),)");
    int matched = 0;
    for (std::sregex_iterator it(csv.begin(), csv.end(), stamp), end; it != end; ++it, ++matched) {
        std::string t = (*it)[1].str() + (*it)[2].str();
        EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading r JOIN sensor s ON s.id = r.sensor WHERE s.serial = '"
                                  + (*it)[3].str() + "' AND r.t = " + t),
                  "1")
            << (*it)[0];
    }
    EXPECT_EQ(matched, 4) << csv;
}

// Checks each minute and hour row against the raw readings of its bucket.
void ExpectRollupsMatchRaw(const std::string& db, const char* table, int64_t bucketMs)
{
    std::string b = std::to_string(bucketMs);
    std::vector<std::string> fromRaw = Rows(db,
        "SELECT sensor, t - t % " + b + " AS bucket, min(extended), max(extended), count(*), avg(extended) "
        "FROM reading WHERE outcome = 0 GROUP BY sensor, bucket ORDER BY bucket, sensor");
    std::vector<std::string> stored = Rows(db,
        std::string("SELECT sensor, t, min, max, count, mean FROM ") + table + " ORDER BY t, sensor");
    ASSERT_EQ(stored.size(), fromRaw.size()) << table;
    for (size_t i = 0; i < stored.size(); ++i) {
        size_t cut = stored[i].rfind('|');
        EXPECT_EQ(stored[i].substr(0, cut), fromRaw[i].substr(0, fromRaw[i].rfind('|'))) << table;
        EXPECT_NEAR(std::stod(stored[i].substr(cut + 1)), std::stod(fromRaw[i].substr(fromRaw[i].rfind('|') + 1)),
                    1e-9)
            << table << " " << stored[i];
    }
}

TEST_F(HistoryRun, RollupsMatchTheReadingsAcrossMinuteAndHourBoundaries)
{
    // 80 cycles of about 3 s from 100 s before an hour boundary; one sensor fails now and then.
    std::string extra = "seed 7\nfault crc 10000000000032 p=0.2\n";
    pid_t pid = Start(Bus(BusText(HourStart - 100, {{"10000000000031", "18..22/90"}, {"10000000000032", "-5..5/200"}},
                                  80, extra)));
    ASSERT_EQ(Wait(pid), 0) << Console();
    ASSERT_EQ(Value(Db(), "SELECT count(*) FROM reading"), "160");
    ASSERT_NE(Value(Db(), "SELECT count(*) FROM reading WHERE outcome = 2"), "0");
    ExpectRollupsMatchRaw(Db(), "minute", 60000);
    ExpectRollupsMatchRaw(Db(), "hour", 3600000);
    // Both sides of the boundary: two hours of each sensor, and minutes on each side.
    EXPECT_EQ(Value(Db(), "SELECT count(DISTINCT t) FROM hour"), "2");
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM minute WHERE t = " + std::to_string((HourStart - 60) * 1000)), "2");
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM minute WHERE t = " + std::to_string(HourStart * 1000)), "2");
    EXPECT_EQ(Value(Db(), "SELECT sum(count) FROM hour"), Value(Db(), "SELECT count(*) FROM reading WHERE outcome = 0"));
}

TEST_F(HistoryRun, DocumentedFilesAndConsoleAreByteIdenticalWithHistoryOnAndOff)
{
    std::string device = Bus(BusText(HourStart, ManySensors(6, "18..22/60"), 6,
                                     "fault crc 10000000000002 conversion=3\n"));
    std::vector<std::string> names = {W("temp.pd"), W("tempu.tmp"), W("tempu.csv"), app_ + "USBerr.txt"};
    std::map<std::string, std::string> off;
    for (const char* conf : {"history = off\n", "# defaults\n"}) {
        std::string command = "rm -rf '" + work_ + "' '" + app_ + "USBerr.txt' && mkdir '" + work_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        WriteFile(app_ + "temp.conf", conf);
        ASSERT_EQ(Wait(Start(device)), 0) << Console();
        bool history = !off.empty();
        EXPECT_EQ(access(Db().c_str(), F_OK) == 0, history) << conf;
        for (const std::string& name : names) {
            std::string bytes = WithoutRealTime(ReadFile(name));
            ASSERT_FALSE(bytes.empty()) << name;
            if (history)
                EXPECT_EQ(bytes, off[name]) << name;
            else
                off[name] = bytes;
        }
        if (history)
            EXPECT_EQ(WithoutRealTime(Console()), off["console"]);
        else
            off["console"] = WithoutRealTime(Console());
    }
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading"), "36");
}

// temp killed at random moments: the database stays sound, every cycle in it
// is whole, and the next run goes on writing it.
TEST_F(HistoryRun, SigkillLeavesASoundDatabaseThatTheNextRunContinues)
{
    const int sensors = 5;
    std::string device = Bus(BusText(HourStart, ManySensors(sensors, "18..22/60"), 0));
    std::mt19937 random(1209);
    int64_t before = 0;
    for (int round = 0; round < 5; ++round) {
        pid_t pid = Start(device);
        // Until the history has grown, then a random moment later.
        ASSERT_TRUE(WaitFor([&] {
            return access(Db().c_str(), F_OK) == 0 && CountRows(Db(), "reading") > before + 5 * sensors;
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 300)(random)));
        kill(pid, SIGKILL);
        ASSERT_EQ(Wait(pid), -SIGKILL);
        ASSERT_EQ(Value(Db(), "PRAGMA integrity_check"), "ok") << round;
        int64_t rows = std::stoll(Value(Db(), "SELECT count(*) FROM reading"));
        EXPECT_GT(rows, before) << round;
        EXPECT_EQ(rows % sensors, 0) << "a cycle was cut in round " << round;
        EXPECT_EQ(Value(Db(), "SELECT count(DISTINCT c) FROM (SELECT count(*) AS c FROM reading GROUP BY sensor)"), "1");
        before = rows;
    }
}

TEST_F(HistoryRun, ADatabaseThatCantBeOpenedYetIsPausedAndCatchesUpOnceItCan)
{
    WriteFile(app_ + "temp.conf", "history-file = later/h.db   # the folder is made below\n");
    pid_t pid = Start(Bus(BusText(HourStart, ManySensors(2, "21"), 0)));
    ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), "History paused: Can't open later/h.db: ") == 1; }))
        << EventLog();
    ASSERT_EQ(mkdir(W("later").c_str(), 0755), 0);
    ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), "History resumed, ") == 1; })) << EventLog();
    kill(pid, SIGINT);
    ASSERT_EQ(Wait(pid), 0);
    EXPECT_EQ(Count(EventLog(), "History paused: "), 1);
    // The readings from before the folder existed went in: the first cycle's
    // (it ends within 3 s of the virtual clock's start) among them.
    EXPECT_LT(std::stoll(Value(W("later/h.db"), "SELECT min(t) FROM reading")), (HourStart + 3) * 1000);
}

// A file-size limit that the history's files reach: temp lives on (it
// ignores SIGXFSZ), the history pauses, and resumes once the limit is raised.
TEST_F(HistoryRun, AFileSizeLimitPausesTheHistoryUntilItIsRaised)
{
    pid_t pid = Start(Bus(BusText(HourStart, ManySensors(39, "18..22/60"), 0)), 256 * 1024);
    int status = 0;
    bool ended = false;
    ASSERT_TRUE(WaitFor([&] {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        return ended || Count(EventLog(), "History paused: ") == 1;
    })) << EventLog();
    if (ended)
        running_ = 0;
    ASSERT_FALSE(ended) << "temp ended with status " << status << "\n" << Console();
    ASSERT_EQ(Count(EventLog(), "History paused: disk I/O error"), 1) << EventLog() << Console();
    struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &unlimited, nullptr), 0) << std::strerror(errno);
    ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), "History resumed, ") == 1; })) << EventLog();
    kill(pid, SIGINT);
    ASSERT_EQ(Wait(pid), 0) << Console();
    EXPECT_EQ(Count(EventLog(), "History paused: "), 1);
    EXPECT_EQ(Value(Db(), "PRAGMA integrity_check"), "ok");
    // Cycles whole, the waiting ones among them (they went in with the resuming commit).
    int64_t rows = std::stoll(Value(Db(), "SELECT count(*) FROM reading"));
    EXPECT_EQ(rows % 39, 0);
    std::smatch caught;
    std::string log = EventLog();
    ASSERT_TRUE(std::regex_search(log, caught, std::regex(R"(History resumed, (\d+) readings caught up)")));
    EXPECT_GT(std::stoll(caught[1]), 0);
    EXPECT_GE(rows, std::stoll(caught[1]) + 39);
}

// The working directory on a small tmpfs: the history pauses when the disk
// fills, the data files go on, and once space frees the backlog goes in; a
// lock held by another program does the same. One entry each way, each time.
TEST_F(HistoryRun, FullDiskAndLocksPauseAndResumeOnceAndLoseNoReading)
{
    std::string why = dir_.MountTmpfs("work", 16384);
    if (!why.empty())
        GTEST_SKIP() << why;
    // The real clock (a cycle takes seconds), so the worker that feeds the
    // history never falls behind the way it could at virtual speed.
    std::string bus;
    for (const auto& sensor : ManySensors(10, "20"))
        bus += "sensor " + sensor.first + " " + sensor.second + "\n";
    pid_t pid = Start(Bus(bus));
    ASSERT_TRUE(WaitFor([&] {
        return access(Db().c_str(), F_OK) == 0 && CountRows(Db(), "reading") > 0;
    }));

    // Leave 256 KiB free: enough for the data files, below the history's reserve.
    struct statvfs info;
    ASSERT_EQ(statvfs(work_.c_str(), &info), 0);
    int64_t free = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    WriteFile(W("filler"), std::string(static_cast<size_t>(free - 256 * 1024), 'x'));
    ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), "History paused: disk full") == 1; })) << EventLog();
    std::string csv = ReadFile(W("tempu.csv"));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(W("tempu.csv")) != csv; })) << "the data files stopped";
    ASSERT_EQ(unlink(W("filler").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), "History resumed, ") == 1; })) << EventLog();

    {
        // The writer may hold the file as the lock is asked for: wait for it.
        sqlite3* db = OpenWaiting(Db());
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        bool paused = WaitFor([&] { return Count(EventLog(), "History paused: database is locked") == 1; });
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ASSERT_TRUE(paused) << EventLog();
    }
    ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), "History resumed, ") == 2; })) << EventLog();
    kill(pid, SIGINT);
    ASSERT_EQ(Wait(pid), 0);

    std::string log = EventLog();
    EXPECT_EQ(Count(log, "History paused: "), 2) << log;
    EXPECT_EQ(Count(log, "History resumed, "), 2) << log;
    std::regex resumed(R"(History resumed, (\d+) readings caught up)");
    for (std::sregex_iterator it(log.begin(), log.end(), resumed), end; it != end; ++it)
        EXPECT_GT(std::stoll((*it)[1]), 0) << (*it)[0];
    // Every reading the console showed is in the history.
    EXPECT_EQ(std::stoll(Value(Db(), "SELECT count(*) FROM reading")), Count(Console(), " Scatchpad = "));
    EXPECT_EQ(Value(Db(), "PRAGMA integrity_check"), "ok");
}

// A history paused for a long backlog (a full disk, or another program
// holding the write lock across the stop), then SIGTERM: the close keeps the
// backlog in the spill file, says so in one entry, and the next start takes
// it back: every reading the console showed is in the history.
TEST_F(HistoryRun, ABacklogAtSigtermIsKeptForTheNextStart)
{
    const struct Case {
        const char* name;
        bool fullDisk;  // else a lock
        const char* paused;
        const char* kept;  // the close's reason
    } cases[] = {
        {"full disk", true, "History paused: disk full", ": disk full ("},
        {"write lock held across the stop", false, "History paused: database is locked", ": database is locked"},
    };
    std::string why = dir_.MountTmpfs("work", 16384);
    if (!why.empty())
        GTEST_SKIP() << why;
    std::string sensors;
    for (const auto& sensor : ManySensors(10, "20"))
        sensors += "sensor " + sensor.first + " " + sensor.second + "\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(std::system(("rm -rf '" + work_ + "'/* '" + app_ + "USBerr.txt'").c_str()), 0);
        // The real clock: a backlog of real cycles.
        pid_t pid = Start(Bus(sensors));
        ASSERT_TRUE(WaitFor([&] { return CountRows(Db(), "reading") > 0; })) << Console();
        sqlite3* locker = nullptr;
        if (c.fullDisk) {
            // 512 KiB free: below the history's reserve, room for the data files and a spill.
            struct statvfs info;
            ASSERT_EQ(statvfs(work_.c_str(), &info), 0);
            int64_t free = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
            WriteFile(W("filler"), std::string(static_cast<size_t>(free - 512 * 1024), 'x'));
        } else {
            ASSERT_EQ(sqlite3_open(Db().c_str(), &locker), SQLITE_OK);
            sqlite3_busy_timeout(locker, 60000);
            ASSERT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK)
                << sqlite3_errmsg(locker);
        }
        ASSERT_TRUE(WaitFor([&] { return Count(EventLog(), c.paused) == 1; })) << EventLog();
        // A few more cycles wait in the backlog.
        const int shown = Count(Console(), " Scatchpad = ");
        ASSERT_TRUE(WaitFor([&] { return Count(Console(), " Scatchpad = ") >= shown + 30; }));
        const auto stop = std::chrono::steady_clock::now();
        kill(pid, SIGTERM);
        ASSERT_EQ(Wait(pid), 0) << Console();
        std::printf("%s: the stop took %lld ms\n", c.name,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - stop)
                                               .count()));
        if (locker) {
            sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(locker);
        }
        unlink(W("filler").c_str());
        const int first = Count(Console(), " Scatchpad = ");
        std::string log = EventLog();
        std::smatch match;
        const std::regex keptEntry(R"(History kept (\d+) readings in (\S+) for the next start(.*))");
        ASSERT_TRUE(std::regex_search(log, match, keptEntry)) << log;
        const std::string kept = match[1];
        EXPECT_GT(std::stoll(kept), 0);
        EXPECT_EQ(match[2], "temp-history.db-spill");
        EXPECT_EQ(std::string(match[3]).find(c.kept), 0u) << match[0];
        EXPECT_EQ(Count(log, "History kept "), 1) << log;
        EXPECT_EQ(Count(log, " lost"), 0) << log;
        EXPECT_EQ(access(W("temp-history.db-spill").c_str(), F_OK), 0);
        EXPECT_NE(access(W("USBPresent").c_str(), F_OK), 0);

        // The next start: two cycles, the kept readings taken back.
        ASSERT_EQ(Wait(Start(Bus(sensors + "fault interrupt conversion=2\n"))), 0) << Console();
        const int second = Count(Console(), " Scatchpad = ");
        log = EventLog();
        EXPECT_EQ(Count(log, "History took back " + kept + " readings kept at the last stop in "
                                 "temp-history.db-spill"),
                  1)
            << log;
        EXPECT_NE(access(W("temp-history.db-spill").c_str(), F_OK), 0);
        EXPECT_EQ(std::stoll(Value(Db(), "SELECT count(*) FROM reading")), first + second);
        EXPECT_EQ(Value(Db(), "PRAGMA integrity_check"), "ok");
        std::printf("%s: %s readings kept through SIGTERM, %d in all\n", c.name, kept.c_str(),
                    first + second);
    }
}

// The wall clock set ahead or back in the middle of a run, as by hand or by
// the network (the software adapter's clock jump, with the Convert T of cycle
// 5), then normal cycles: one event-log entry with both times, every reading
// of every cycle in the raw tier and in its minute and hour, a sound file, and
// the documented files whole and up to date.
struct ClockJumpCase {
    const char* name;
    int64_t seconds;
};

// Seconds since 1970 of a "YYYY-MM-DD HH:MM:SS" text in UTC; -1 when it isn't one.
int64_t UtcSeconds(const std::string& text)
{
    struct tm parts {};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
    return end && *end == '\0' ? static_cast<int64_t>(timegm(&parts)) : -1;
}

// A measurement line checked with the record checks of the soak tests: its
// stamp is "%u" seconds, fewer than ten digits before September 2001, so it
// is widened to the ten those checks take first.
bool CheckLine(const std::string& line, poolcheck::Reading* reading, std::string* why)
{
    size_t point = line.find('.');
    if (point == std::string::npos || point == 0 || point > 10) {
        *why = "no stamp of up to ten digits";
        return false;
    }
    return poolcheck::ParseLine(std::string(10 - point, '0') + line, reading, why);
}

void PrintTo(const ClockJumpCase& c, std::ostream* out) { *out << c.name; }

class HistoryClockJump : public HistoryRun, public ::testing::WithParamInterface<ClockJumpCase> {};

TEST_P(HistoryClockJump, OneEntryNoReadingLostAndTheFilesWhole)
{
    constexpr int kSensors = 4, kJumpCycle = 5, kCycles = 16;
    const int64_t jump = GetParam().seconds;
    // Readings that fail a CRC before and after the jump: rows of their own.
    std::string extra = "clock jump conversion=" + std::to_string(kJumpCycle) + " " + std::to_string(jump) + "\n"
                        + "fault crc 10000000000002 conversions=3-4\nfault crc 10000000000004 conversion=9\n";
    pid_t pid = Start(Bus(BusText(HourStart, ManySensors(kSensors, "18..22/90"), kCycles, extra)));
    ASSERT_EQ(Wait(pid), 0) << Console();
    const std::string log = EventLog();

    // One entry, with the time the clock left and the one it jumped to, as
    // the commit that saw it ended: cycle 5's, or the close's when the stop
    // held the cycles from 5 on (a jump back past 1970 stops there).
    std::smatch entry;
    ASSERT_EQ(Count(log, "Clock jumped from "), 1) << log;
    ASSERT_TRUE(std::regex_search(log, entry, std::regex(R"(Clock jumped from (\S+ \S+) to (\S+ \S+) UTC, )"
                                                         R"(the history prunes by the time that really passed\r\n)")))
        << log;
    const int64_t from = UtcSeconds(entry[1]), to = UtcSeconds(entry[2]);
    EXPECT_GE(from, HourStart + 3) << entry[0];
    EXPECT_LE(from, HourStart + 4 * kCycles) << entry[0];
    if (from + jump > 0) {
        EXPECT_NEAR(static_cast<double>(to - from), static_cast<double>(jump), 1) << entry[0];
    } else {
        EXPECT_GE(to, 0) << entry[0];
        EXPECT_LT(to, 60) << "not stopped at 1970-01-01: " << entry[0];
    }
    for (const char* never : {"History paused", "History backlog full", "Error - new device attached"})
        EXPECT_EQ(Count(log, never), 0) << never << "\n" << log;

    // Every reading in the raw tier: the cycles before the jump by the old
    // clock, cycle 5 on by the new one, each sensor once a cycle.
    const std::string landed = std::to_string(std::max<int64_t>(0, to - 60) * 1000);
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading"), std::to_string(kCycles * kSensors));
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading WHERE t >= " + std::to_string(HourStart * 1000) + " AND t < "
                              + std::to_string((HourStart + 60) * 1000)),
              std::to_string((kJumpCycle - 1) * kSensors));
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading WHERE t >= " + landed + " AND t < " + landed + " + 180000"),
              std::to_string((kCycles - kJumpCycle + 1) * kSensors));
    EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM reading GROUP BY sensor"),
              std::vector<std::string>(kSensors, std::to_string(kCycles)));
    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading WHERE outcome = 2"), "3");
    // None lost from the rollups either, and the file sound.
    ExpectRollupsMatchRaw(Db(), "minute", 60000);
    ExpectRollupsMatchRaw(Db(), "hour", 3600000);
    EXPECT_EQ(std::system((std::string(TEMP_HISTORY_BINARY " check --db '") + Db() + "' >/dev/null").c_str()), 0);

    // tempu.csv: the last cycle, stamped by the new clock, each line in the history.
    bool complete = false;
    std::vector<std::string> lines = poolcheck::SplitCrLf(ReadFile(W("tempu.csv")), &complete);
    EXPECT_TRUE(complete);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kSensors));
    for (std::string& line : lines) {
        poolcheck::Reading reading;
        std::string why;
        ASSERT_TRUE(CheckLine(line, &reading, &why)) << why << ": " << line;
        const int64_t t = static_cast<int64_t>(reading.seconds) * 1000 + reading.milliseconds;
        EXPECT_GE(t, std::max<int64_t>(0, to - 60) * 1000) << line;
        EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading r JOIN sensor s ON s.id = r.sensor WHERE s.serial = '"
                                  + reading.serial + "' AND r.outcome = 0 AND r.t = " + std::to_string(t)),
                  "1")
            << line;
        line = poolcheck::PadToRecord(line);
    }
    // temp.pd: whole records, those of the sensors holding the last cycle's lines.
    const std::string pool = ReadFile(W("temp.pd"));
    ASSERT_EQ(pool.size(), 4100u);
    std::vector<std::string> records;
    for (size_t at = 0; at < pool.size(); at += poolcheck::kRecordSize) {
        std::string record = pool.substr(at, poolcheck::kRecordSize);
        if (record == poolcheck::BlankRecord())
            continue;
        poolcheck::Reading reading;
        std::string why;
        EXPECT_EQ(record.substr(poolcheck::kRecordText), "\r\n") << "record " << at / 100;
        EXPECT_TRUE(CheckLine(record.substr(0, poolcheck::kRecordText), &reading, &why)) << why << ": " << record;
        records.push_back(record);
    }
    std::sort(records.begin(), records.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(records, lines);
    // The event log: whole CR LF lines.
    std::vector<std::string> entries = poolcheck::SplitCrLf(log, &complete);
    EXPECT_TRUE(complete);
    for (const std::string& text : entries)
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
}

// A clock set back by a whole number of cycles: the virtual clock repeats a
// cycle to the millisecond, so each later reading carries the very stamp of
// one stored before it. Every one is kept all the same.
TEST_F(HistoryRun, AClockSetBackOntoStoredStampsLosesNoReading)
{
    constexpr int kSensors = 3, kBack = 120, kJumpCycle = kBack + 5, kCycles = kJumpCycle + 10;
    const auto sensors = ManySensors(kSensors, "18..22/90");
    const std::string first = "SELECT t FROM reading r JOIN sensor s ON s.id = r.sensor WHERE s.serial = '"
                              + FullSerial("10000000000001") + "' ORDER BY t";
    // A run without the jump measures the cycle to the millisecond.
    ASSERT_EQ(Wait(Start(Bus(BusText(HourStart, sensors, 4)))), 0) << Console();
    std::vector<std::string> stamps = Rows(Db(), first);
    ASSERT_EQ(stamps.size(), 4u);
    const int64_t start = std::stoll(stamps[0]), period = std::stoll(stamps[1]) - start;
    ASSERT_EQ(std::stoll(stamps[3]) - std::stoll(stamps[2]), period) << "cycles of unequal length";
    ASSERT_EQ(std::system(("rm -rf '" + work_ + "' '" + app_ + "USBerr.txt' && mkdir '" + work_ + "'").c_str()), 0);

    const int64_t back = kBack * period;
    char amount[48];
    std::snprintf(amount, sizeof amount, "-%lld.%03lld", static_cast<long long>(back / 1000),
                  static_cast<long long>(back % 1000));
    std::string extra = "clock jump conversion=" + std::to_string(kJumpCycle) + " " + amount + "\n";
    ASSERT_EQ(Wait(Start(Bus(BusText(HourStart, sensors, kCycles, extra)))), 0) << Console();
    EXPECT_EQ(Count(EventLog(), "Clock jumped from "), 1) << EventLog();
    // The last cycle carries the stamps of cycle kCycles - kBack, stored before the jump.
    const std::string csv = ReadFile(W("tempu.csv"));
    const std::string landed = std::to_string(start + (kCycles - kBack - 1) * period).insert(10, ".");
    ASSERT_EQ(Count(csv, landed + "," + FullSerial("10000000000001") + ","), 1)
        << "the jump does not land on the stamps of cycle " << kCycles - kBack << " (" << landed << "):\n" << csv;

    EXPECT_EQ(Value(Db(), "SELECT count(*) FROM reading"), std::to_string(kCycles * kSensors));
    EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM reading GROUP BY sensor"),
              std::vector<std::string>(kSensors, std::to_string(kCycles)));
    ExpectRollupsMatchRaw(Db(), "minute", 60000);
    ExpectRollupsMatchRaw(Db(), "hour", 3600000);
    EXPECT_EQ(std::system((std::string(TEMP_HISTORY_BINARY " check --db '") + Db() + "' >/dev/null").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Jumps, HistoryClockJump,
    ::testing::Values(ClockJumpCase{"Ahead30Days", 30 * 86400}, ClockJumpCase{"Ahead400Days", 400 * 86400},
                      ClockJumpCase{"BackOneDay", -86400}, ClockJumpCase{"BackTenYears", -3652 * 86400},
                      // A board without a clock battery: back past 1970, which stops at 1970-01-01.
                      ClockJumpCase{"BackToTheEpoch", -2000000000}),
    [](const ::testing::TestParamInfo<ClockJumpCase>& info) { return std::string(info.param.name); });

}  // namespace
