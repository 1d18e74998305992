#include "web/web_api.h"

#include <algorithm>
#include <cctype>

#include "history/history_text.h"

namespace {

constexpr int64_t kDayMs = int64_t{86400} * 1000;
// No range of one request spans more than this (about 200 years).
constexpr int64_t kMaxSpanMs = int64_t{200} * 366 * kDayMs;

std::vector<std::string> Segments(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (!parts.empty() && parts.back().empty())
        parts.pop_back();
    return parts;
}

// The single value of a parameter; false when it is given twice.
bool Param(const WebParams& params, const std::string& name, std::string* value, bool* twice)
{
    auto range = params.equal_range(name);
    if (range.first == range.second)
        return false;
    if (std::next(range.first) != range.second)
        *twice = true;
    *value = range.first->second;
    return true;
}

WebResponse Json(const nlohmann::json& value)
{
    WebResponse r;
    r.body = WebDump(value);
    return r;
}

nlohmann::json LoggerJson(const WebLoggerState& logger, int64_t nowMs)
{
    nlohmann::json j;
    j["id"] = logger.folder.id;
    j["folder"] = logger.folder.path;
    j["last_cycle"] = logger.lastCycleMs ? nlohmann::json(HistoryFormatTime(logger.lastCycleMs)) : nlohmann::json();
    j["last_cycle_age_s"] = logger.lastCycleMs ? nlohmann::json((nowMs - logger.lastCycleMs) / 1000) : nlohmann::json();
    j["cycle_period_s"] = logger.periodMs / 1000.0;
    j["stale"] = WebIsStale(logger.lastCycleMs, nowMs, logger.periodMs);
    j["failed_today"] = logger.failedToday;
    j["sensors"] = logger.sensors.size();
    int stale = 0, failing = 0;
    for (const WebSensor& s : logger.sensors) {
        stale += WebIsStale(s.timeMs, nowMs, logger.periodMs) ? 1 : 0;
        failing += s.outcome > HISTORY_GOOD ? 1 : 0;
    }
    j["stale_sensors"] = stale;
    j["failing_sensors"] = failing;
    j["history"] = logger.hasHistory ? (logger.historyProblem.empty() ? "ok" : "error") : "none";
    if (!logger.historyProblem.empty())
        j["history_problem"] = logger.historyProblem;
    j["events"] = logger.events;
    return j;
}

}  // namespace

WebResponse WebError(int status, const std::string& message)
{
    WebResponse r;
    r.status = status;
    r.body = WebDump(WebErrorJson(message));
    return r;
}

WebApi::WebApi(WebSource& source, std::vector<WebAsset> assets) : source_(source), assets_(std::move(assets)) {}

WebResponse WebApi::Get(const std::string& path, const WebParams& params)
{
    for (const WebAsset& asset : assets_)
        if (path == asset.path) {
            WebResponse r;
            r.contentType = asset.contentType;
            r.body = asset.body;
            return r;
        }
    std::vector<std::string> s = Segments(path);
    if (s.size() < 2 || s[0] != "api" || s[1] != "v1")
        return WebError(404, "no such page: " + path.substr(0, 200));
    s.erase(s.begin(), s.begin() + 2);
    if (s.size() == 1 && s[0] == "overview")
        return Overview();
    if (s.size() == 1 && s[0] == "sensors")
        return Sensors();
    if (s.size() == 1 && s[0] == "loggers")
        return Loggers();
    if (s.size() == 3 && s[0] == "loggers" && s[2] == "events")
        return Events(s[1], params);
    if (s.size() == 3 && s[0] == "sensors" && (s[2] == "history" || s[2] == "export"))
        return History(s[1], params, s[2] == "export");
    return WebError(404, "no such API path: " + path.substr(0, 200));
}

WebResponse WebApi::Overview()
{
    int64_t now = source_.Now();
    nlohmann::json loggers = nlohmann::json::array();
    for (const auto& logger : source_.Loggers()) {
        nlohmann::json j = LoggerJson(*logger, now);
        nlohmann::json sensors = nlohmann::json::array();
        for (const WebSensor& sensor : logger->sensors)
            sensors.push_back(WebSensorJson(sensor, now, logger->periodMs));
        j["sensors"] = std::move(sensors);
        loggers.push_back(std::move(j));
    }
    return Json({{"now", HistoryFormatTime(now)}, {"loggers", std::move(loggers)}});
}

WebResponse WebApi::Sensors()
{
    int64_t now = source_.Now();
    nlohmann::json sensors = nlohmann::json::array();
    for (const auto& logger : source_.Loggers())
        for (const WebSensor& sensor : logger->sensors)
            sensors.push_back(WebSensorJson(sensor, now, logger->periodMs));
    return Json(sensors);
}

WebResponse WebApi::Loggers()
{
    int64_t now = source_.Now();
    nlohmann::json loggers = nlohmann::json::array();
    for (const auto& logger : source_.Loggers())
        loggers.push_back(LoggerJson(*logger, now));
    return Json(loggers);
}

WebResponse WebApi::Events(const std::string& id, const WebParams& params)
{
    if (!WebValidLoggerId(id))
        return WebError(400, "bad logger id (letters, digits, '.', '_', '-')");
    auto logger = source_.Logger(id);
    if (!logger)
        return WebError(404, "no logger " + id);
    int count = 20;
    std::string text;
    bool twice = false;
    if (Param(params, "n", &text, &twice) && (twice || !WebParseCount(text, WEB_MAX_EVENTS, &count)))
        return WebError(400, "n: a number of entries from 1 to " + std::to_string(WEB_MAX_EVENTS));
    return Json({{"logger", id}, {"events", source_.Events(*logger, static_cast<size_t>(count))}});
}

WebResponse WebApi::History(const std::string& serialText, const WebParams& params, bool csv)
{
    if (!WebValidSerial(serialText))
        return WebError(400, "bad serial: 16 hex digits, as the logger prints them");
    std::string serial = serialText;
    for (char& c : serial)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& [name, value] : params)
        if (name != "logger" && name != "from" && name != "to" && name != "points" && name != "tier")
            return WebError(400, "unknown parameter " + name.substr(0, 40) + " (logger, from, to, points, tier)");

    std::string text;
    bool twice = false;
    std::shared_ptr<const WebLoggerState> logger;
    if (Param(params, "logger", &text, &twice)) {
        if (!WebValidLoggerId(text))
            return WebError(400, "bad logger id (letters, digits, '.', '_', '-')");
        logger = source_.Logger(text);
        if (!logger)
            return WebError(404, "no logger " + text);
    } else {
        for (const auto& l : source_.Loggers())
            for (const WebSensor& s : l->sensors)
                if (!logger && s.serial == serial)
                    logger = l;
    }
    if (!logger)
        return WebError(404, "no logger has a sensor " + serial);
    const WebSensor* sensor = nullptr;
    for (const WebSensor& s : logger->sensors)
        if (s.serial == serial)
            sensor = &s;
    if (!sensor)
        return WebError(404, "logger " + logger->folder.id + " has no sensor " + serial);

    int64_t now = source_.Now();
    int64_t to = std::max(now, sensor->timeMs + 1);
    bool fromFirst = false;
    if (Param(params, "to", &text, &twice) && !WebParseWhen(text, now, &to))
        return WebError(400, "to: a time as ISO-8601 (2026-12-09T10:00:00Z) or seconds since 1970");
    int64_t from = to - kDayMs;
    if (Param(params, "from", &text, &twice)) {
        fromFirst = text == "first";
        // A span ("24h") reaches back from the range's end.
        if (!fromFirst && !WebParseWhen(text, to, &from))
            return WebError(400, "from: a time as ISO-8601 (2026-12-09T10:00:00Z), seconds since 1970 or first");
    }
    int points = WEB_DEFAULT_POINTS;
    if (Param(params, "points", &text, &twice) && !WebParseCount(text, WEB_MAX_POINTS, &points))
        return WebError(400, "points: a number from 1 to " + std::to_string(WEB_MAX_POINTS));
    int tierParam = -1;
    if (Param(params, "tier", &text, &twice) && text != "auto") {
        tierParam = HistoryTierFromName(text);
        if (tierParam < 0)
            return WebError(400, "tier: raw, minute, hour or auto");
    }
    if (twice)
        return WebError(400, "a parameter is given twice");

    std::string error;
    HistoryReader* reader = source_.OpenHistory(*logger, &error);
    if (!reader)
        return WebError(404, error);
    // Each tier's first row of this sensor: where a tier's rows were pruned.
    int64_t first[HISTORY_TIER_COUNT] = {0, 0, 0};
    for (int tier = 0; tier < HISTORY_TIER_COUNT; ++tier) {
        HistorySelectValues(reader, static_cast<HistoryTier>(tier), serial, INT64_MIN, INT64_MAX,
                            [&](const HistoryValues& v) {
                                first[tier] = v.timeMs;
                                return 0;
                            }, &error);
    }
    if (fromFirst) {
        from = WebFirstMs(first);
        if (from == 0 || from >= to)
            from = to - 1;
    }
    if (from >= to)
        return HistoryCloseReader(reader), WebError(400, "from must lie before to");
    if (to - from > kMaxSpanMs)
        return HistoryCloseReader(reader), WebError(400, "the range spans more than 200 years");
    HistoryTier tier = tierParam >= 0 ? static_cast<HistoryTier>(tierParam) : WebChooseTier(from, to, first);
    if (tier == HISTORY_RAW && to - from > WEB_RAW_MAX_SPAN_MS)
        return HistoryCloseReader(reader), WebError(400, "the raw tier serves at most 31 days at once; ask for minute or hour");

    HistoryQuery query;
    query.tier = tier;
    query.serial = serial;
    query.fromMs = from;
    query.toMs = to;
    if (csv) {
        HistoryCloseReader(reader);
        WebResponse r;
        r.contentType = "text/csv; charset=utf-8";
        r.fileName = serial + "-" + HistoryTierName(tier) + ".csv";
        std::string dbPath = logger->historyPath;
        r.stream = [dbPath, query](const std::function<bool(const std::string&)>& write) {
            std::string error;
            HistoryReader* reader = HistoryOpenReader(dbPath, &error);
            if (!reader)
                return;
            std::string out;
            HistoryCsvHeader(query.tier, &out);
            bool written = true;
            HistorySelectEach(reader, query, [&](const HistoryPoint& point) {
                HistoryCsvRow(query.tier, point, &out);
                if (out.size() >= (1 << 16)) {
                    written = write(out);
                    out.clear();
                }
                return written ? 1 : 0;
            }, &error);
            HistoryCloseReader(reader);
            if (written && !out.empty())
                write(out);
        };
        return r;
    }
    // Minutes thinned to an hour or more a point: whole hours, so that the hour rows answer for most of them.
    const auto maxPoints = static_cast<size_t>(points);
    WebThinner thinner = tier == HISTORY_MINUTE && WebThinner::HourIntervalsFit(from, to, maxPoints)
                             ? WebThinner::HourIntervals(from, to, maxPoints)
                             : WebThinner(from, to, maxPoints);
    bool ok = WebSelectThinned(reader, tier, serial, from, to, &thinner, true, &error);
    HistoryCloseReader(reader);
    if (!ok)
        return WebError(500, error);
    // Points of neighbouring intervals lie up to an interval further apart than the rows they start with.
    int64_t gapMs = WebGapMs(tier, logger->periodMs) + thinner.IntervalMs();
    nlohmann::json j = WebSeriesJson(logger->folder.id, serial, tier, from, to, gapMs, thinner.Take());
    j["place"] = sensor->place >= 0 ? nlohmann::json(sensor->place) : nlohmann::json();
    j["label"] = sensor->label;
    nlohmann::json firsts;
    for (int t = 0; t < HISTORY_TIER_COUNT; ++t)
        firsts[HistoryTierName(static_cast<HistoryTier>(t))] =
            first[t] ? nlohmann::json(HistoryFormatTime(first[t])) : nlohmann::json();
    j["first"] = std::move(firsts);
    return Json(j);
}
