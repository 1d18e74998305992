#include "history/history_text.h"

#include <array>
#include <charconv>
#include <cstring>

namespace {

constexpr std::array<const char*, 6> kOutcomeNames{
    "good", "no-presence", "crc", "conversion-incomplete", "count-per-c-zero", "power-on-value"};
static_assert(kOutcomeNames.size() == HISTORY_POWER_ON_VALUE + 1, "one name per stored outcome");

// Four decimals hold every value the sensors give (sixteenths of a degree)
// and the rollups' means closely enough; to_chars ignores the locale.
void AppendNumber(double value, std::string* out)
{
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    out->append(buffer, result.ptr);
}

void AppendInt(int64_t value, std::string* out)
{
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->append(buffer, result.ptr);
}

void AppendField(const std::string& text, std::string* out)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        *out += text;
        return;
    }
    *out += '"';
    for (char c : text) {
        if (c == '"')
            *out += '"';
        *out += c;
    }
    *out += '"';
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil), so no time zone of the machine enters.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The date of a day number (Howard Hinnant's civil_from_days).
void CivilFromDays(int64_t z, int64_t* year, unsigned* month, unsigned* day)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

int ParseSpan(const std::string& text, int64_t nowMs, int64_t* timeMs)
{
    int64_t count = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, count);
    if (ec != std::errc() || ptr != end - 1 || count < 0 || count > 1000000)
        return 0;
    int64_t unitMs;
    switch (*ptr) {
    case 's': unitMs = 1000; break;
    case 'm': unitMs = 60000; break;
    case 'h': unitMs = 3600000; break;
    case 'd': unitMs = 86400000; break;
    case 'w': unitMs = 7 * 86400000LL; break;
    default: return 0;
    }
    *timeMs = nowMs - count * unitMs;
    return 1;
}

}  // namespace

const char* HistoryOutcomeName(int outcome)
{
    const char* name = "unknown";
    if (outcome >= 0 && outcome < static_cast<int>(kOutcomeNames.size()))
        name = kOutcomeNames[static_cast<size_t>(outcome)];
    return name;
}

std::string HistoryFormatValue(double value)
{
    std::string text;
    AppendNumber(value, &text);
    return text;
}

std::string HistoryFormatTime(int64_t timeMs)
{
    // Digits written by hand: an export formats hundreds of thousands.
    int64_t days = (timeMs >= 0 ? timeMs : timeMs - (86400000 - 1)) / 86400000;
    int64_t msOfDay = timeMs - days * 86400000;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    char text[] = "0000-00-00T00:00:00.000Z";
    auto put = [&text](int at, int64_t value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            text[at + i] = static_cast<char>('0' + value % 10);
    };
    if (year < 0 || year > 9999)
        return std::to_string(timeMs) + "ms";
    put(0, year, 4);
    put(5, month, 2);
    put(8, day, 2);
    put(11, msOfDay / 3600000, 2);
    put(14, msOfDay / 60000 % 60, 2);
    put(17, msOfDay / 1000 % 60, 2);
    put(20, msOfDay % 1000, 3);
    return text;
}

void HistoryCsvHeader(HistoryTier tier, std::string* out)
{
    *out += tier == HISTORY_RAW ? "time,serial,place,label,outcome,whole,extended\n"
                                : "time,serial,place,label,min,mean,max,count,failed\n";
}

void HistoryCsvRow(HistoryTier tier, const HistoryPoint& point, std::string* out)
{
    *out += HistoryFormatTime(point.timeMs);
    *out += ',';
    *out += point.serial;
    *out += ',';
    if (point.place >= 0)
        AppendInt(point.place, out);
    *out += ',';
    AppendField(point.label, out);
    *out += ',';
    if (tier == HISTORY_RAW) {
        *out += HistoryOutcomeName(point.outcome);
        *out += ',';
        // A reading whose scratchpad failed its CRC has neither value; a
        // failed one otherwise keeps its whole degrees.
        bool hasWhole = point.outcome != HISTORY_CRC && point.outcome != HISTORY_NO_PRESENCE;
        if (hasWhole)
            AppendNumber(point.whole, out);
        *out += ',';
        if (point.count > 0)
            AppendNumber(point.mean, out);
    } else {
        // A bucket of failed readings only has no values.
        for (double value : {point.min, point.mean, point.max}) {
            if (point.count > 0)
                AppendNumber(value, out);
            *out += ',';
        }
        AppendInt(point.count, out);
        *out += ',';
        AppendInt(point.failed, out);
    }
    *out += '\n';
}

int HistoryParseWhen(const std::string& text, int64_t nowMs, int64_t* timeMs)
{
    if (text.empty())
        return 0;
    if (text.find('-') == std::string::npos)
        return ParseSpan(text, nowMs, timeMs);
    // Fixed positions: YYYY-MM-DD, then [T ]HH:MM, then :SS, then .fraction,
    // then Z or an offset from UTC (+HH:MM, -HHMM, +HH).
    auto digit = [&text](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    auto number = [&](size_t at, size_t digits, int* value) {
        *value = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (!digit(i))
                return false;
            *value = *value * 10 + (text[i] - '0');
        }
        return true;
    };
    auto at = [&text](size_t i, const char* any) { return i < text.size() && std::strchr(any, text[i]) != nullptr; };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (!number(0, 4, &y) || !at(4, "-") || !number(5, 2, &mo) || !at(7, "-") || !number(8, 2, &d))
        return 0;
    size_t i = 10;
    int64_t offsetMs = 0;
    bool offset = false;
    if (i < text.size() && text[i] != 'Z') {
        if (!at(i, "T ") || !number(i + 1, 2, &h) || !at(i + 3, ":") || !number(i + 4, 2, &mi))
            return 0;
        i += 6;
        if (at(i, ":")) {
            if (!number(i + 1, 2, &s))
                return 0;
            i += 3;
            if (at(i, ".,")) {
                size_t first = ++i;
                for (int scale = 100; digit(i); ++i, scale /= 10)
                    ms += (text[i] - '0') * scale;
                if (i == first || i - first > 9)
                    return 0;
            }
        }
        if (at(i, "+-")) {
            int sign = text[i] == '-' ? -1 : 1, oh = 0, om = 0;
            if (!number(i + 1, 2, &oh))
                return 0;
            i += 3;
            if (at(i, ":"))
                ++i;
            if (digit(i)) {
                if (!number(i, 2, &om))
                    return 0;
                i += 2;
            }
            if (oh > 23 || om > 59)
                return 0;
            offsetMs = static_cast<long long>(sign * (oh * 60 + om)) * 60000;
            offset = true;
        }
    }
    if (!offset && at(i, "Z"))
        ++i;
    static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    if (i != text.size() || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || (mo == 2 && d == 29 && !leap)
        || h > 23 || mi > 59 || s > 59)
        return 0;
    *timeMs = ((DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 + mi) *
                  60000LL +
              s * 1000LL + ms - offsetMs;
    return 1;
}
