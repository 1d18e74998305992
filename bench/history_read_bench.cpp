// Measurements of the history's read side. Prints "key value" lines.
//
//   history_read_bench year DB         writes a year of one sensor as the logger
//       leaves it with the default retention (raw 7 d, minutes 90 d, hours)
//   history_read_bench day DB          writes one day of 39 sensors, raw, at
//       the documented cycle of 39 sensors (6.45 s)
//   history_read_bench chart DB RANGE REPS [SERIAL]    opens the chart window
//       on DB for the sensor of `year` (or SERIAL) over RANGE (0 = 1 h .. 4 =
//       1 y): construction, query, drawing and the first paint, REPS times;
//       median and max
//   history_read_bench chart-all DB RANGE REPS    the same with every sensor
//   history_read_bench select DB REPS  HistorySelect of the whole raw day
#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/common/history_testdb.h"
#include "karvix_chart.h"

namespace {

constexpr int64_t kNow = 1796000000000;  // the generated data ends here
constexpr int64_t kMinute = 60000, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr int64_t kCycle39 = 850 + 100 * 39 + 1700;
const char kSerial[] = "10000000200000A1";

double Wave(int64_t t)
{
    // A slow daily swing with a small fast ripple, in sixteenths.
    double day = static_cast<double>(t % kDay) / static_cast<double>(kDay);
    double v = 12.0 + 6.0 * (day < 0.5 ? day : 1.0 - day) + static_cast<double>((t / 7919) % 7) * 0.0625;
    return static_cast<double>(static_cast<int64_t>(v * 16)) / 16.0;
}

int Year(const std::string& path)
{
    HistoryTestDb* db = HistoryTestDbCreate(path);
    if (!db)
        return 1;
    bool ok = true;
    for (int64_t t = kNow - 365 * kDay; t < kNow; t += kHour)
        ok &= HistoryTestDbAddRollup(db, HISTORY_HOUR, kSerial, 1, "Cellar", t, Wave(t) - 0.25, Wave(t),
                                     Wave(t) + 0.25, 558) != 0;
    for (int64_t t = kNow - 90 * kDay; t < kNow; t += kMinute)
        ok &= HistoryTestDbAddRollup(db, HISTORY_MINUTE, kSerial, 1, "Cellar", t, Wave(t) - 0.0625, Wave(t),
                                     Wave(t) + 0.0625, 9) != 0;
    for (int64_t t = kNow - 7 * kDay; t < kNow; t += kCycle39)
        ok &= HistoryTestDbAddRaw(db, kSerial, 1, "Cellar", t, 0, static_cast<int>(Wave(t)), Wave(t)) != 0;
    return HistoryTestDbClose(db, true) && ok ? 0 : 1;
}

int Day(const std::string& path)
{
    HistoryTestDb* db = HistoryTestDbCreate(path);
    if (!db)
        return 1;
    bool ok = true;
    long rows = 0;
    for (int64_t cycle = kNow - kDay; cycle < kNow; cycle += kCycle39)
        for (int s = 0; s < 39; ++s) {
            char serial[17];
            std::snprintf(serial, sizeof serial, "10%012X%02X", 0x200000 + s * 7919, s);
            int64_t t = cycle + 850 + 100 * s;
            ok &= HistoryTestDbAddRaw(db, serial, s + 1, "Place " + std::to_string(s + 1), t, 0,
                                      static_cast<int>(Wave(t)), Wave(t) + s) != 0;
            ++rows;
        }
    std::printf("rows %ld\nfrom_ms %lld\nuntil_ms %lld\n", rows, static_cast<long long>(kNow - kDay),
                static_cast<long long>(kNow));
    return HistoryTestDbClose(db, true) && ok ? 0 : 1;
}

void PrintTimes(const char* what, std::vector<double>& ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%s_median_ms %.1f\n%s_max_ms %.1f\n", what, ms[ms.size() / 2], what, ms.back());
}

int Chart(int argc, char** argv, const std::string& path, int rangeIndex, int reps, const QString& serial)
{
    // The benchmark's numbering (0 = 1 h .. 4 = 1 y) stays as the chart gains ranges.
    constexpr int kBenchRanges[] = {KarvixChart::RANGE_1H, KarvixChart::RANGE_24H, KarvixChart::RANGE_7D,
                                    KarvixChart::RANGE_30D, KarvixChart::RANGE_1Y};
    const int range = kBenchRanges[std::clamp(rangeIndex, 0, 4)];
    QApplication app(argc, argv);
    std::vector<double> ms;
    size_t points = 0;
    for (int i = 0; i < reps; ++i) {
        QElapsedTimer timer;
        timer.start();
        auto* chart = new KarvixChart(QString::fromStdString(path), serial);
        chart->setNowSource([] { return kNow; });
        chart->setRange(range);
        if (chart->range() == KarvixChart::RANGE_FIT)  // the default: setRange read nothing
            chart->reload();
        chart->show();
        chart->repaint();  // the first paint, synchronously
        ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        points = chart->shownPoints().size();
        delete chart;
        QCoreApplication::processEvents();
    }
    std::printf("points %zu\n", points);
    PrintTimes("open", ms);
    return 0;
}

int Select(const std::string& path, int reps)
{
    std::vector<double> ms;
    size_t points = 0;
    for (int i = 0; i < reps; ++i) {
        QElapsedTimer timer;
        timer.start();
        std::string error;
        HistoryReader* reader = HistoryOpenReader(path, &error);
        std::vector<HistoryPoint> result;
        if (!reader || !HistorySelect(reader, HistoryQuery{}, &result, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        HistoryCloseReader(reader);
        ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        points = result.size();
    }
    std::printf("points %zu\n", points);
    PrintTimes("select", ms);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "year")
        return Year(argv[2]);
    if (mode == "day")
        return Day(argv[2]);
    if ((mode == "chart" || mode == "chart-all") && argc > 4)
        return Chart(argc, argv, argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                     mode == "chart-all" ? QString() : QString::fromLatin1(argc > 5 ? argv[5] : kSerial));
    if (mode == "select" && argc > 3)
        return Select(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: history_read_bench year|day DB | chart DB RANGE REPS | select DB REPS\n");
    return 2;
}
