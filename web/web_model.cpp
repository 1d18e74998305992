#include "web/web_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <crypt.h>

#include "history/history_text.h"

namespace {

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsUpperSerial(std::string_view text)
{
    return text.size() == 16 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
           });
}

// A decimal number filling the whole field ("25.063", "-0.5", "1700000000.123").
bool ParseNumber(std::string_view field, double* value)
{
    std::string text(field);
    if (text.empty() || text.size() > 40)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+'))
            return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

std::vector<std::string_view> SplitFields(std::string_view line, char separator)
{
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        size_t at = line.find(separator, start);
        fields.push_back(line.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos)
            return fields;
        start = at + 1;
    }
}

std::vector<std::string_view> SplitLinesOf(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string Trim(std::string_view text)
{
    size_t a = text.find_first_not_of(" \t");
    if (a == std::string_view::npos)
        return "";
    size_t b = text.find_last_not_of(" \t");
    return std::string(text.substr(a, b - a + 1));
}

}  // namespace

bool WebParseMeasurementLine(std::string_view line, WebMeasurement* out)
{
    std::string clean;
    for (char c : line)
        if (c != '\0' && c != '\r')
            clean += c;
    std::vector<std::string_view> fields = SplitFields(clean, ',');
    if (fields.size() != 5)
        return false;
    double stamp = 0, whole = 0, extended = 0;
    std::string serial = Trim(fields[1]);
    if (!ParseNumber(Trim(fields[0]), &stamp) || !IsUpperSerial(serial) || !ParseNumber(Trim(fields[3]), &whole)
        || !ParseNumber(Trim(fields[4]), &extended))
        return false;
    out->timeMs = static_cast<int64_t>(std::llround(stamp * 1000.0));
    out->serial = serial;
    out->whole = whole;
    out->extended = extended;
    return true;
}

std::vector<WebMeasurement> WebParseMeasurements(std::string_view bytes)
{
    std::vector<WebMeasurement> all;
    for (std::string_view line : SplitLinesOf(bytes)) {
        WebMeasurement m;
        if (WebParseMeasurementLine(line, &m))
            all.push_back(std::move(m));
    }
    return all;
}

std::map<std::string, WebPlace> WebParsePlaceTable(std::string_view bytes)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : bytes) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    std::map<std::string, WebPlace> places;
    for (size_t i = 0; i + 2 < words.size(); i += 3) {
        double number = 0;
        if (!IsUpperSerial(words[i]) || !ParseNumber(words[i + 1], &number) || number != std::floor(number)
            || std::fabs(number) > 1e9)
            continue;
        places.emplace(words[i], WebPlace{static_cast<int>(number), words[i + 2]});
    }
    return places;
}

std::string WebHistoryFile(std::string_view tempConf)
{
    bool on = true;
    std::string file = "temp-history.db";
    for (std::string_view line : SplitLinesOf(tempConf)) {
        line = line.substr(0, line.find('#'));
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string key = Trim(line.substr(0, equals)), value = Trim(line.substr(equals + 1));
        if (key == "history-file" && !value.empty())
            file = value;
        if (key == "history" && (value == "on" || value == "yes" || value == "true" || value == "1"))
            on = true;
        if (key == "history" && (value == "off" || value == "no" || value == "false" || value == "0"))
            on = false;
    }
    return on ? file : "";
}

std::vector<std::string> WebLastLines(std::string_view bytes, size_t count)
{
    std::vector<std::string> lines;
    for (std::string_view line : SplitLinesOf(bytes))
        if (!Trim(line).empty())
            lines.emplace_back(line);
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}

bool WebValidSerial(std::string_view text)
{
    return text.size() == 16 && std::all_of(text.begin(), text.end(), IsHex);
}

bool WebValidLoggerId(std::string_view text)
{
    if (text.empty() || text.size() > 64 || text == "." || text == "..")
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_'
               || c == '-';
    });
}

bool WebParseWhen(const std::string& text, int64_t nowMs, int64_t* timeMs)
{
    double seconds = 0;
    bool numeric = !text.empty() && text.size() <= 20
                   && text.find_first_not_of("0123456789.-") == std::string::npos
                   && text.find('-', 1) == std::string::npos;
    if (numeric) {
        if (!ParseNumber(text, &seconds) || std::fabs(seconds) > 1e13)
            return false;
        *timeMs = static_cast<int64_t>(std::llround(seconds * 1000.0));
        return true;
    }
    if (text.size() > 40)
        return false;
    return HistoryParseWhen(text, nowMs, timeMs) == 1;
}

bool WebIsStale(int64_t lastMs, int64_t nowMs, int64_t periodMs)
{
    if (lastMs <= 0)
        return true;
    int64_t limit = std::max(WEB_STALE_MIN_MS, WEB_STALE_CYCLES * std::max<int64_t>(periodMs, 0));
    return nowMs - lastMs > limit;
}

int64_t WebCyclePeriod(std::vector<int64_t> timesMs)
{
    std::sort(timesMs.begin(), timesMs.end());
    std::vector<int64_t> steps;
    for (size_t i = 1; i < timesMs.size(); ++i)
        if (timesMs[i] > timesMs[i - 1])
            steps.push_back(timesMs[i] - timesMs[i - 1]);
    if (steps.empty())
        return WEB_DEFAULT_PERIOD_MS;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
    return steps[steps.size() / 2];
}

HistoryTier WebChooseTier(int64_t fromMs, int64_t toMs, const int64_t firstMs[HISTORY_TIER_COUNT])
{
    // The bucket of the next coarser tier: a finer tier's first reading may
    // lie that far after the coarser tier's bucket start and still be whole.
    constexpr int64_t kCoarserBucket[HISTORY_TIER_COUNT] = {60000, 3600000, 0};
    int tier = HistoryTierForSpan(toMs - fromMs);
    // A tier that has lost the start of the range to pruning (or never had
    // it) gives way to a coarser one that holds a whole bucket before it.
    while (tier < HISTORY_HOUR) {
        bool missesStart = firstMs[tier] == 0 || firstMs[tier] - fromMs > kCoarserBucket[tier];
        bool coarserHolds = firstMs[tier + 1] != 0
                            && (firstMs[tier] == 0 || firstMs[tier + 1] + kCoarserBucket[tier] <= firstMs[tier]);
        if (!missesStart || !coarserHolds)
            break;
        ++tier;
    }
    return static_cast<HistoryTier>(tier);
}

int64_t WebFirstMs(const int64_t firstMs[HISTORY_TIER_COUNT])
{
    constexpr int64_t kBucket[HISTORY_TIER_COUNT] = {0, 60000, 3600000};
    int64_t first = 0;
    for (int tier = HISTORY_HOUR; tier >= HISTORY_RAW; --tier) {
        int64_t t = firstMs[tier];
        if (t == 0)
            continue;
        // Inside the coarser tier's first bucket, or older: the finer time is the start.
        if (first == 0 || t < first + kBucket[tier + 1])
            first = t;
    }
    return first;
}

int64_t WebGapMs(HistoryTier tier, int64_t periodMs)
{
    switch (tier) {
    case HISTORY_RAW:
        return std::max<int64_t>(WEB_STALE_CYCLES * std::max<int64_t>(periodMs, 1000), 10000);
    case HISTORY_MINUTE:
        return std::max<int64_t>(3 * 60000, WEB_STALE_CYCLES * periodMs);
    default:
        return std::max<int64_t>(3 * 3600000, WEB_STALE_CYCLES * periodMs);
    }
}

WebThinner::WebThinner(int64_t fromMs, int64_t toMs, size_t maxPoints)
    : from_(fromMs), span_(std::max<int64_t>(toMs - fromMs, 1)), buckets_(std::max<size_t>(maxPoints, 1))
{
}

bool WebThinner::HourIntervalsFit(int64_t fromMs, int64_t toMs, size_t maxPoints)
{
    return toMs > fromMs && static_cast<long double>(toMs - fromMs) / std::max<size_t>(maxPoints, 1) >= WEB_HOUR_MS;
}

WebThinner WebThinner::HourIntervals(int64_t fromMs, int64_t toMs, size_t maxPoints)
{
    WebThinner thinner(fromMs, toMs, maxPoints);
    // Hours from the one `from` lies in to the one `to` ends in, shared out.
    int64_t origin = WebHourStart(fromMs);
    int64_t hours = (toMs - origin + WEB_HOUR_MS - 1) / WEB_HOUR_MS;
    int64_t per = (hours + static_cast<int64_t>(thinner.buckets_) - 1) / static_cast<int64_t>(thinner.buckets_);
    thinner.origin_ = origin;
    thinner.width_ = std::max<int64_t>(per, 1) * WEB_HOUR_MS;
    thinner.buckets_ = static_cast<size_t>((toMs - origin + thinner.width_ - 1) / thinner.width_);
    return thinner;
}

int64_t WebThinner::IntervalMs() const
{
    if (width_ > 0)
        return width_;
    return (span_ + static_cast<int64_t>(buckets_) - 1) / static_cast<int64_t>(buckets_);
}

void WebThinner::Add(const WebPoint& point)
{
    // The interval of the point; points outside [from, to) land in the edge ones.
    int64_t bucket;
    if (width_ > 0) {
        int64_t at = point.timeMs < origin_ ? 0 : (point.timeMs - origin_) / width_;
        bucket = std::min<int64_t>(at, static_cast<int64_t>(buckets_) - 1);
    } else {
        long double at = static_cast<long double>(point.timeMs - from_) * buckets_ / span_;
        bucket = static_cast<int64_t>(std::clamp<long double>(at, 0, buckets_ - 1));
    }
    if (out_.empty() || bucket != currentBucket_) {
        out_.push_back(point);
        if (width_ > 0)
            out_.back().timeMs = std::max(from_, origin_ + bucket * width_);
        currentBucket_ = bucket;
        return;
    }
    WebPoint& merged = out_.back();
    if (point.count > 0) {
        if (merged.count > 0) {
            merged.mean = (merged.mean * merged.count + point.mean * point.count) / (merged.count + point.count);
            merged.min = std::min(merged.min, point.min);
            merged.max = std::max(merged.max, point.max);
        } else {
            merged.min = point.min;
            merged.mean = point.mean;
            merged.max = point.max;
        }
        merged.count += point.count;
    }
    merged.failed += point.failed;
}

std::vector<WebPoint> WebThinner::Take()
{
    return std::move(out_);
}

bool WebParseCount(const std::string& text, int limit, int* value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < 1 || v > limit)
        return false;
    *value = static_cast<int>(v);
    return true;
}

std::vector<WebSensor> WebMergeSensors(const WebFolderData& data)
{
    std::map<std::string, WebSensor> bySerial;
    auto take = [&](const std::string& serial) -> WebSensor& {
        WebSensor& s = bySerial[serial];
        s.logger = data.logger;
        s.serial = serial;
        return s;
    };
    // Good readings of the files: the newest of temp.pd and tempu.csv.
    for (const auto* file : {&data.pool, &data.latest})
        for (const WebMeasurement& m : *file) {
            WebSensor& s = take(m.serial);
            if (m.timeMs >= s.timeMs) {
                s.timeMs = m.timeMs;
                s.outcome = HISTORY_GOOD;
                s.hasTemperature = true;
                s.temperature = m.extended;
            }
        }
    // The history knows failed readings too; a newer one wins.
    for (const HistorySensor& h : data.history) {
        if (!WebValidSerial(h.serial))
            continue;
        WebSensor& s = take(h.serial);
        if (h.lastTimeMs > s.timeMs) {
            s.timeMs = h.lastTimeMs;
            s.outcome = h.lastOutcome;
            s.hasTemperature = h.lastOutcome == HISTORY_GOOD && h.lastGoodMs == h.lastTimeMs;
            s.temperature = s.hasTemperature ? h.lastExtended : 0;
        }
        s.place = h.place;
        s.label = h.label;
    }
    // A sensor of the place table that was never read is shown too (no reading).
    for (const auto& [serial, place] : data.places)
        take(serial);
    std::vector<WebSensor> sensors;
    for (auto& [serial, s] : bySerial) {
        auto place = data.places.find(serial);
        if (place != data.places.end()) {
            s.place = place->second.place;
            s.label = place->second.label;
        }
        sensors.push_back(std::move(s));
    }
    std::stable_sort(sensors.begin(), sensors.end(), [](const WebSensor& a, const WebSensor& b) {
        bool aNone = a.place < 0, bNone = b.place < 0;
        if (aNone != bNone)
            return bNone;
        return a.place < b.place;
    });
    return sensors;
}

int64_t WebLastCycleMs(const std::vector<WebSensor>& sensors)
{
    int64_t last = 0;
    for (const WebSensor& s : sensors)
        last = std::max(last, s.timeMs);
    return last;
}

nlohmann::json WebSensorJson(const WebSensor& sensor, int64_t nowMs, int64_t periodMs)
{
    nlohmann::json j;
    j["logger"] = sensor.logger;
    j["serial"] = sensor.serial;
    j["place"] = sensor.place >= 0 ? nlohmann::json(sensor.place) : nlohmann::json(nullptr);
    j["label"] = sensor.label;
    j["outcome"] = sensor.outcome >= 0 ? HistoryOutcomeName(sensor.outcome) : "none";
    j["time"] = sensor.timeMs > 0 ? nlohmann::json(HistoryFormatTime(sensor.timeMs)) : nlohmann::json(nullptr);
    j["temperature"] = sensor.hasTemperature ? nlohmann::json(sensor.temperature) : nlohmann::json(nullptr);
    j["age_s"] = sensor.timeMs > 0 ? nlohmann::json((nowMs - sensor.timeMs) / 1000) : nlohmann::json(nullptr);
    j["stale"] = WebIsStale(sensor.timeMs, nowMs, periodMs);
    return j;
}

nlohmann::json WebSeriesJson(const std::string& logger, const std::string& serial, HistoryTier tier,
                             int64_t fromMs, int64_t toMs, int64_t gapMs, const std::vector<WebPoint>& points)
{
    nlohmann::json j;
    j["logger"] = logger;
    j["serial"] = serial;
    j["tier"] = HistoryTierName(tier);
    j["from"] = HistoryFormatTime(fromMs);
    j["to"] = HistoryFormatTime(toMs);
    j["gap_ms"] = gapMs;
    j["columns"] = {"t_ms", "min", "mean", "max", "count", "failed"};
    nlohmann::json rows = nlohmann::json::array();
    for (const WebPoint& p : points) {
        auto value = [&](double v) { return p.count > 0 ? nlohmann::json(v) : nlohmann::json(nullptr); };
        rows.push_back({p.timeMs, value(p.min), value(p.mean), value(p.max), p.count, p.failed});
    }
    j["points"] = std::move(rows);
    return j;
}

nlohmann::json WebErrorJson(const std::string& message)
{
    return nlohmann::json{{"error", message}};
}

std::string WebDump(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool WebParsePasswordFile(std::string_view bytes, std::map<std::string, std::string>* users, std::string* error)
{
    users->clear();
    int number = 0;
    for (std::string_view line : SplitLinesOf(bytes)) {
        ++number;
        std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        size_t colon = text.find(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == text.size() || text[colon + 1] != '$') {
            *error = "line " + std::to_string(number) + " is not USER:HASH (a crypt hash, e.g. from openssl passwd -6)";
            return false;
        }
        (*users)[text.substr(0, colon)] = text.substr(colon + 1);
    }
    if (users->empty()) {
        *error = "no USER:HASH line";
        return false;
    }
    return true;
}

bool WebParseBasicAuth(const std::string& header, std::string* user, std::string* password)
{
    const std::string scheme = "Basic ";
    if (header.size() <= scheme.size() || header.compare(0, scheme.size(), scheme) != 0 || header.size() > 1024)
        return false;
    std::string decoded;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = scheme.size(); i < header.size(); ++i) {
        char c = header[i];
        int v = c >= 'A' && c <= 'Z' ? c - 'A'
                : c >= 'a' && c <= 'z' ? c - 'a' + 26
                : c >= '0' && c <= '9' ? c - '0' + 52
                : c == '+' ? 62 : c == '/' ? 63 : c == '=' ? -2 : -1;
        if (v == -1)
            return false;
        if (v == -2)
            break;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if ((count += 6) >= 8) {
            count -= 8;
            decoded += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

bool WebPasswordMatches(const std::string& password, const std::string& hash)
{
    struct crypt_data data {};
    const char* result = crypt_r(password.c_str(), hash.c_str(), &data);
    if (!result || result[0] == '*' || std::string(result).size() != hash.size())
        return false;
    // The whole hash compared, every byte, whatever differs first.
    unsigned char differ = 0;
    for (size_t i = 0; i < hash.size(); ++i)
        differ |= static_cast<unsigned char>(result[i] ^ hash[i]);
    return differ == 0;
}
