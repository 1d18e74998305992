// A minute series thinned to whole hours is read from the hour rows, with
// minute rows only at the edges; its points must equal those of every
// minute row thinned alike. The history is written by the logger's own
// writer on a hand-moved clock, so the hour rows are the real rollups.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "tests/common/scratch_dir.h"
#include "web/web_folder.h"

namespace {

constexpr int64_t kMin = 60000, kHour = 60 * kMin, kDay = 24 * kHour;
constexpr int64_t kStart = 1796774400000 + 17 * kMin + 13000;  // 2026-12-09T00:17:13Z: mid-hour
constexpr int64_t kCycle = 20000;
constexpr int kHours = 50;
const std::string kSerial[2] = {"10A1B2C3D4E5F601", "28A1B2C3D4E5F602"};

struct Clock {
    int64_t wall = kStart, monotonic = 0;
    HistoryClock Get()
    {
        return HistoryClock{[](void* c) { return static_cast<Clock*>(c)->wall; },
                            [](void* c) { return static_cast<Clock*>(c)->monotonic; }, this};
    }
};

// One cycle of both sensors at t: sensor 0 fails every 7th reading and all
// of hour 30; both are off for hours 10 to 16 and for 40 minutes of hour 40.
std::vector<HistoryReading> Cycle(int64_t t)
{
    std::vector<HistoryReading> readings;
    int64_t hour = (t - kStart) / kHour;
    int64_t inHour = (t - kStart) % kHour;
    if ((hour >= 10 && hour < 16) || (hour == 40 && inHour >= 10 * kMin && inHour < 50 * kMin))
        return readings;
    for (int s = 0; s < 2; ++s) {
        int64_t n = (t - kStart) / kCycle;
        double v = 20 + 5 * std::sin(static_cast<double>(n) / 97.0 + s) + (n % 1000 == 17 ? 9.5 : 0) + s * 0.125;
        bool failed = s == 0 && (n % 7 == 3 || hour == 30);
        readings.push_back(HistoryReading{t + s, kSerial[s], s + 1, "Room " + std::to_string(s + 1),
                                          failed ? HISTORY_CRC : HISTORY_GOOD, !failed, std::floor(v), v});
    }
    return readings;
}

// Cycles from `from` up to `to`, committed a few at a time as the logger does after each cycle.
void Log(HistoryWriter* writer, Clock* clock, int64_t from, int64_t to)
{
    std::vector<HistoryReading> batch;
    std::string error;
    for (int64_t t = from; t < to; t += kCycle) {
        for (HistoryReading& r : Cycle(t))
            batch.push_back(std::move(r));
        if (((t - from) / kCycle) % 6 == 5 || t + kCycle >= to) {
            clock->wall = t;
            clock->monotonic += 6 * kCycle;
            ASSERT_EQ(HistoryAppend(writer, batch, &error), 1) << error;
            batch.clear();
        }
    }
}

struct Range {
    const char* what;
    int64_t from, to;
    size_t points;
};

// Every range thinned both ways, for both sensors; the hour rows must have answered some.
void ExpectSameThinning(const std::string& path, const std::vector<Range>& ranges)
{
    std::string error;
    HistoryReader* reader = HistoryOpenReader(path, &error);
    ASSERT_NE(reader, nullptr) << error;
    for (const Range& r : ranges)
        for (const std::string& serial : kSerial) {
            ASSERT_TRUE(WebThinner::HourIntervalsFit(r.from, r.to, r.points)) << r.what;
            WebThinner viaHours = WebThinner::HourIntervals(r.from, r.to, r.points);
            WebThinner direct = WebThinner::HourIntervals(r.from, r.to, r.points);
            ASSERT_EQ(WebSelectThinned(reader, HISTORY_MINUTE, serial, r.from, r.to, &viaHours, true, &error), 1)
                << error;
            ASSERT_EQ(WebSelectThinned(reader, HISTORY_MINUTE, serial, r.from, r.to, &direct, false, &error), 1)
                << error;
            std::vector<WebPoint> a = viaHours.Take(), b = direct.Take();
            ASSERT_EQ(a.size(), b.size()) << r.what << " " << serial;
            EXPECT_LE(a.size(), r.points) << r.what;
            for (size_t i = 0; i < a.size(); ++i) {
                SCOPED_TRACE(std::string(r.what) + " " + serial + " point " + std::to_string(i));
                EXPECT_EQ(a[i].timeMs, b[i].timeMs);
                EXPECT_EQ(a[i].count, b[i].count);
                EXPECT_EQ(a[i].failed, b[i].failed);
                if (b[i].count == 0) {
                    EXPECT_TRUE(std::isnan(a[i].mean));
                    continue;
                }
                EXPECT_EQ(a[i].min, b[i].min);
                EXPECT_EQ(a[i].max, b[i].max);
                EXPECT_NEAR(a[i].mean, b[i].mean, 1e-9);  // sums in another order
            }
        }
    HistoryCloseReader(reader);
}

int64_t HourOf(int64_t t)
{
    return WebHourStart(t);
}

}  // namespace

TEST(WebHours, AMinuteSeriesThinnedToWholeHoursEqualsItsMinuteRowsThinned)
{
    ScratchDir dir("web_hours");
    const int64_t end = kStart + kHours * kHour;
    const int64_t h0 = HourOf(kStart);
    struct Case {
        const char* what;
        HistoryRetention retention;
        bool setBack;  // the clock set back 5 hours for the last 10 minutes
    } cases[] = {
        {"everything kept, the last hour open", {1, 0, 0}, false},
        {"a clock set back into an hour rolled up before", {1, 0, 0}, true},
        {"hours kept less long than minutes", {1, 0, 1}, false},
        {"minutes kept less long than hours", {1, 1, 0}, false},
    };
    const std::vector<Range> ranges = {
        {"aligned, 4 h a point", h0 + kHour, h0 + 49 * kHour, 12},
        {"mid-hour edges", kStart + 5 * kMin, end - 7 * kMin, 30},
        {"one hour a point", h0 + 3 * kHour + 30 * kMin, h0 + 13 * kHour + 30 * kMin, 10},
        {"across the gap and the failed hour", h0 + 8 * kHour + 59 * kMin, h0 + 31 * kHour + kMin, 7},
        {"the open hour", h0 + 44 * kHour + 20 * kMin, end + kMin, 3},
        {"before the first reading to after the last", kStart - 2 * kDay, end + kDay, 40},
        {"to on an hour, from mid-hour", h0 + 41 * kHour + 59 * kMin, h0 + 45 * kHour, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir / (std::string("h") + std::to_string(&c - cases) + ".db");
        std::string error;
        Clock clock;
        HistoryWriter* writer = HistoryOpenWriter(path, c.retention, &error);
        ASSERT_NE(writer, nullptr) << error;
        HistorySetClock(writer, clock.Get());
        Log(writer, &clock, kStart, end);
        if (c.setBack)
            Log(writer, &clock, end - 5 * kHour - 30 * kMin, end - 5 * kHour - 20 * kMin);

        // Where the hour rows stand for the minute rows (the writer still open).
        HistoryReader* reader = HistoryOpenReader(path, &error);
        ASSERT_NE(reader, nullptr) << error;
        int64_t from = 0, to = 0;
        ASSERT_EQ(HistoryRolledHours(reader, kSerial[1], &from, &to, &error), 1) << error;
        HistoryCloseReader(reader);
        int64_t lastHour = HourOf(c.setBack ? end - 5 * kHour - 20 * kMin : end - kCycle);
        EXPECT_EQ(to, lastHour);  // the stream's hour and after come from minutes
        if (c.retention.hourDays == 1)
            EXPECT_GE(from, end - kDay - kHour);  // older hours pruned
        else if (c.retention.minuteDays == 1)
            EXPECT_GE(from, end - kDay - kHour);  // minutes pruned: their first whole hour
        else
            EXPECT_EQ(from, h0 + kHour);  // the first whole hour after the start at 00:17
        EXPECT_EQ(WebHourStart(from), from);

        ExpectSameThinning(path, ranges);
        HistoryCloseWriter(writer);
        // Closed: every hour rolled up.
        ExpectSameThinning(path, ranges);
    }
}

TEST(WebHours, ASensorWithoutRowsAndAnUnknownSerial)
{
    ScratchDir dir("web_hours");
    std::string path = dir / "h.db", error;
    Clock clock;
    HistoryWriter* writer = HistoryOpenWriter(path, {}, &error);
    ASSERT_NE(writer, nullptr) << error;
    HistorySetClock(writer, clock.Get());
    // Only minutes so far: no hour closed yet.
    Log(writer, &clock, kStart, kStart + 20 * kMin);
    HistoryReader* reader = HistoryOpenReader(path, &error);
    ASSERT_NE(reader, nullptr) << error;
    int64_t from = 1, to = 1;
    for (const std::string& serial : {kSerial[0], std::string("28FFFFFFFFFFFF01")}) {
        ASSERT_EQ(HistoryRolledHours(reader, serial, &from, &to, &error), 1) << error;
        EXPECT_EQ(from, to) << serial;
        WebThinner thinner = WebThinner::HourIntervals(kStart - kDay, kStart + kDay, 10);
        ASSERT_EQ(WebSelectThinned(reader, HISTORY_MINUTE, serial, kStart - kDay, kStart + kDay, &thinner, true,
                                   &error), 1) << error;
        EXPECT_EQ(thinner.Take().size(), serial == kSerial[0] ? 1u : 0u);
    }
    HistoryCloseReader(reader);
    HistoryCloseWriter(writer);
}
