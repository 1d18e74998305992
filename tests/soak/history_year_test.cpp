// A long life of the history on the virtual clock: 39 sensors at the
// documented cycle through the history writer, with failed readings, sensors
// that leave and return, restarts, SIGKILLs in the middle of commits, clock
// jumps both ways, an hour with the disk "full" and a held write lock; then
// the built temp itself on a software adapter for a span of cycles, killed
// and restarted. Invariants are checked along the way (see each check).
//
//   TEMP_YEAR_DAYS          simulated days through the writer (default 7)
//   TEMP_YEAR_LOGGER_HOURS  simulated hours of temp sim: cycles (default 4)
//   TEMP_YEAR_SEED          the seed of segment lengths and kill points (default 1)
// Figures go to standard output as "year: key value" lines (scripts/soak-year.sh).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/history.h"
#include "tests/common/scratch_dir.h"

namespace {

constexpr int kSensors = 39;
constexpr int64_t kCycleMs = 850 + 100 * kSensors + 1700;  // the documented cycle of 39 sensors
constexpr int64_t kMinuteMs = 60000, kHourMs = 60 * kMinuteMs, kDayMs = 24 * kHourMs;
constexpr int64_t kStartMs = 1796000400000;  // 2026-12-29T00:20:00Z, virtual "real" time of cycle 0
constexpr int64_t kWalLimit = 8 << 20;
// The documented projection (docs/benchmarks.md, section 6): bytes per
// sensor-day of each tier at the 39-sensor cycle.
constexpr double kRawBytesPerSensorDay = 400211, kMinuteBytesPerSensorDay = 89114, kHourBytesPerSensorDay = 1525;
constexpr int kRawDays = 7, kMinuteDays = 90;

long EnvNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

int64_t FileBytes(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

int OpenDescriptors(pid_t pid)
{
    int count = 0;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count - 2;
}

long ResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Runs temp-history; its exit status.
int TempHistory(const std::string& arguments)
{
    std::string command = std::string(TEMP_HISTORY_BINARY " ") + arguments + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- The schedule: what the world does at each cycle ----------------------

// The wall clock's error at a cycle: jumps ahead of 30 and 400 days, back a
// day, and to the epoch (a board without a clock battery), each corrected
// by the network time after a while.
struct Jump {
    double at;          // fraction of the run
    int64_t cycles;     // how long the clock stays wrong
    int64_t offsetMs;   // wall minus real time meanwhile
};

struct Schedule {
    int64_t cycles;
    std::vector<Jump> jumps;
    int64_t fullDiskFrom, fullDiskTo;  // the disk "full" for an hour
    int64_t lockAt;                    // another program holds the write lock for two cycles

    explicit Schedule(int64_t total) : cycles(total)
    {
        const int64_t hour = kHourMs / kCycleMs;
        jumps = {{0.20, hour, 30 * kDayMs},
                 {0.35, 2 * hour, -kDayMs - 1234},
                 {0.55, hour / 6, -kStartMs + 1234567},  // to the epoch, ten minutes
                 {0.80, hour / 2, 400 * kDayMs}};
        fullDiskFrom = total * 45 / 100;
        fullDiskTo = fullDiskFrom + hour;
        lockAt = total * 65 / 100;
    }
    int64_t RealMs(int64_t cycle) const { return kStartMs + cycle * kCycleMs; }
    int64_t WallOffset(int64_t cycle) const
    {
        for (const Jump& j : jumps) {
            int64_t from = static_cast<int64_t>(j.at * static_cast<double>(cycles));
            if (cycle >= from && cycle < from + j.cycles)
                return j.offsetMs;
        }
        return 0;
    }
    int64_t Stamp(int64_t cycle) const { return RealMs(cycle) + WallOffset(cycle); }
    // Sensor 7 is off the bus 20 minutes of every 6 hours; sensor 38 is replaced by a
    // new serial half way.
    static bool Present(int64_t cycle, int sensor)
    {
        return sensor != 7 || (cycle % (6 * kHourMs / kCycleMs)) >= 20 * kMinuteMs / kCycleMs;
    }
    int Readings(int64_t cycle) const { return kSensors - (Present(cycle, 7) ? 0 : 1); }
    std::string Serial(int64_t cycle, int sensor) const
    {
        char text[17];
        int generation = sensor == 38 && cycle >= cycles / 2 ? 1 : 0;
        std::snprintf(text, sizeof text, "28%06X%06X%02X", 0xA11CE + generation, 0x100 + sensor, sensor);
        return text;
    }
    std::vector<HistoryReading> Cycle(int64_t cycle) const
    {
        std::vector<HistoryReading> readings;
        const int64_t stamp = Stamp(cycle);
        for (int s = 0; s < kSensors; ++s) {
            if (!Present(cycle, s))
                continue;
            // A failure now and then: CRC, no presence, no COUNT_PER_C, a slow conversion.
            uint64_t h = static_cast<uint64_t>(cycle) * 2654435761u + static_cast<uint64_t>(s) * 40503u;
            h ^= h >> 13;
            int outcome = h % 1000 == 1 ? HISTORY_CRC : h % 1000 == 2 ? HISTORY_NO_PRESENCE
                          : h % 1000 == 3 ? HISTORY_COUNT_PER_C_ZERO : h % 1000 == 4 ? HISTORY_CONVERSION_INCOMPLETE
                                                                       : HISTORY_GOOD;
            double phase = static_cast<double>(RealMs(cycle) % kDayMs) / static_cast<double>(kDayMs) * 6.2832;
            double extended = std::round((10 + s + 3 * std::sin(phase + s)) * 16) / 16;
            bool whole = outcome != HISTORY_CRC && outcome != HISTORY_NO_PRESENCE;
            readings.push_back(HistoryReading{stamp + 850 + 100 * s, Serial(cycle, s), s, "Place" + std::to_string(s),
                                              outcome, whole, std::floor(extended), extended});
        }
        return readings;
    }
};

// What a writer process reports to the harness (shared memory).
struct Shared {
    std::atomic<int64_t> committed;  // the last cycle whose HistoryAppend returned 1
    std::atomic<int64_t> walMax;
    std::atomic<long> rssWarmKiB, rssEndKiB;
    std::atomic<int> fdsWarm, fdsEnd;
    std::atomic<int64_t> commitHistogram[20000];  // commit wall time in 10 µs steps, the last for 200 ms and more
    std::atomic<int64_t> pausedCommits;
};

// Another program holding the write lock: a process of its own (a second
// connection in the writer's process would share its file locks). The writer
// has a checkpoint thread, and a child forked from it may find malloc's or
// SQLite's locks held by that thread for ever; so the child execs this test
// program afresh, which holds the lock before its main() (below) and says so
// on the descriptor named in TEMP_YEAR_HOLD_LOCK_FD. Returns once it is held,
// or -1.
pid_t HoldWriteLock(const std::string& db)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        setenv("TEMP_YEAR_HOLD_LOCK", db.c_str(), 1);
        setenv("TEMP_YEAR_HOLD_LOCK_FD", std::to_string(ready[1]).c_str(), 1);
        execl("/proc/self/exe", "history_year_lock", static_cast<char*>(nullptr));
        _exit(127);
    }
    char x = 0;
    close(ready[1]);
    ssize_t got = read(ready[0], &x, 1);
    close(ready[0]);
    if (got != 1) {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// The lock holder of HoldWriteLock, run before main() in its own process.
const bool HoldingLock = [] {
    const char* db = std::getenv("TEMP_YEAR_HOLD_LOCK");
    const char* fd = std::getenv("TEMP_YEAR_HOLD_LOCK_FD");
    if (!db || !fd)
        return false;
    sqlite3* locker = nullptr;
    // The writer may be committing as the lock is asked for: wait for it.
    if (sqlite3_open(db, &locker) != SQLITE_OK || sqlite3_busy_timeout(locker, 600000) != SQLITE_OK ||
        sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
        _exit(1);
    (void)!write(std::atoi(fd), "x", 1);
    for (;;)
        pause();
}();

// One run of the writer: cycles [from, to), then a close, or a SIGKILL at
// some moment after cycle `killAfter` (-1: none).
[[noreturn]] void WriterProcess(const std::string& db, const Schedule& schedule, int64_t from, int64_t to,
                                int64_t killAfter, unsigned seed, Shared* shared)
{
    std::string error;
    HistoryWriter* writer = HistoryOpenWriter(db, HistoryRetention{kRawDays, kMinuteDays, 0}, &error);
    if (!writer) {
        std::fprintf(stderr, "open: %s\n", error.c_str());
        _exit(3);
    }
    // The writer's clocks are the schedule's: the wall clock with its jumps,
    // the monotonic one the real time of the cycle.
    struct Clocks {
        int64_t wall, real;
    } clocks{schedule.Stamp(from), schedule.RealMs(from)};
    HistorySetClock(writer, HistoryClock{[](void* c) { return static_cast<Clocks*>(c)->wall; },
                                         [](void* c) { return static_cast<Clocks*>(c)->real; }, &clocks});
    const pid_t self = getpid();
    for (int64_t c = from; c < to; ++c) {
        clocks = Clocks{schedule.Stamp(c) + kCycleMs - 1, schedule.RealMs(c) + kCycleMs - 1};
        if (c == killAfter) {
            // Somewhere in the next commits.
            std::thread([seed] {
                std::this_thread::sleep_for(std::chrono::microseconds(seed % 3000));
                raise(SIGKILL);
            }).detach();
        }
        bool full = c >= schedule.fullDiskFrom && c < schedule.fullDiskTo;
        HistorySetDiskReserve(writer, full ? (int64_t{1} << 62) : HISTORY_DISK_RESERVE);
        const bool locked = c == schedule.lockAt || c == schedule.lockAt + 1;
        pid_t locker = locked ? HoldWriteLock(db) : 0;
        auto start = std::chrono::steady_clock::now();
        int ok = HistoryAppend(writer, schedule.Cycle(c), &error);
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        if (locker > 0) {
            kill(locker, SIGKILL);
            waitpid(locker, nullptr, 0);
        }
        if (ok) {
            shared->committed = c;
            if (!locked)
                shared->commitHistogram[std::min<int64_t>(us.count() / 10, 19999)]++;
        } else {
            shared->pausedCommits++;
        }
        if ((c - from) % 256 == 0)
            shared->walMax = std::max<int64_t>(shared->walMax, FileBytes(db + "-wal"));
        // Warm: the page cache full and every connection open (a few hours of cycles).
        if (c - from == 2000) {
            shared->rssWarmKiB = ResidentKiB(self);
            shared->fdsWarm = OpenDescriptors(self);
        }
    }
    shared->rssEndKiB = ResidentKiB(self);
    shared->fdsEnd = OpenDescriptors(self);
    HistoryCloseWriter(writer);
    shared->walMax = std::max<int64_t>(shared->walMax, FileBytes(db + "-wal"));
    _exit(0);
}

// A single number of a query on a read-only connection.
int64_t Query(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* statement = nullptr;
    int64_t value = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    else
        ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
    sqlite3_finalize(statement);
    return value;
}

// Minute rows of [from, to) that differ from their raw readings (good ones
// for the values and count, the others for the failed count), and raw
// buckets without their minute row or minute rows without raw readings.
int64_t MinuteMismatches(sqlite3* db, int64_t from, int64_t to)
{
    const std::string range = " t >= " + std::to_string(from) + " AND t < " + std::to_string(to);
    // Minute rows without raw readings are the range's minute rows less those
    // that met a raw bucket: one pass each, where a lookup per row would make
    // a week-long segment's check quadratic.
    return Query(db,
                 "WITH r AS MATERIALIZED (SELECT sensor, b, min(v) AS mn, max(v) AS mx, count(v) AS n, "
                 "count(*) - count(v) AS f, avg(v) AS av FROM (SELECT sensor, t - t % 60000 AS b, "
                 "CASE WHEN outcome = 0 THEN extended END AS v FROM reading WHERE" + range + ") GROUP BY sensor, b), "
                 "j AS MATERIALIZED (SELECT r.*, m.t AS mt, m.min AS mmin, m.max AS mmax, m.count AS mn_, "
                 "m.failed AS mf, m.mean AS mav FROM r LEFT JOIN minute m ON m.sensor = r.sensor AND m.t = r.b) "
                 "SELECT (SELECT count(*) FROM j WHERE mt IS NULL OR mmin IS NOT mn OR mmax IS NOT mx OR mn_ != n "
                 "        OR mf != f OR (mav IS NULL) != (av IS NULL) OR abs(mav - av) > 1e-9) "
                 "     + (SELECT count(*) FROM minute WHERE" + range + ") "
                 "     - (SELECT count(*) FROM j WHERE mt IS NOT NULL)");
}

// Hour rows of [from, to) that differ from their minute rows.
int64_t HourMismatches(sqlite3* db, int64_t from, int64_t to)
{
    return Query(db,
                 "WITH m AS (SELECT sensor, t - t % 3600000 AS b, min(min) AS mn, max(max) AS mx, sum(count) AS n, "
                 "sum(failed) AS f, sum(mean * count) / nullif(sum(count), 0) AS av FROM minute WHERE t >= " +
                     std::to_string(from) + " AND t < " + std::to_string(to) + " GROUP BY sensor, b) "
                 "SELECT count(*) FROM m LEFT JOIN hour h ON h.sensor = m.sensor AND h.t = m.b "
                 "WHERE h.t IS NULL OR h.min IS NOT m.mn OR h.max IS NOT m.mx OR h.count != m.n OR h.failed != m.f "
                 "OR abs(h.mean - m.av) > 1e-6");
}

double Percentile(const Shared& shared, double p)
{
    int64_t total = 0;
    for (const auto& n : shared.commitHistogram)
        total += n;
    int64_t seen = 0;
    for (size_t i = 0; i < 20000; ++i) {
        seen += shared.commitHistogram[i];
        if (total && static_cast<double>(seen) >= p * static_cast<double>(total))
            return static_cast<double>(i) * 0.01 + 0.005;
    }
    return 200;
}

class HistoryYear : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure())
            scratch_.Keep();
    }
    ScratchDir scratch_{"history_year"};
    std::string dir_ = scratch_.path();
};

TEST_F(HistoryYear, WriterKeepsEveryInvariantThroughTheSimulatedTime)
{
    const long days = EnvNumber("TEMP_YEAR_DAYS", 7);
    const unsigned seed = static_cast<unsigned>(EnvNumber("TEMP_YEAR_SEED", 1));
    const Schedule schedule(days * kDayMs / kCycleMs);
    const std::string db = dir_ + "/temp-history.db";
    std::mt19937 random(seed);
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared{};
    shared->committed = -1;

    // Committed cycles as ranges [first, last] (a kill loses the cycles after the last commit).
    std::vector<std::pair<int64_t, int64_t>> committed;
    const int64_t segmentMean = std::max<int64_t>(kDayMs / kCycleMs, schedule.cycles / 60);
    int64_t next = 0, kills = 0, restarts = 0, checks = 0;
    long rssGrowthMax = 0;
    int fdsGrowthMax = 0;
    auto started = std::chrono::steady_clock::now();
    while (next < schedule.cycles && !HasFailure()) {
        int64_t length = std::uniform_int_distribution<int64_t>(segmentMean / 2, segmentMean * 3 / 2)(random);
        int64_t to = std::min(schedule.cycles, next + length);
        bool kill = to < schedule.cycles && random() % 3 == 0;
        int64_t killAfter = kill ? to - 1 - static_cast<int64_t>(random() % 50) : -1;
        shared->committed = next - 1;
        shared->rssWarmKiB = shared->rssEndKiB = 0;
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            WriterProcess(db, schedule, next, to, killAfter, static_cast<unsigned>(random()), shared);
        int status = 0;
        waitpid(pid, &status, 0);
        if (kill) {
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "segment from " << next;
            ++kills;
            // The database a kill leaves is sound.
            ASSERT_EQ(TempHistory("check --db " + db), 0) << "after the kill in the segment from " << next;
            ++checks;
        } else {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "segment from " << next;
            ++restarts;
            if (shared->rssWarmKiB > 0) {
                rssGrowthMax = std::max(rssGrowthMax, shared->rssEndKiB - shared->rssWarmKiB);
                fdsGrowthMax = std::max(fdsGrowthMax, shared->fdsEnd - shared->fdsWarm);
            }
        }
        int64_t last = shared->committed;
        if (last >= next)
            committed.emplace_back(next, last);
        const int64_t segmentFrom = next;
        next = kill ? last + 1 : to;

        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        // The WAL stays small.
        EXPECT_LE(shared->walMax.load(), kWalLimit) << "segment from " << segmentFrom;
        // No reading younger than the raw retention (in real time) is lost:
        // each run of cycles without a clock change holds at least its readings.
        const int64_t keepFrom = std::max<int64_t>(0, last - kRawDays * kDayMs / kCycleMs + 1);
        for (const auto& range : committed) {
            int64_t a = std::max(range.first, keepFrom), b = range.second;
            while (a <= b) {
                int64_t end = a, expected = 0;
                while (end <= b && schedule.WallOffset(end) == schedule.WallOffset(a))
                    expected += schedule.Readings(end++);
                int64_t rows = Query(handle, "SELECT count(*) FROM reading WHERE t >= " +
                                                 std::to_string(schedule.Stamp(a)) + " AND t < " +
                                                 std::to_string(schedule.Stamp(end - 1) + kCycleMs));
                EXPECT_GE(rows, expected) << "readings of cycles " << a << ".." << end - 1 << " lost (at cycle " << last
                                          << ")";
                a = end;
            }
        }
        // The rollups of this segment's closed buckets equal its raw readings,
        // where those are still inside the raw retention (a segment of a long
        // run can be longer than it).
        for (int64_t a = std::max(segmentFrom, keepFrom); a <= last;) {
            int64_t end = a;
            while (end <= last && schedule.WallOffset(end) == schedule.WallOffset(a))
                ++end;
            int64_t from = schedule.Stamp(a) - schedule.Stamp(a) % kMinuteMs + kMinuteMs;
            int64_t to = schedule.Stamp(end - 1) - schedule.Stamp(end - 1) % kMinuteMs;
            if (to > from && end - a > 20) {
                EXPECT_EQ(MinuteMismatches(handle, from, to), 0) << "minutes of cycles " << a << ".." << end - 1;
                int64_t hFrom = from - from % kHourMs + kHourMs, hTo = to - to % kHourMs;
                if (hTo > hFrom) {
                    EXPECT_EQ(HourMismatches(handle, hFrom, hTo), 0) << "hours of cycles " << a << ".." << end - 1;
                }
            }
            a = end;
        }
        sqlite3_close(handle);
        // Progress of a long run, so that one stopped early still says how far it held.
        std::printf("segment: day %.1f %s wal_max_bytes %lld db_bytes %lld seconds %.0f\n",
                    static_cast<double>(last + 1) * kCycleMs / kDayMs, kill ? "killed" : "closed",
                    static_cast<long long>(shared->walMax.load()), static_cast<long long>(FileBytes(db)),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        std::fflush(stdout);
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    // The file against the documented projection for the simulated span.
    const double span = static_cast<double>(schedule.cycles) * kCycleMs / kDayMs;
    const double projected = kSensors * (std::min<double>(span, kRawDays) * kRawBytesPerSensorDay +
                                         std::min<double>(span, kMinuteDays) * kMinuteBytesPerSensorDay +
                                         span * kHourBytesPerSensorDay);
    const int64_t size = FileBytes(db);
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf("year: days %.1f\nyear: cycles %lld\nyear: kills %lld\nyear: restarts %lld\nyear: checks %lld\n",
                span, static_cast<long long>(schedule.cycles), static_cast<long long>(kills),
                static_cast<long long>(restarts), static_cast<long long>(checks));
    std::printf("year: db_bytes %lld\nyear: projected_bytes %.0f\nyear: db_over_projection %.4f\n",
                static_cast<long long>(size), projected, static_cast<double>(size) / projected);
    std::printf("year: wal_max_bytes %lld\nyear: commit_median_ms %.3f\nyear: commit_p99_ms %.3f\n",
                static_cast<long long>(shared->walMax.load()), Percentile(*shared, 0.5), Percentile(*shared, 0.99));
    std::printf("year: paused_commits %lld\nyear: writer_rss_growth_kib %ld\nyear: writer_fd_growth %d\n",
                static_cast<long long>(shared->pausedCommits.load()), rssGrowthMax, fdsGrowthMax);
    std::printf("year: load_average %.2f\nyear: seconds %.0f\n", load[0], elapsed);
    EXPECT_GT(shared->pausedCommits.load(), 0) << "the full disk and the lock never paused the history";
    EXPECT_LE(std::abs(static_cast<double>(size) / projected - 1), 0.10) << size << " bytes against " << projected;
    // Two connections whose page caches (2 MB each by default) may still be
    // filling after the warm-up; a leak per cycle would pass this by far.
    EXPECT_LE(rssGrowthMax, 3072) << "the writer's memory grows";
    EXPECT_LE(fdsGrowthMax, 0) << "the writer leaks descriptors";
    munmap(shared, sizeof(Shared));
}

// temp itself on a software adapter with 39 sensors and the virtual clock,
// SIGKILLed twice and restarted where its clock stood; its memory and
// descriptors stay flat after the first hour of a run (checked on runs of
// more than two hours), and the history stays sound after every kill.
TEST_F(HistoryYear, LoggerRunsOnTheVirtualClockWithFlatMemory)
{
    const long hours = EnvNumber("TEMP_YEAR_LOGGER_HOURS", 4);
    const int64_t cycles = hours * kHourMs / kCycleMs;
    std::string bus = dir_ + "/bus.txt", work = dir_ + "/work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    auto start = [&](int64_t startSeconds, int64_t stopCycle) {
        std::string text = "timing off\nclock virtual " + std::to_string(startSeconds) + "\nseed 3\n";
        for (int s = 0; s < kSensors; ++s) {
            char serial[15];
            std::snprintf(serial, sizeof serial, "10%06X%06X", 0xB0B, 0x100 + s);
            text += std::string("sensor ") + serial + " " + std::to_string(5 + s) + ".." + std::to_string(7 + s) +
                    "/3600\n";
        }
        text += "fault crc 10000B0B000105 p=0.01\nfault interrupt conversion=" + std::to_string(stopCycle) + "\n";
        std::ofstream(bus) << text;
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            if (null < 0 || chdir(work.c_str()) != 0)
                _exit(126);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execl(TEMP_BINARY, "temp", ("sim:" + bus).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    // The virtual time the logger has reached: the first stamp of its latest cycle file.
    auto reached = [&]() -> int64_t {
        std::ifstream csv(work + "/tempu.csv");
        std::string line;
        return std::getline(csv, line) && line.size() > 10 ? std::strtoll(line.substr(0, 10).c_str(), nullptr, 10)
                                                           : 0;
    };
    const int64_t t0 = kStartMs / 1000;
    int64_t from = t0;
    // Two runs killed a tenth and a fifth of the way; the last, the longest, ends itself.
    for (int run = 0; run < 3; ++run) {
        int64_t until = run < 2 ? t0 + (run + 1) * cycles * kCycleMs / 10000 : t0 + cycles * kCycleMs / 1000;
        int64_t stop = (until - from) * 1000 / kCycleMs + 2;
        pid_t pid = start(from, run < 2 ? stop + 1000 : stop);
        long rssHour = 0, rssEnd = 0;
        // A cycle opens and closes its files, so one sample may catch one more
        // or one fewer. The fewest over the last forty samples must not pass
        // the most seen over forty samples after the first hour; a leak per
        // cycle would pass it by thousands.
        constexpr size_t kFdSamples = 40;
        std::vector<int> fdsAfterHour, fdsRecent;
        int status = 0;
        for (;;) {
            int64_t now = reached();
            if (waitpid(pid, &status, WNOHANG) == pid)
                break;
            long rss = ResidentKiB(pid);
            int fds = OpenDescriptors(pid);
            if (now >= from + 3600 && rssHour == 0)
                rssHour = rss;
            if (rssHour > 0 && fds > 0 && fdsAfterHour.size() < kFdSamples)
                fdsAfterHour.push_back(fds);
            if (rss > 0) {
                rssEnd = rss;
                if (fds > 0) {
                    fdsRecent.push_back(fds);
                    if (fdsRecent.size() > kFdSamples)
                        fdsRecent.erase(fdsRecent.begin());
                }
            }
            if (run < 2 && now >= until) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (run < 2) {
            ASSERT_TRUE(WIFSIGNALED(status)) << "run " << run;
        } else {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run;
        }
        ASSERT_EQ(TempHistory("check --db " + work + "/temp-history.db"), 0) << "after run " << run;
        const int fdsHour = fdsAfterHour.empty() ? 0 : *std::max_element(fdsAfterHour.begin(), fdsAfterHour.end());
        const int fdsEnd = fdsRecent.empty() ? 0 : *std::min_element(fdsRecent.begin(), fdsRecent.end());
        std::printf("year: temp_run %d rss_first_hour_kib %ld rss_end_kib %ld fds_first_hour %d fds_end %d "
                    "virtual_seconds %lld\n",
                    run, rssHour, rssEnd, fdsHour, fdsEnd, static_cast<long long>(reached() - from));
        if (rssHour > 0 && reached() - from > 2 * 3600) {
            // Within 1 MiB over a week or more. A shorter run still fills the
            // history's two page caches (2 MB each by default) after its first hour.
            long bound = reached() - from > 7 * 86400 ? 1024 : 4096;
            EXPECT_LE(rssEnd - rssHour, bound) << "temp's memory grew in run " << run;
            EXPECT_LE(fdsEnd, fdsHour) << "temp's descriptors grew in run " << run;
        }
        from = reached() + 7;
    }
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2((work + "/temp-history.db").c_str(), &handle, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    // The raw tier keeps its retention's worth of readings (the whole run when shorter).
    int64_t rows = Query(handle, "SELECT count(*) FROM reading");
    const int64_t keptCycles = std::min<int64_t>(cycles, kRawDays * kDayMs / kCycleMs);
    EXPECT_GE(rows, keptCycles * kSensors * 9 / 10) << "readings missing";
    // The minute rows equal the raw readings still there, an hour inside either end.
    const int64_t end = (from - 3600) * 1000;
    int64_t begin = std::max<int64_t>(t0 + 3600, from - kRawDays * 86400 + 3600) * 1000;
    begin += kMinuteMs - begin % kMinuteMs;
    EXPECT_EQ(MinuteMismatches(handle, begin, end - end % kMinuteMs), 0);
    sqlite3_close(handle);
    EXPECT_LE(FileBytes(work + "/temp-history.db-wal"), kWalLimit);
}

}  // namespace
