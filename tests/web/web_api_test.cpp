// temp-web's API over fixture folders: every route, ranges across the tiers,
// bad requests with their 4xx and JSON error, and folders that come later.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "history/history_text.h"
#include "tests/common/history_testdb.h"
#include "tests/common/scratch_dir.h"
#include "web/web_api.h"

namespace {

const int64_t kNow = 1796810400000;  // 2026-12-09T10:00:00Z
const int64_t kMin = 60000, kHour = 60 * kMin, kDay = 24 * kHour;
const std::string kA = "10A1B2C3D4E5F601", kB = "10A1B2C3D4E5F602", kNever = "10A1B2C3D4E5F603";

void Write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Line(int64_t ms, const std::string& serial, double t)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "%lld.%03lld,%s,BE3200FFFF00000B1060,%.3f,%.3f \r\n",
                  static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000), serial.c_str(),
                  std::floor(t), t);
    return buf;
}

class WebApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = dir_ / "state";
        one_ = root_ + "/1";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(one_.c_str(), 0755), 0);
        // Sensor A reads well; B's latest reading failed; kNever is in the pool without a reading kept.
        std::string pool = Line(kNow - 10000, kA, 21.5);
        pool.resize(100 - 2, ' ');
        pool += "\r\n";
        std::string record = Line(kNow - 70000, kB, 19.25);
        record.resize(98, ' ');
        pool += record + "\r\n" + std::string(98, ' ').replace(0, 1, ",") + "\r\n";
        Write(one_ + "/temp.pd", pool);
        Write(one_ + "/tempu.csv", Line(kNow - 10000, kA, 21.5));
        Write(one_ + "/Direct Access table.txt",
              kA + " 1 Kitchen\r\n" + kB + " 2 <script>alert(1)</script>\r\n" + kNever + " 3 Cellar\r\n");
        Write(one_ + "/USBerr.txt", "Wed Dec 09 09:58:00.000 first\r\nWed Dec 09 09:59:00.000 second\r\n"
                                    "Wed Dec 09 09:59:50.000 CRC error on 10A1B2C3D4E5F602\r\n");
        HistoryTestDb* db = HistoryTestDbCreate(one_ + "/temp-history.db");
        ASSERT_NE(db, nullptr);
        // Raw: the last 3 days every 10 s for A; hours for 400 days; minutes for 40 days.
        for (int64_t t = kNow - 3 * kDay; t < kNow - 5000; t += 10000)
            HistoryTestDbAddRaw(db, kA, 1, "Kitchen", t, HISTORY_GOOD, 21, 21.5);
        for (int64_t t = kNow - 40 * kDay; t < kNow; t += kMin)
            HistoryTestDbAddRollup(db, HISTORY_MINUTE, kA, 1, "Kitchen", t, 20, 21, 22, 6);
        for (int64_t t = kNow - 400 * kDay; t < kNow; t += kHour)
            HistoryTestDbAddRollup(db, HISTORY_HOUR, kA, 1, "Kitchen", t, 10, 21, 30, 360);
        HistoryTestDbAddRaw(db, kB, 2, "<script>alert(1)</script>", kNow - 70000, HISTORY_GOOD, 19, 19.25);
        HistoryTestDbAddRaw(db, kB, 2, "<script>alert(1)</script>", kNow - 8000, HISTORY_CRC, HISTORY_TESTDB_NULL,
                            HISTORY_TESTDB_NULL);
        ASSERT_EQ(HistoryTestDbClose(db, true), 1);
        source_ = std::make_unique<WebSource>(std::vector<std::string>{}, std::vector<std::string>{root_},
                                              [this] { return now_; });
        api_ = std::make_unique<WebApi>(*source_, std::vector<WebAsset>{{"/", "text/html", "<p>page</p>"}});
    }

    nlohmann::json Get(const std::string& path, const WebParams& params = {}, int status = 200)
    {
        WebResponse r = api_->Get(path, params);
        EXPECT_EQ(r.status, status) << path << " " << r.body;
        if (r.contentType != WEB_JSON_TYPE)
            return r.body;
        return nlohmann::json::parse(r.body);
    }

    ScratchDir dir_{"web_api"};
    std::string root_, one_;
    int64_t now_ = kNow;
    std::unique_ptr<WebSource> source_;
    std::unique_ptr<WebApi> api_;
};

TEST_F(WebApiTest, SensorsLoggersAndEvents)
{
    nlohmann::json sensors = Get("/api/v1/sensors");
    ASSERT_EQ(sensors.size(), 3u) << sensors;
    EXPECT_EQ(sensors[0]["serial"], kA);
    EXPECT_EQ(sensors[0]["logger"], "1");
    EXPECT_EQ(sensors[0]["place"], 1);
    EXPECT_EQ(sensors[0]["label"], "Kitchen");
    EXPECT_EQ(sensors[0]["outcome"], "good");
    EXPECT_EQ(sensors[0]["temperature"], 21.5);
    EXPECT_EQ(sensors[0]["time"], HistoryFormatTime(kNow - 10000));
    EXPECT_EQ(sensors[1]["serial"], kB);
    EXPECT_EQ(sensors[1]["outcome"], "crc");
    EXPECT_TRUE(sensors[1]["temperature"].is_null());
    EXPECT_EQ(sensors[1]["label"], "<script>alert(1)</script>");
    EXPECT_EQ(sensors[2]["serial"], kNever);  // in the place table alone: never read
    EXPECT_EQ(sensors[2]["outcome"], "none");
    EXPECT_EQ(sensors[2]["stale"], true);

    nlohmann::json loggers = Get("/api/v1/loggers");
    ASSERT_EQ(loggers.size(), 1u);
    EXPECT_EQ(loggers[0]["id"], "1");
    EXPECT_EQ(loggers[0]["history"], "ok");
    EXPECT_EQ(loggers[0]["last_cycle"], HistoryFormatTime(kNow - 8000));
    EXPECT_EQ(loggers[0]["cycle_period_s"], 10.0);
    EXPECT_EQ(loggers[0]["events"].back(), "Wed Dec 09 09:59:50.000 CRC error on 10A1B2C3D4E5F602");

    nlohmann::json events = Get("/api/v1/loggers/1/events", {{"n", "2"}});
    EXPECT_EQ(events["events"].size(), 2u);
    EXPECT_EQ(events["events"][0], "Wed Dec 09 09:59:00.000 second");
    nlohmann::json overview = Get("/api/v1/overview");
    EXPECT_EQ(overview["loggers"][0]["sensors"].size(), 3u);
    EXPECT_EQ(Get("/").get<std::string>(), "<p>page</p>");

    // Later a reading is old: stale.
    now_ = kNow + kHour;
    EXPECT_EQ(Get("/api/v1/sensors")[0]["stale"], true);
}

TEST_F(WebApiTest, HistoryRangesAcrossTheTiers)
{
    struct Case {
        std::string from, to;
        std::string points;
        const char* tier;
        size_t maxPoints;
    } cases[] = {
        {"1h", "", "", "raw", 361},
        {"2026-12-08T10:00:00Z", "2026-12-09T10:00:00Z", "100", "raw", 100},
        {"7d", "", "", "minute", 1000},
        {"365d", "", "500", "hour", 500},
        {"first", "", "5000", "hour", 5000},
        // An hour 20 days ago: raw rows are gone there, minutes hold it.
        {std::to_string((kNow - 20 * kDay) / 1000), std::to_string((kNow - 20 * kDay + kHour) / 1000), "", "minute", 60},
        // An hour 100 days ago: only hours.
        {std::to_string((kNow - 100 * kDay) / 1000), std::to_string((kNow - 100 * kDay + kHour) / 1000), "", "hour", 1},
    };
    for (const Case& c : cases) {
        WebParams params{{"from", c.from}};
        if (!c.to.empty())
            params.insert({"to", c.to});
        if (!c.points.empty())
            params.insert({"points", c.points});
        nlohmann::json s = Get("/api/v1/sensors/" + kA + "/history", params);
        EXPECT_EQ(s["tier"], c.tier) << c.from;
        EXPECT_GT(s["points"].size(), 0u) << c.from;
        EXPECT_LE(s["points"].size(), c.maxPoints) << c.from;
        for (const auto& p : s["points"]) {
            EXPECT_LE(p[1].get<double>(), p[2].get<double>());
            EXPECT_LE(p[2].get<double>(), p[3].get<double>());
        }
        // Every tier is kept without a gap here: no two neighbouring points may look like one.
        const auto& p = s["points"];
        for (size_t i = 1; i < p.size(); ++i)
            ASSERT_LE(p[i][0].get<int64_t>() - p[i - 1][0].get<int64_t>(), s["gap_ms"].get<int64_t>())
                << c.from << " point " << i;
    }
    // 30 days of minutes at 500 points: whole hours (2 h) a point, answered by the hour rows (the
    // fixture's hour rows have a wider band than its minutes, so their band shows where they answered).
    nlohmann::json month = Get("/api/v1/sensors/" + kA + "/history",
                               {{"from", "30d"}, {"to", std::to_string((kNow - kMin) / 1000)}, {"points", "500"}});
    EXPECT_EQ(month["tier"], "minute");
    ASSERT_EQ(month["points"].size(), 361u);
    EXPECT_EQ(month["points"][0][0], kNow - kMin - 30 * kDay);
    EXPECT_EQ(month["points"][1][0], kNow - 30 * kDay + kHour);
    EXPECT_EQ(month["points"][0][4], 6 + 360);   // the minute 09:59 of the first hour, then the hour 10:00
    EXPECT_EQ(month["points"][1][1], 10.0);      // hours
    EXPECT_EQ(month["points"][359][4], 2 * 360);
    EXPECT_EQ(month["points"][360][1], 20.0);    // the hour `to` lies in: minutes, up to `to`
    EXPECT_EQ(month["points"][360][4], 59 * 6);
    // The hour rows keep their band through the thinning; lowercase serials work.
    nlohmann::json year = Get("/api/v1/sensors/10a1b2c3d4e5f601/history", {{"from", "365d"}, {"points", "100"}});
    EXPECT_EQ(year["points"][0][1], 10.0);
    EXPECT_EQ(year["points"][0][3], 30.0);
    // The failed reading is a point without values.
    nlohmann::json b = Get("/api/v1/sensors/" + kB + "/history", {{"from", "1h"}});
    ASSERT_EQ(b["points"].size(), 2u);
    EXPECT_TRUE(b["points"][1][2].is_null());
    EXPECT_EQ(b["points"][1][5], 1);
    // A sensor with no reading kept: an empty series, not an error.
    EXPECT_EQ(Get("/api/v1/sensors/" + kNever + "/history")["points"].size(), 0u);

    // The export streams the columns of temp-history export.
    WebResponse csv = api_->Get("/api/v1/sensors/" + kA + "/export", {{"from", "2h"}, {"tier", "raw"}});
    ASSERT_TRUE(csv.stream);
    std::string out;
    csv.stream([&out](const std::string& piece) {
        out += piece;
        return true;
    });
    std::string header;
    HistoryCsvHeader(HISTORY_RAW, &header);
    EXPECT_EQ(out.substr(0, header.size()), header);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 720);
}

// The numbers-only selection the thinning reads agrees with the full one, row by row, in every tier.
TEST_F(WebApiTest, NumbersOnlyRowsEqualTheFullSelection)
{
    std::string error;
    HistoryReader* reader = HistoryOpenReader(one_ + "/temp-history.db", &error);
    ASSERT_NE(reader, nullptr) << error;
    for (const std::string& serial : {kA, kB, kNever})
        for (int t = 0; t < HISTORY_TIER_COUNT; ++t) {
            HistoryQuery query;
            query.tier = static_cast<HistoryTier>(t);
            query.serial = serial;
            query.fromMs = kNow - 2 * kDay;
            query.toMs = kNow - kDay;
            if (serial == kB)
                query.fromMs = 0, query.toMs = INT64_MAX;
            std::vector<HistoryPoint> full;
            ASSERT_EQ(HistorySelect(reader, query, &full, &error), 1) << error;
            std::vector<HistoryValues> lean;
            ASSERT_EQ(HistorySelectValues(reader, query.tier, serial, query.fromMs, query.toMs,
                                          [&](const HistoryValues& v) {
                                              lean.push_back(v);
                                              return 1;
                                          }, &error), 1) << error;
            ASSERT_EQ(lean.size(), full.size()) << serial << " tier " << t;
            for (size_t i = 0; i < full.size(); ++i) {
                EXPECT_EQ(lean[i].timeMs, full[i].timeMs);
                EXPECT_EQ(lean[i].count, full[i].count);
                if (full[i].count > 0) {
                    EXPECT_EQ(lean[i].min, full[i].min);
                    EXPECT_EQ(lean[i].mean, full[i].mean);
                    EXPECT_EQ(lean[i].max, full[i].max);
                } else {
                    EXPECT_TRUE(std::isnan(lean[i].mean));
                    EXPECT_EQ(lean[i].failed, t == HISTORY_RAW ? 1 : full[i].failed);
                }
            }
        }
    HistoryCloseReader(reader);
}

TEST_F(WebApiTest, BadRequestsGetTheir4xxAndAJsonError)
{
    struct Case {
        std::string path;
        WebParams params;
        int status;
        std::string says;
    } cases[] = {
        {"/api/v1/sensors/10A1B2C3D4E5F6/history", {}, 400, "bad serial"},
        {"/api/v1/sensors/..%2F..%2Fetc%2Fpasswd/history", {}, 400, "bad serial"},
        {"/api/v1/sensors/FFFFFFFFFFFFFFFF/history", {}, 404, "no logger has a sensor FFFFFFFFFFFFFFFF"},
        {"/api/v1/sensors/" + kA + "/history", {{"from", "yesterday"}}, 400, "from:"},
        {"/api/v1/sensors/" + kA + "/history", {{"to", "2026-13-01"}}, 400, "to:"},
        {"/api/v1/sensors/" + kA + "/history", {{"from", "1700000000"}, {"to", "1600000000"}}, 400, "before"},
        {"/api/v1/sensors/" + kA + "/history", {{"from", "-99999999999"}}, 400, "200 years"},
        {"/api/v1/sensors/" + kA + "/history", {{"from", "365d"}, {"tier", "raw"}}, 400, "raw tier"},
        {"/api/v1/sensors/" + kA + "/history", {{"tier", "second"}}, 400, "tier:"},
        {"/api/v1/sensors/" + kA + "/history", {{"points", "0"}}, 400, "points:"},
        {"/api/v1/sensors/" + kA + "/history", {{"points", "100000"}}, 400, "points:"},
        {"/api/v1/sensors/" + kA + "/history", {{"from", "1h"}, {"from", "2h"}}, 400, "twice"},
        {"/api/v1/sensors/" + kA + "/history", {{"path", "/etc/passwd"}}, 400, "unknown parameter path"},
        {"/api/v1/sensors/" + kA + "/history", {{"logger", "../1"}}, 400, "bad logger id"},
        {"/api/v1/sensors/" + kA + "/history", {{"logger", "2"}}, 404, "no logger 2"},
        {"/api/v1/loggers/../events", {}, 400, "bad logger id"},
        {"/api/v1/loggers/1/events", {{"n", "1000000"}}, 400, "n:"},
        {"/api/v1/loggers/9/events", {}, 404, "no logger 9"},
        {"/api/v1/../../etc/passwd", {}, 404, "no such API path"},
        {"/etc/passwd", {}, 404, "no such page"},
        {"/api/v2/sensors", {}, 404, "no such page"},
        {"/api/v1/sensors/" + kA, {}, 404, "no such API path"},
    };
    for (const Case& c : cases) {
        nlohmann::json error = Get(c.path, c.params, c.status);
        ASSERT_TRUE(error.contains("error")) << c.path;
        EXPECT_NE(error["error"].get<std::string>().find(c.says), std::string::npos) << c.path << ": " << error;
    }
}

TEST_F(WebApiTest, AFolderMadeLaterIsPickedUpAndAFolderWithoutHistoryServes)
{
    std::string two = root_ + "/2";
    ASSERT_EQ(mkdir(two.c_str(), 0755), 0);
    Write(two + "/tempu.csv", Line(kNow - 1000, kB, 5.5));
    now_ += WebSource::WEB_RESCAN_MS;  // the next scan
    nlohmann::json loggers = Get("/api/v1/loggers");
    ASSERT_EQ(loggers.size(), 2u);
    EXPECT_EQ(loggers[1]["id"], "2");
    EXPECT_EQ(loggers[1]["history"], "none");
    nlohmann::json history = Get("/api/v1/sensors/" + kB + "/history", {{"logger", "2"}}, 404);
    EXPECT_NE(history["error"].get<std::string>().find("keeps no history"), std::string::npos);
    // A changed tempu.csv shows at once (no rescan needed).
    Write(two + "/tempu.csv", Line(kNow, kB, 16.5));
    nlohmann::json sensors = Get("/api/v1/sensors");
    EXPECT_EQ(sensors.back()["temperature"], 16.5);
}

}  // namespace

// The history file the logger's temp.conf names is the one read: relative to the folder or absolute, none
// where the history is off; a changed temp.conf is read again.
TEST_F(WebApiTest, TheHistoryFileTempConfNames)
{
    const std::string path = "/api/v1/sensors/" + kA + "/history";
    ASSERT_EQ(mkdir((one_ + "/kept").c_str(), 0755), 0);
    for (const char* suffix : {"", "-wal", "-shm"})
        ASSERT_EQ(rename((one_ + "/temp-history.db" + suffix).c_str(), (one_ + "/kept/h.db" + suffix).c_str()), 0);
    struct Case {
        std::string conf;
        int status;
        const char* history;
    } cases[] = {
        {"", 404, "none"},                                                  // the default name: gone
        {"history-file = kept/h.db   # moved\r\n", 200, "ok"},              // relative to the folder
        {"history-file = " + one_ + "/kept/h.db\n", 200, "ok"},             // absolute
        {"history-file = kept/h.db\nhistory = off\n", 404, "none"},         // off
        {"history = maybe\nhistory-file =\nhistory-file = kept/h.db\n", 200, "ok"},  // bad values skipped
    };
    for (const Case& c : cases) {
        Write(one_ + "/temp.conf", c.conf);
        now_ += 1000;
        Get(path, {}, c.status);
        EXPECT_EQ(Get("/api/v1/loggers")[0]["history"], c.history) << c.conf;
        if (c.status == 200) {
            EXPECT_GT(Get(path)["points"].size(), 0u) << c.conf;
        }
    }
}
