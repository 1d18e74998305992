// The history's cost per cycle and its size on disk, for scripts/bench.sh.
//
//   history_bench commit CYCLES [PRELOAD]   commit time per cycle of 39
//                                 sensors, in the steady state (rollups and
//                                 pruning at work) after PRELOAD cycles (a day)
//   history_bench size [CYCLES]   bytes per row and per sensor-day of each
//                                 tier after CYCLES cycles (two days), and the
//                                 projected size after 10 years
//
// Output: "key value" lines.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "history/history.h"

namespace {

constexpr int Sensors = 39;
constexpr int64_t CycleMs = 850 + 100 * Sensors + 1700;  // the documented cycle of 39 sensors
constexpr int64_t DayMs = 24LL * 3600 * 1000;
constexpr int64_t StartMs = 1700002800000;

std::string Scratch()
{
    char pattern[] = "/tmp/history_bench_XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

// Readings as the logger gives them: slowly varying temperatures in 1/16 °C
// steps, a CRC failure now and then.
std::vector<HistoryReading> CycleAt(int64_t n)
{
    std::vector<HistoryReading> readings;
    int64_t t = StartMs + n * CycleMs;
    for (int i = 0; i < Sensors; ++i) {
        char serial[17];
        std::snprintf(serial, sizeof serial, "10%012X%02X", 0x200000 + i, i);
        double phase = static_cast<double>(t) / 3.6e6 + i;
        double extended = std::round((20 + 5 * std::sin(phase)) * 16) / 16;
        int outcome = (n * Sensors + i) % 997 == 0 ? HISTORY_CRC : HISTORY_GOOD;
        readings.push_back(HistoryReading{t + i * 100, serial, i, "Place " + std::to_string(i), outcome,
                                          outcome == HISTORY_GOOD, std::floor(extended), extended});
    }
    return readings;
}

HistoryWriter* Open(const std::string& path, const HistoryRetention& retention)
{
    std::string error;
    HistoryWriter* writer = HistoryOpenWriter(path, retention, &error);
    if (!writer) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return writer;
}

void Append(HistoryWriter* writer, int64_t n)
{
    std::string error;
    if (!HistoryAppend(writer, CycleAt(n), &error)) {
        std::fprintf(stderr, "cycle %lld: %s\n", static_cast<long long>(n), error.c_str());
        std::exit(1);
    }
}

// CPU time of this thread: what a commit costs without the waits for a
// CPU that other processes on a shared machine add to the wall time.
double ThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// A day and a bit with one day of raw retention, so every later commit
// also prunes; then CYCLES timed commits.
int Commit(int cycles, int64_t preload)
{
    std::string dir = Scratch();
    HistoryRetention retention;
    retention.rawDays = 1;
    HistoryWriter* writer = Open(dir + "/h.db", retention);
    for (int64_t n = 0; n < preload; ++n)
        Append(writer, n);
    std::vector<double> ms, cpu;
    for (int64_t n = preload; n < preload + cycles; ++n) {
        double cpu0 = ThreadCpuMs();
        auto start = std::chrono::steady_clock::now();
        Append(writer, n);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(ThreadCpuMs() - cpu0);
    }
    HistoryCloseWriter(writer);
    double sum = 0;
    for (double m : ms)
        sum += m;
    std::printf("commit_cycles %d\ncommit_sensors %d\n", cycles, Sensors);
    std::printf("commit_median_ms %.3f\ncommit_p99_ms %.3f\ncommit_max_ms %.3f\ncommit_mean_ms %.3f\n",
                Percentile(ms, 0.5), Percentile(ms, 0.99), Percentile(ms, 1.0), sum / static_cast<double>(ms.size()));
    std::printf("commit_cpu_median_ms %.3f\ncommit_cpu_p99_ms %.3f\n", Percentile(cpu, 0.5), Percentile(cpu, 0.99));
    double load[1] = {0};
    if (getloadavg(load, 1) == 1)
        std::printf("load_average %.2f\n", load[0]);
    std::string command = "rm -rf '" + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}

// The single number a query gives.
int64_t QueryNumber(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* statement = nullptr;
    int64_t value = 0;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// Bytes of a table with its index, from SQLite's dbstat.
int64_t TierBytes(sqlite3* db, const std::string& table)
{
    return QueryNumber(db, "SELECT sum(pgsize) FROM dbstat WHERE name IN ('" + table + "', '" + table + "_t')");
}

int64_t Rows(sqlite3* db, const std::string& table) { return QueryNumber(db, "SELECT count(*) FROM " + table); }

// Two days of cycles through the writer (raw and minute rows as the logger
// makes them); the hour tier then gets a year of rows of the same shape, so
// that its pages fill as they will.
int Size(int64_t cycles)
{
    std::string dir = Scratch();
    std::string path = dir + "/h.db";
    HistoryWriter* writer = Open(path, HistoryRetention{0, 0, 0});
    for (int64_t n = 0; n < cycles; ++n)
        Append(writer, n);
    HistoryCloseWriter(writer);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        return 1;
    const char* moreHours =
        "WITH RECURSIVE h(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM h WHERE k < 8760) "
        "INSERT OR IGNORE INTO hour (sensor, t, place, min, mean, max, count) "
        "SELECT s.sensor, s.t + k * 3600000, s.place, s.min - (k % 7) / 16.0, s.mean + k / 1000.0, s.max + (k % 5) / 16.0, "
        "s.count FROM h, (SELECT * FROM hour WHERE t = (SELECT min(t) FROM hour)) s";
    if (sqlite3_exec(db, moreHours, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", sqlite3_errmsg(db));
        return 1;
    }
    const char* tiers[3] = {"reading", "minute", "hour"};
    // Rows per sensor-day of each tier at the documented 39-sensor cycle.
    const double perDay[3] = {static_cast<double>(DayMs) / CycleMs, 1440, 24};
    const double keptDays[3] = {7, 90, 3652.5};  // the default retention, hours for 10 years
    double total = 0;
    for (int i = 0; i < 3; ++i) {
        double perRow = static_cast<double>(TierBytes(db, tiers[i])) / static_cast<double>(Rows(db, tiers[i]));
        double sensorDay = perRow * perDay[i];
        double kept = sensorDay * keptDays[i] * Sensors;
        total += kept;
        std::printf("%s_rows %lld\n%s_bytes_per_row %.1f\n%s_bytes_per_sensor_day %.0f\n%s_kept_bytes %.0f\n",
                    HistoryTierName(static_cast<HistoryTier>(i)), static_cast<long long>(Rows(db, tiers[i])),
                    HistoryTierName(static_cast<HistoryTier>(i)), perRow, HistoryTierName(static_cast<HistoryTier>(i)),
                    sensorDay, HistoryTierName(static_cast<HistoryTier>(i)), kept);
    }
    sqlite3_close(db);
    const double wal = 4.0 * 1024 * 1024;  // journal_size_limit: the WAL is cut back to this
    std::printf("wal_bytes %.0f\nprojected_10y_bytes %.0f\nprojected_10y_mib %.1f\n", wal, total + wal,
                (total + wal) / 1048576.0);
    std::string command = "rm -rf '" + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "commit")
        return Commit(argc > 2 ? std::atoi(argv[2]) : 2000, argc > 3 ? std::atoll(argv[3]) : DayMs / CycleMs + 200);
    if (mode == "size")
        return Size(argc > 2 ? std::atoll(argv[2]) : 2 * DayMs / CycleMs);
    std::fprintf(stderr, "usage: history_bench commit [CYCLES [PRELOAD]] | size [CYCLES]\n");
    return 2;
}
