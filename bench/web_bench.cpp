// temp-web at the server, without the network: the overview's JSON for 4
// loggers of 39 sensors, and a year of one sensor's minute rows (525,600)
// thinned to 2,000 points with min and max. Medians of repeated calls.
//
//   web_bench [--smoke] [--keep DIR]
// --smoke: tiny inputs, one round (a broken benchmark fails fast).
// --keep DIR: builds the folders in DIR and leaves them (DIR/loggers/1..4,
// DIR/year), for bench/web_chart_bench.py to run temp-web over.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/history_testdb.h"
#include "web/web_api.h"
#include "web/web_folder.h"

namespace {

const int64_t kMinute = 60000;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Serial(int logger, int sensor)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "28%02X%02X0000000%03X", logger & 0xFF, sensor & 0xFF, (logger * 100 + sensor) & 0xFFF);
    return std::string(buf).substr(0, 16);
}

void Write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Line(int64_t ms, const std::string& serial, double t)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "%lld.%03lld,%s,BE3200FFFF00000B1060,%.3f,%.3f ",
                  static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000), serial.c_str(),
                  std::floor(t), t);
    return buf;
}

// A logger's folder as the service keeps it: 39 sensors, an hour of raw
// readings every 10 s, an event log.
void MakeLogger(const std::string& folder, int logger, int64_t now, int sensors, int rawRows)
{
    mkdir(folder.c_str(), 0755);
    std::string tempu, pool, table, log;
    for (int s = 0; s < sensors; ++s) {
        std::string line = Line(now - 1000, Serial(logger, s), 20 + s * 0.1);
        tempu += line + "\r\n";
        line.resize(98, ' ');
        pool += line + "\r\n";
        table += Serial(logger, s) + " " + std::to_string(s + 1) + " Room_" + std::to_string(s + 1) + "\r\n";
    }
    for (int i = 0; i < 500; ++i)
        log += "Wed Dec 09 10:00:00.000 Error reading temperature, verify device present:" + std::to_string(i) + "\r\n";
    Write(folder + "/tempu.csv", tempu);
    Write(folder + "/temp.pd", pool);
    Write(folder + "/Direct Access table.txt", table);
    Write(folder + "/USBerr.txt", log);
    HistoryTestDb* db = HistoryTestDbCreate(folder + "/temp-history.db");
    for (int r = rawRows; r >= 1; --r)
        for (int s = 0; s < sensors; ++s)
            HistoryTestDbAddRaw(db, Serial(logger, s), s + 1, "Room_" + std::to_string(s + 1), now - r * 10000,
                                HISTORY_GOOD, 20, 20 + s * 0.1);
    HistoryTestDbClose(db, true);
}

// One sensor with a year of minute rows (and the hours), its last readings raw.
void MakeYear(const std::string& folder, int64_t now, int minutes)
{
    mkdir(folder.c_str(), 0755);
    std::string serial = Serial(9, 1);
    Write(folder + "/tempu.csv", Line(now - 1000, serial, 21) + "\r\n");
    Write(folder + "/Direct Access table.txt", serial + " 1 Year\r\n");
    HistoryTestDb* db = HistoryTestDbCreate(folder + "/temp-history.db");
    int64_t start = (now / kMinute - minutes) * kMinute;
    // Each closed hour's row rolled up from its minutes, as the logger does; the open hour has none.
    const int64_t hour = 60 * kMinute;
    double lo = 0, hi = 0, sum = 0;
    int inHour = 0;
    for (int m = 0; m < minutes; ++m) {
        int64_t t = start + m * kMinute;
        double v = 15 + 10 * std::sin(m * 2 * M_PI / 525600.0) + 3 * std::sin(m * 2 * M_PI / 1440.0);
        HistoryTestDbAddRollup(db, HISTORY_MINUTE, serial, 1, "Year", t, v - 0.2, v, v + 0.2, 6);
        lo = inHour ? std::min(lo, v - 0.2) : v - 0.2;
        hi = inHour ? std::max(hi, v + 0.2) : v + 0.2;
        sum += v;
        ++inHour;
        if ((t + kMinute) % hour == 0 && t + kMinute <= now - now % hour) {
            HistoryTestDbAddRollup(db, HISTORY_HOUR, serial, 1, "Year", t + kMinute - hour, lo, sum / inHour, hi,
                                   6 * inHour);
            inHour = 0;
            sum = 0;
        }
    }
    HistoryTestDbAddRaw(db, serial, 1, "Year", now - 1000, HISTORY_GOOD, 21, 21);
    HistoryTestDbClose(db, true);
}

template <typename F>
double MedianMs(int rounds, F call)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        call();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    bool smoke = false;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc)
            keep = argv[++i];
        else {
            std::fprintf(stderr, "usage: web_bench [--smoke] [--keep DIR]\n");
            return 2;
        }
    }
    std::string root = keep;
    if (root.empty()) {
        char pattern[] = "/tmp/web_bench_XXXXXX";
        if (!mkdtemp(pattern))
            return 1;
        root = pattern;
    }
    mkdir(root.c_str(), 0755);
    const int64_t now = NowMs();
    const int sensors = smoke ? 3 : 39, rawRows = smoke ? 10 : 360, minutes = smoke ? 2000 : 525600;
    const int rounds = smoke ? 1 : 200;
    mkdir((root + "/loggers").c_str(), 0755);
    for (int l = 1; l <= 4; ++l)
        MakeLogger(root + "/loggers/" + std::to_string(l), l, now, sensors, rawRows);
    MakeYear(root + "/year", now, minutes);

    WebSource loggers({}, {root + "/loggers"}, NowMs);
    WebApi api(loggers, {});
    size_t bytes = api.Get("/api/v1/overview", {}).body.size();
    double unchanged = MedianMs(rounds, [&] { api.Get("/api/v1/overview", {}); });
    // A new cycle: every logger's tempu.csv replaced, so each folder is read again.
    int cycle = 0;
    double changed = MedianMs(rounds / 4 + 1, [&] {
        ++cycle;
        for (int l = 1; l <= 4; ++l) {
            std::string folder = root + "/loggers/" + std::to_string(l);
            std::string tempu;
            for (int s = 0; s < sensors; ++s)
                tempu += Line(now + cycle * 1000, Serial(l, s), 20 + cycle % 7) + "\r\n";
            Write(folder + "/tempu.new", tempu);
            rename((folder + "/tempu.new").c_str(), (folder + "/tempu.csv").c_str());
        }
        api.Get("/api/v1/overview", {});
    });

    WebSource year({root + "/year"}, {}, NowMs);
    WebApi yearApi(year, {});
    WebParams params{{"from", "365d"}, {"points", "2000"}, {"tier", "minute"}};
    const std::string path = "/api/v1/sensors/" + Serial(9, 1) + "/history";
    WebResponse first = yearApi.Get(path, params);
    if (first.status != 200) {
        std::fprintf(stderr, "web_bench: %s\n", first.body.c_str());
        return 1;
    }
    size_t points = nlohmann::json::parse(first.body)["points"].size();
    double thinned = MedianMs(smoke ? 1 : 20, [&] { yearApi.Get(path, params); });
    // The same thinning from every minute row, as before the hour rows answered: its time, and that the
    // points are the same.
    std::string error;
    HistoryReader* reader = HistoryOpenReader(root + "/year/temp-history.db", &error);
    if (!reader) {
        std::fprintf(stderr, "web_bench: %s\n", error.c_str());
        return 1;
    }
    const int64_t yearTo = now + 1, yearFrom = yearTo - int64_t{365} * 86400000;
    std::vector<WebPoint> viaHours, direct;
    for (bool hours : {true, false}) {
        WebThinner thinner = WebThinner::HourIntervals(yearFrom, yearTo, 2000);
        WebSelectThinned(reader, HISTORY_MINUTE, Serial(9, 1), yearFrom, yearTo, &thinner, hours, &error);
        (hours ? viaHours : direct) = thinner.Take();
    }
    double largest = viaHours.size() == direct.size() ? 0 : INFINITY;
    for (size_t i = 0; i < viaHours.size() && i < direct.size(); ++i) {
        const WebPoint &a = viaHours[i], &b = direct[i];
        if (a.timeMs != b.timeMs || a.count != b.count || a.failed != b.failed || a.min != b.min || a.max != b.max)
            largest = INFINITY;
        else if (a.count > 0)
            largest = std::max(largest, std::fabs(a.mean - b.mean));
    }
    double minuteRows = MedianMs(smoke ? 1 : 5, [&] {
        WebThinner thinner = WebThinner::HourIntervals(yearFrom, yearTo, 2000);
        WebSelectThinned(reader, HISTORY_MINUTE, Serial(9, 1), yearFrom, yearTo, &thinner, false, &error);
    });
    HistoryCloseReader(reader);
    // The page's "1 y": the tier that fits a year is the hour tier.
    WebParams page{{"from", "365d"}, {"points", "2000"}};
    double hours = MedianMs(smoke ? 1 : 20, [&] { yearApi.Get(path, page); });

    std::printf("overview JSON, 4 loggers x %d sensors (%zu bytes): median %.3f ms unchanged files, %.3f ms after a new cycle\n",
                sensors, bytes, unchanged, changed);
    std::printf("a year of one sensor, %d minute rows thinned to %zu points: median %.1f ms\n", minutes, points,
                thinned);
    std::printf("  (every minute row read instead: median %.1f ms; the points differ from those by at most %.1e in "
                "the mean, nothing in min, max, count or time)\n", minuteRows, largest);
    std::printf("the same year in the tier that fits it (%d hour rows), as the page's 1 y asks: median %.1f ms\n",
                minutes / 60, hours);
    if (keep.empty()) {
        std::string command = "rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0)
            return 1;
    }
    return 0;
}
