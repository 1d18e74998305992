// temp-web's pure logic: reading the loggers' files from their bytes, the
// latest state of each sensor, staleness, the tier that fits a range, the
// thinning of a series, request checks and the JSON forms of the API
// (docs/web.md). No I/O here: web_folder.cpp reads, web_server.cpp serves.
// Every call is safe from any thread (no shared state).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "history/history.h"

// One measurement line of tempu.csv or record of temp.pd:
// "SSSSSSSSSS.mmm,SERIAL,BE...,WHOLE,EXTENDED ".
struct WebMeasurement {
    int64_t timeMs = 0;
    std::string serial;  // 16 upper-case hex digits
    double whole = 0;
    double extended = 0;
};
// False for a line that is not a measurement (blank record, NULs, bad fields).
bool WebParseMeasurementLine(std::string_view line, WebMeasurement* out);
// Every measurement of a file's bytes (CR LF or LF, NULs of a gap dropped).
std::vector<WebMeasurement> WebParseMeasurements(std::string_view bytes);

// The place table: triples SERIAL PLACE LABEL of blank-separated words (line
// ends are blanks), as the logger reads it. The first entry of a serial wins;
// entries whose serial is not 16 upper-case hex digits or whose PLACE is no
// number are skipped.
struct WebPlace {
    int place = -1;
    std::string label;
};
std::map<std::string, WebPlace> WebParsePlaceTable(std::string_view bytes);

// The history file a logger's temp.conf names, from its bytes as the logger
// reads them ("key = value" lines, '#' starts a comment, a later good value
// wins, a bad one is skipped): "history-file" (default temp-history.db), or
// "" where "history" is off.
std::string WebHistoryFile(std::string_view tempConf);

// The last `count` non-empty lines of a text (CR LF or LF), oldest first.
std::vector<std::string> WebLastLines(std::string_view bytes, size_t count);

// 16 hex digits (either case).
bool WebValidSerial(std::string_view text);
// A logger's id: 1..64 of [A-Za-z0-9._-], not "." or "..".
bool WebValidLoggerId(std::string_view text);

// A WHEN of the API: seconds since 1970 ("1700000000", "1700000000.5",
// "-5"), or what temp-history takes (ISO-8601 date/time with optional
// offset, or a span back from now such as "24h"). False for anything else.
bool WebParseWhen(const std::string& text, int64_t nowMs, int64_t* timeMs);

// A sensor is stale when its latest reading of any outcome is more than
// WEB_STALE_CYCLES cycle periods old (at least WEB_STALE_MIN_MS).
constexpr int WEB_STALE_CYCLES = 3;
constexpr int64_t WEB_STALE_MIN_MS = 30000;
constexpr int64_t WEB_DEFAULT_PERIOD_MS = 60000;  // when the period can't be told
bool WebIsStale(int64_t lastMs, int64_t nowMs, int64_t periodMs);
// The cycle period from one sensor's successive reading times (any order):
// the median step, or WEB_DEFAULT_PERIOD_MS with fewer than two times.
int64_t WebCyclePeriod(std::vector<int64_t> timesMs);

// The tier for a range: the one that fits its span (history's rule), or a
// coarser one when the range starts before that tier's oldest row (its rows
// there are pruned). firstMs[tier] is 0 for an empty tier.
HistoryTier WebChooseTier(int64_t fromMs, int64_t toMs, const int64_t firstMs[HISTORY_TIER_COUNT]);
// Where a sensor's readings start, from each tier's first row (0 for an
// empty tier): a rollup's first row is its bucket's start, so a finer tier's
// first reading within that bucket is taken instead.
int64_t WebFirstMs(const int64_t firstMs[HISTORY_TIER_COUNT]);
// Largest range one raw-tier request may span.
constexpr int64_t WEB_RAW_MAX_SPAN_MS = int64_t{31} * 86400 * 1000;
// The distance of neighbouring points past which a chart draws a gap.
int64_t WebGapMs(HistoryTier tier, int64_t periodMs);

// One point of a series as the API gives it. min/mean/max are NaN when the
// point has no good reading (a gap in the chart).
struct WebPoint {
    int64_t timeMs = 0;
    double min = 0, mean = 0, max = 0;
    int count = 0;   // good readings
    int failed = 0;  // failed readings
};

// Thins a series to at most maxPoints as it streams by (points in time
// order): [from, to) is cut into intervals, and the points of one interval
// merge into one (min of mins, max of maxes, mean weighted by count). Memory
// stays O(maxPoints) whatever the rows.
class WebThinner {
public:
    // maxPoints equal intervals; a merged point has its first point's time.
    WebThinner(int64_t fromMs, int64_t toMs, size_t maxPoints);
    // Whole hours instead, where equal intervals would span an hour or more
    // (HourIntervalsFit): intervals of a whole number of hours from the
    // hour `from` lies in, as few hours as keep them within maxPoints. A
    // merged point has its interval's start (`from` for the first). Such an
    // interval holds whole hour rows, so a minute series thins to the same
    // points from its hour rows.
    static bool HourIntervalsFit(int64_t fromMs, int64_t toMs, size_t maxPoints);
    static WebThinner HourIntervals(int64_t fromMs, int64_t toMs, size_t maxPoints);

    void Add(const WebPoint& point);
    std::vector<WebPoint> Take();
    // An interval's width (rounded up): neighbouring points lie less than
    // one interval plus the rows' own spacing apart where no row is missing.
    int64_t IntervalMs() const;
    bool WholeHours() const { return width_ > 0; }

private:
    int64_t from_, span_;
    size_t buckets_;
    int64_t origin_ = 0, width_ = 0;  // whole-hour intervals: the first one's start, the width
    std::vector<WebPoint> out_;
    int64_t currentBucket_ = -1;
};
constexpr int64_t WEB_HOUR_MS = 3600000;
// The start of the hour a time lies in (also before 1970).
constexpr int64_t WebHourStart(int64_t timeMs)
{
    return timeMs - ((timeMs % WEB_HOUR_MS) + WEB_HOUR_MS) % WEB_HOUR_MS;
}

// Request limits.
constexpr int WEB_MAX_POINTS = 5000;
constexpr int WEB_DEFAULT_POINTS = 1000;
constexpr int WEB_MAX_EVENTS = 200;
// A positive integer no larger than `limit`; false for anything else.
bool WebParseCount(const std::string& text, int limit, int* value);

// The latest state of one sensor, merged from the logger's files.
struct WebSensor {
    std::string logger;
    std::string serial;
    int place = -1;          // PLACE number, -1 for none
    std::string label;
    int outcome = -1;        // HistoryOutcome; -1 when unknown (never read)
    int64_t timeMs = 0;      // latest reading of any outcome, 0 for none
    bool hasTemperature = false;
    double temperature = 0;  // the extended temperature of a good latest reading
};
// What one logger's folder holds, as read.
struct WebFolderData {
    std::string logger;
    std::vector<WebMeasurement> pool;    // temp.pd records
    std::vector<WebMeasurement> latest;  // tempu.csv
    std::map<std::string, WebPlace> places;
    std::vector<HistorySensor> history;  // empty without a history
};
// Every sensor any of the files names (the place table's too), with its latest reading: the newest of
// the history's latest reading (which knows failures) and the files' latest
// good readings. Place and label from the place table, else the history's.
// In place order (no place last), then serial.
std::vector<WebSensor> WebMergeSensors(const WebFolderData& data);

// The newest reading time among the sensors (the last cycle), 0 for none.
int64_t WebLastCycleMs(const std::vector<WebSensor>& sensors);

// Basic authentication. The password file holds one "USER:HASH" a line,
// HASH as crypt(3) makes it ("$6$..." from `openssl passwd -6`, "$y$..."
// from `mkpasswd`); blank lines and '#' lines are skipped. False with *error
// naming the line for anything else, or for a file without a user.
bool WebParsePasswordFile(std::string_view bytes, std::map<std::string, std::string>* users, std::string* error);
// User and password of an Authorization header "Basic BASE64(user:password)".
bool WebParseBasicAuth(const std::string& header, std::string* user, std::string* password);
// The password against its crypt(3) hash.
bool WebPasswordMatches(const std::string& password, const std::string& hash);

// JSON forms (docs/web.md). Times are ISO-8601 UTC with milliseconds.
nlohmann::json WebSensorJson(const WebSensor& sensor, int64_t nowMs, int64_t periodMs);
nlohmann::json WebSeriesJson(const std::string& logger, const std::string& serial, HistoryTier tier,
                             int64_t fromMs, int64_t toMs, int64_t gapMs, const std::vector<WebPoint>& points);
nlohmann::json WebErrorJson(const std::string& message);
// Text of a JSON value for a response: invalid UTF-8 in labels or event
// texts is replaced, never thrown on.
std::string WebDump(const nlohmann::json& value);
