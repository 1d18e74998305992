// temp-web's pure logic: the files read from their bytes, the merge of a
// sensor's latest state, staleness, tiers, thinning and request checks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "history/history_text.h"
#include "web/web_folder.h"
#include "web/web_model.h"

namespace {

TEST(WebFiles, MeasurementLinesOfTempuCsvAndPoolRecords)
{
    struct Case {
        std::string line;
        bool ok;
        int64_t timeMs;
        std::string serial;
        double extended;
    } cases[] = {
        {"1700000000.123,10A1B2C3D4E5F601,BE3200FFFF00000B1060,25.000,25.063 ", true, 1700000000123, "10A1B2C3D4E5F601", 25.063},
        {"1700000000.123,10A1B2C3D4E5F601,BE3200FFFF00000B1060,-0.000,-0.063 \r", true, 1700000000123, "10A1B2C3D4E5F601", -0.063},
        // A pool record padded with blanks, and one after a gap of NULs.
        {"999999999.5,28A1B2C3D4E5F6B1,BE,19.000,19.125" + std::string(40, ' '), true, 999999999500, "28A1B2C3D4E5F6B1", 19.125},
        {std::string(3, '\0') + "1.000,28A1B2C3D4E5F6B1,BE,1.000,1.000", true, 1000, "28A1B2C3D4E5F6B1", 1.0},
        {",                                  ", false, 0, "", 0},  // a blank record
        {"1700000000.123,10a1b2c3d4e5f601,BE,25.000,25.063", false, 0, "", 0},  // not as the logger prints
        {"1700000000.123,10A1B2C3D4E5F601,BE,25.000", false, 0, "", 0},
        {"1700000000.123,10A1B2C3D4E5F601,BE,25.000,abc", false, 0, "", 0},
        {"x,10A1B2C3D4E5F601,BE,25.000,25.063", false, 0, "", 0},
        {"", false, 0, "", 0},
    };
    for (const Case& c : cases) {
        WebMeasurement m;
        ASSERT_EQ(WebParseMeasurementLine(c.line, &m), c.ok) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(m.timeMs, c.timeMs) << c.line;
        EXPECT_EQ(m.serial, c.serial);
        EXPECT_DOUBLE_EQ(m.extended, c.extended);
    }
    std::string file = "1.000,10A1B2C3D4E5F601,BE,1.000,1.500 \r\n,   \r\n2.000,10A1B2C3D4E5F602,BE,2.000,2.500 \n";
    ASSERT_EQ(WebParseMeasurements(file).size(), 2u);
}

TEST(WebFiles, PlaceTableTriplesAsTheLoggerReadsThem)
{
    std::string table =
        "10A1B2C3D4E5F601 1 Kitchen\r\n"
        "10A1B2C3D4E5F602 2 <script>alert(1)</script>\r\n"
        "10A1B2C3D4E5F601 9 Again\r\n"          // the first entry of a serial wins
        "10a1b2c3d4e5f603 3 Lower\r\n"          // never matches: skipped
        "10A1B2C3D4E5F604 x Bad\r\n"            // no number: skipped
        "10A1B2C3D4E5F605 -1 Negative 10A1B2C3D4E5F606 6\nSplit";  // line ends are blanks
    auto places = WebParsePlaceTable(table);
    ASSERT_EQ(places.size(), 4u);
    EXPECT_EQ(places["10A1B2C3D4E5F601"].place, 1);
    EXPECT_EQ(places["10A1B2C3D4E5F601"].label, "Kitchen");
    EXPECT_EQ(places["10A1B2C3D4E5F602"].label, "<script>alert(1)</script>");
    EXPECT_EQ(places["10A1B2C3D4E5F605"].place, -1);
    EXPECT_EQ(places["10A1B2C3D4E5F606"].label, "Split");
    EXPECT_TRUE(WebParsePlaceTable("").empty());
}

TEST(WebFiles, LastLinesOfTheEventLog)
{
    EXPECT_EQ(WebLastLines("a\r\nb\r\n\r\nc\r\n", 2), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(WebLastLines("a\nb", 5), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(WebLastLines("", 3).empty());
}

TEST(WebRequests, SerialsIdsCountsAndTimes)
{
    for (auto [text, ok] : std::vector<std::pair<std::string, bool>>{
             {"10A1B2C3D4E5F601", true}, {"10a1b2c3d4e5f601", true}, {"10A1B2C3D4E5F60", false},
             {"10A1B2C3D4E5F6011", false}, {"10A1B2C3D4E5F6G1", false}, {"../../etc/passwd", false}, {"", false}})
        EXPECT_EQ(WebValidSerial(text), ok) << text;
    for (auto [text, ok] : std::vector<std::pair<std::string, bool>>{
             {"1", true}, {"hall-2", true}, {"a.b_c", true}, {".", false}, {"..", false}, {"a/b", false},
             {"%2e%2e", false}, {"", false}, {std::string(65, 'a'), false}, {"a b", false}})
        EXPECT_EQ(WebValidLoggerId(text), ok) << text;
    int n = 0;
    for (auto [text, ok] : std::vector<std::pair<std::string, bool>>{
             {"1", true}, {"5000", true}, {"0", false}, {"5001", false}, {"-1", false}, {"1e3", false},
             {"99999999999999", false}, {"", false}})
        EXPECT_EQ(WebParseCount(text, 5000, &n), ok) << text;

    const int64_t now = 1800000000000;
    struct When {
        std::string text;
        bool ok;
        int64_t ms;
    } whens[] = {
        {"1700000000", true, 1700000000000},
        {"1700000000.25", true, 1700000000250},
        {"-5", true, -5000},
        {"2026-12-09T10:00:00Z", true, 1796810400000},
        {"2026-12-09T11:00:00+01:00", true, 1796810400000},
        {"24h", true, now - 86400000},
        {"2026-02-31", false, 0},
        {"1e9", false, 0},
        {"1-2", false, 0},
        {"99999999999999999999", false, 0},
        {"now", false, 0},
        {"", false, 0},
    };
    for (const When& w : whens) {
        int64_t ms = 0;
        ASSERT_EQ(WebParseWhen(w.text, now, &ms), w.ok) << w.text;
        if (w.ok) {
            EXPECT_EQ(ms, w.ms) << w.text;
        }
    }
}

TEST(WebJudgements, StalenessAndTheCyclePeriod)
{
    const int64_t now = 1800000000000;
    struct Case {
        int64_t age, period;
        bool stale;
    } cases[] = {
        {0, 60000, false},          {180000, 60000, false}, {180001, 60000, true},  // three cycles
        {29000, 1000, false},       {30001, 1000, true},  // never under 30 s
        {-3600000, 60000, false},   // a reading stamped ahead of this clock
    };
    for (const Case& c : cases)
        EXPECT_EQ(WebIsStale(now - c.age, now, c.period), c.stale) << c.age << " " << c.period;
    EXPECT_TRUE(WebIsStale(0, now, 60000));  // never read

    EXPECT_EQ(WebCyclePeriod({}), WEB_DEFAULT_PERIOD_MS);
    EXPECT_EQ(WebCyclePeriod({5}), WEB_DEFAULT_PERIOD_MS);
    EXPECT_EQ(WebCyclePeriod({30000, 0, 10000, 20000, 90000}), 10000);  // the median, not the gap
}

TEST(WebJudgements, TheTierThatFitsARange)
{
    const int64_t h = 3600000, d = 24 * h, t0 = 1800000000000;
    struct Case {
        const char* what;
        int64_t from, to;
        int64_t first[HISTORY_TIER_COUNT];
        HistoryTier tier;
    } cases[] = {
        {"an hour, raw kept", t0 - h, t0, {t0 - 7 * d, t0 - 90 * d, t0 - 400 * d}, HISTORY_RAW},
        {"a week", t0 - 7 * d, t0, {t0 - 7 * d, t0 - 90 * d, t0 - 400 * d}, HISTORY_MINUTE},
        {"a year", t0 - 365 * d, t0, {t0 - 7 * d, t0 - 90 * d, t0 - 400 * d}, HISTORY_HOUR},
        {"an hour a month ago: raw pruned", t0 - 30 * d, t0 - 30 * d + h, {t0 - 7 * d, t0 - 90 * d, t0 - 400 * d},
         HISTORY_MINUTE},
        {"an hour half a year ago: minutes pruned", t0 - 180 * d, t0 - 180 * d + h,
         {t0 - 7 * d, t0 - 90 * d, t0 - 400 * d}, HISTORY_HOUR},
        {"a young sensor's day stays raw", t0 - d, t0, {t0 - 600000, t0 - 600000 - 30000, t0 - 1200000}, HISTORY_RAW},
        {"nothing older anywhere", t0 - 30 * d, t0 - 30 * d + h, {t0 - d, 0, 0}, HISTORY_RAW},
        {"an empty raw tier", t0 - h, t0, {0, t0 - 2 * d, t0 - 3 * d}, HISTORY_MINUTE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WebChooseTier(c.from, c.to, c.first), c.tier) << c.what;

    int64_t young[HISTORY_TIER_COUNT] = {t0 + 57000, t0, t0};  // raw 57 s into the first minute and hour
    EXPECT_EQ(WebFirstMs(young), t0 + 57000);
    int64_t pruned[HISTORY_TIER_COUNT] = {t0 + 7 * d, t0 + 6 * d, t0};  // raw and minutes pruned
    EXPECT_EQ(WebFirstMs(pruned), t0);
    int64_t none[HISTORY_TIER_COUNT] = {0, 0, 0};
    EXPECT_EQ(WebFirstMs(none), 0);
}

TEST(WebJudgements, ThinningKeepsEachIntervalsMinAndMaxAndItsGaps)
{
    const int64_t from = 1800000000000, minute = 60000;
    const int rows = 525600;  // a year of minutes
    WebThinner thinner(from, from + rows * minute, 2000);
    double lowest = 1e9, highest = -1e9;
    int64_t good = 0;
    for (int i = 0; i < rows; ++i) {
        bool gap = i >= 100000 && i < 110000;  // a week without good readings
        double v = 20 + 5 * std::sin(i / 1000.0) + (i == 300000 ? 30 : 0);
        WebPoint p;
        p.timeMs = from + i * minute;
        p.min = gap ? std::nan("") : v - 0.5;
        p.mean = gap ? std::nan("") : v;
        p.max = gap ? std::nan("") : v + 0.5;
        p.count = gap ? 0 : 2;
        p.failed = gap ? 3 : 0;
        if (!gap) {
            lowest = std::min(lowest, v - 0.5);
            highest = std::max(highest, v + 0.5);
            good += 2;
        }
        thinner.Add(p);
    }
    std::vector<WebPoint> points = thinner.Take();
    ASSERT_LE(points.size(), 2000u);
    ASSERT_GE(points.size(), 1990u);
    double lo = 1e9, hi = -1e9;
    int64_t counted = 0, failed = 0, gaps = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        if (i > 0) {
            ASSERT_GT(points[i].timeMs, points[i - 1].timeMs);
        }
        counted += points[i].count;
        failed += points[i].failed;
        if (points[i].count == 0) {
            ++gaps;
            EXPECT_TRUE(std::isnan(points[i].mean));
            continue;
        }
        lo = std::min(lo, points[i].min);
        hi = std::max(hi, points[i].max);
        EXPECT_LE(points[i].min, points[i].mean);
        EXPECT_LE(points[i].mean, points[i].max);
    }
    EXPECT_DOUBLE_EQ(lo, lowest);
    EXPECT_DOUBLE_EQ(hi, highest);  // the one spike of +30 survives
    EXPECT_EQ(counted, good);
    EXPECT_EQ(failed, 30000);
    EXPECT_GE(gaps, 30);  // the week shows as empty points (a gap in the chart)
}

TEST(WebJudgements, WholeHourIntervalsForWideRanges)
{
    const int64_t h = WEB_HOUR_MS, t0 = 1796774400000;  // an hour start
    struct Case {
        int64_t from, to;
        size_t points;
        bool fit;
        int64_t width;  // whole-hour intervals
        size_t count;   // of intervals
    } cases[] = {
        {t0, t0 + 8760 * h, 2000, true, 5 * h, 1752},                  // a year of minutes, 2,000 points
        {t0 + 1234, t0 + 8760 * h + 1234, 2000, true, 5 * h, 1753},    // the same year off the hour
        {t0, t0 + 10 * h, 10, true, h, 10},                            // exactly an hour each
        {t0 + 1, t0 + 10 * h + 1, 10, true, 2 * h, 6},                 // 11 hours touched: 2 h each
        {t0, t0 + 10 * h - 1, 10, false, 0, 0},                        // under an hour each
        {-5 * h - 1, 5 * h, 3, true, 4 * h, 3},                        // before 1970
        {t0, t0 + 1, 1, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
        ASSERT_EQ(WebThinner::HourIntervalsFit(c.from, c.to, c.points), c.fit);
        if (!c.fit)
            continue;
        WebThinner thinner = WebThinner::HourIntervals(c.from, c.to, c.points);
        EXPECT_EQ(thinner.IntervalMs(), c.width);
        // A row every 10 minutes over the range: one point per interval, at its start (the first at from).
        for (int64_t t = WebHourStart(c.from); t < c.to; t += h / 6)
            if (t >= c.from)
                thinner.Add(WebPoint{t, 1, 2, 3, 1, 0});
        std::vector<WebPoint> points = thinner.Take();
        ASSERT_EQ(points.size(), c.count);
        EXPECT_LE(points.size(), c.points);
        EXPECT_EQ(points[0].timeMs, c.from);
        for (size_t i = 1; i < points.size(); ++i) {
            EXPECT_EQ(points[i].timeMs, WebHourStart(c.from) + static_cast<int64_t>(i) * c.width);
            EXPECT_EQ(points[i].count, i + 1 < points.size() ? c.width / (h / 6) : points[i].count);
        }
    }
    EXPECT_EQ(WebHourStart(-1), -h);
    EXPECT_EQ(WebHourStart(t0 + h - 1), t0);
}

HistorySensor Hist(const std::string& serial, int64_t last, int outcome, double extended, int64_t lastGood)
{
    HistorySensor h;
    h.serial = serial;
    h.place = 7;
    h.label = "from_history";
    h.lastTimeMs = last;
    h.lastOutcome = outcome;
    h.lastExtended = extended;
    h.lastGoodMs = lastGood;
    return h;
}

TEST(WebMerge, TheLatestReadingOfEachSensorFromTheFilesAndTheHistory)
{
    WebFolderData data;
    data.logger = "1";
    const std::string a = "10A1B2C3D4E5F601", b = "10A1B2C3D4E5F602", c = "10A1B2C3D4E5F603", d = "10A1B2C3D4E5F604";
    data.pool = {{1000, a, 20, 20.5}, {1000, b, 21, 21.5}, {1000, d, 23, 23.5}};
    data.latest = {{2000, a, 20, 20.25}, {2000, b, 21, 21.25}};
    data.places = {{a, {2, "Kitchen"}}, {b, {1, "Hall"}}};
    data.history = {Hist(a, 2000, HISTORY_GOOD, 20.25, 2000),  // the same as tempu.csv
                    Hist(b, 3000, HISTORY_CRC, 21.25, 2000),   // failed after tempu.csv's line
                    Hist(c, 3000, HISTORY_NO_PRESENCE, 0, 0),  // never read well, not in the files
                    Hist(d, 500, HISTORY_GOOD, 23.0, 500)};    // older than its pool record
    std::vector<WebSensor> sensors = WebMergeSensors(data);
    ASSERT_EQ(sensors.size(), 4u);
    // Place order, the history's place for sensors without a table line.
    EXPECT_EQ(sensors[0].serial, b);
    EXPECT_EQ(sensors[0].label, "Hall");
    EXPECT_EQ(sensors[0].outcome, HISTORY_CRC);
    EXPECT_FALSE(sensors[0].hasTemperature);
    EXPECT_EQ(sensors[0].timeMs, 3000);
    EXPECT_EQ(sensors[1].serial, a);
    EXPECT_EQ(sensors[1].outcome, HISTORY_GOOD);
    EXPECT_DOUBLE_EQ(sensors[1].temperature, 20.25);
    EXPECT_EQ(sensors[2].place, 7);
    EXPECT_EQ(sensors[2].outcome, HISTORY_NO_PRESENCE);
    EXPECT_EQ(sensors[3].serial, d);
    EXPECT_DOUBLE_EQ(sensors[3].temperature, 23.5);
    EXPECT_EQ(sensors[3].timeMs, 1000);
    EXPECT_EQ(WebLastCycleMs(sensors), 3000);

    // The JSON: a failed latest reading has no temperature; markup stays text in a JSON string.
    nlohmann::json j = WebSensorJson(sensors[0], 3000 + 1000, 60000);
    EXPECT_TRUE(j["temperature"].is_null());
    EXPECT_EQ(j["outcome"], "crc");
    EXPECT_EQ(j["time"], HistoryFormatTime(3000));
    EXPECT_EQ(j["stale"], false);
    WebSensor odd = sensors[1];
    odd.label = std::string("<b>\xff\xfe</b>");
    std::string text = WebDump(WebSensorJson(odd, 0, 60000));
    EXPECT_NE(text.find("<b>\xEF\xBF\xBD\xEF\xBF\xBD</b>"), std::string::npos) << text;  // replaced, not thrown
}

TEST(WebAuth, PasswordFilesHeadersAndHashes)
{
    // openssl passwd -6 -salt abcdefgh secret
    const std::string hash = "$6$abcdefgh$ltjgWl6579NluT/Vi1nwEvcil.G5Nbc4NiXZaNGStk8PSwGfQv72N2CKPPrVACtLtip/cZ/1GM/O6IND4WQhG.";
    std::map<std::string, std::string> users;
    std::string error;
    ASSERT_TRUE(WebParsePasswordFile("# users\r\n\nanna:" + hash + "\r\n bert:$y$j9T$x$y \n", &users, &error)) << error;
    EXPECT_EQ(users.size(), 2u);
    EXPECT_EQ(users["anna"], hash);
    for (auto [file, says] : std::vector<std::pair<std::string, std::string>>{
             {"anna:secret\n", "line 1"}, {"\n:$6$x\n", "line 2"}, {"anna\n", "line 1"}, {"# none\n", "no USER"}})
        EXPECT_FALSE(WebParsePasswordFile(file, &users, &error)) << file;

    std::string user, password;
    struct Case {
        std::string header;
        bool ok;
        std::string user, password;
    } cases[] = {
        {"Basic YW5uYTpzZWNyZXQ=", true, "anna", "secret"},
        {"Basic YW5uYTpzZTpjcmV0", true, "anna", "se:cret"},  // a colon in the password
        {"Basic YW5uYTo=", true, "anna", ""},
        {"Basic YW5uYQ==", false, "", ""},   // no colon
        {"Basic ****", false, "", ""},
        {"Bearer YW5uYTpzZWNyZXQ=", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(WebParseBasicAuth(c.header, &user, &password), c.ok) << c.header;
        if (c.ok) {
            EXPECT_EQ(user, c.user);
            EXPECT_EQ(password, c.password);
        }
    }
    EXPECT_TRUE(WebPasswordMatches("secret", hash));
    EXPECT_FALSE(WebPasswordMatches("Secret", hash));
    EXPECT_FALSE(WebPasswordMatches("secret", "$6$abcdefgh$wrong"));
    EXPECT_FALSE(WebPasswordMatches("secret", "plain"));
}

TEST(WebFolders, IdsFromFolderNamesAreUniqueAndSafe)
{
    auto folders = WebNameFolders({"/var/lib/temp/1", "/srv/a/1/", "/home/x/my logger", "/", "/srv/..", "/x/1"});
    std::vector<std::string> ids;
    for (auto& f : folders)
        ids.push_back(f.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "1-2", "my_logger", "logger", "logger-2", "1-3"}));
    EXPECT_EQ(folders[1].path, "/srv/a/1");
    for (const auto& id : ids)
        EXPECT_TRUE(WebValidLoggerId(id)) << id;
}

}  // namespace
