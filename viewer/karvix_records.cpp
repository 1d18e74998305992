#include "karvix_records.h"

#include <cstdio>

namespace karvix {

namespace {

constexpr int kSecondsPerDay = 86400;
// The viewer shows UTC plus one hour, whatever the machine's time zone.
constexpr int kShownOffsetSeconds = 3600;
constexpr size_t kSerialLength = 16;
const char kUnknownPlace[] = " - Unknown element";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::vector<std::string> SplitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        size_t next = end == std::string_view::npos ? bytes.size() : end + 1;
        if (end == std::string_view::npos)
            end = bytes.size();
        else if (end > start && bytes[end - 1] == '\r')
            --end;  // CR LF
        lines.emplace_back(bytes.substr(start, end - start));
        start = next;
    }
    return lines;
}

TableLines TableFromBytes(std::string_view bytes)
{
    TableLines table(2);
    std::vector<std::string> lines = SplitLines(bytes);
    if (lines.size() + 1 > table.size())
        table.resize(lines.size() + 1);
    for (size_t i = 0; i < lines.size(); ++i)
        table[i + 1] = std::move(lines[i]);
    return table;
}

std::string CutTrailingBlanks(std::string_view line)
{
    size_t last = line.find_last_not_of(' ');
    if (last == std::string_view::npos)
        return line.empty() ? std::string() : std::string(" ");
    // Keep one blank after the last non-blank character, if there was one.
    return std::string(line.substr(0, last + 2 <= line.size() ? last + 2 : last + 1));
}

std::string CleanRecordLine(std::string_view line)
{
    std::string withoutNul;
    withoutNul.reserve(line.size());
    for (char c : line)
        if (c != '\0')
            withoutNul.push_back(c);
    return CutTrailingBlanks(withoutNul);
}

bool IsSkippedRecord(std::string_view cleanedLine)
{
    return cleanedLine.empty() || cleanedLine == " " || cleanedLine.front() == ',';
}

bool StampSecondOfDay(std::string_view field, int* secondOfDay)
{
    size_t first = field.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return false;
    field = field.substr(first, field.find_last_not_of(' ') - first + 1);

    bool negative = false;
    size_t i = 0;
    if (field[i] == '+' || field[i] == '-')
        negative = field[i++] == '-';

    // The whole seconds are only needed modulo one day, so a number of any
    // length is reduced digit by digit without overflow or rounding.
    int wholeModDay = 0;
    bool anyDigit = false;
    for (; i < field.size() && IsDigit(field[i]); ++i) {
        wholeModDay = (wholeModDay * 10 + (field[i] - '0')) % kSecondsPerDay;
        anyDigit = true;
    }
    bool fraction = false;
    if (i < field.size() && field[i] == '.') {
        for (++i; i < field.size() && IsDigit(field[i]); ++i) {
            fraction = fraction || field[i] != '0';
            anyDigit = true;
        }
    }
    if (!anyDigit || i != field.size())
        return false;

    // Whole seconds of floor(stamp): a negative stamp with a fraction lies one
    // second further back.
    int floorModDay = negative ? -wholeModDay - (fraction ? 1 : 0) : wholeModDay;
    int shown = (floorModDay + kShownOffsetSeconds) % kSecondsPerDay;
    if (shown < 0)
        shown += kSecondsPerDay;
    *secondOfDay = shown;
    return true;
}

std::string FormatTimeOfDay(int secondOfDay)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", secondOfDay / 3600, secondOfDay / 60 % 60,
                  secondOfDay % 60);
    return text;
}

std::string mytime(std::string_view line)
{
    size_t comma = line.find(',');
    int secondOfDay = 0;
    if (comma == std::string_view::npos || !StampSecondOfDay(line.substr(0, comma), &secondOfDay))
        return std::string(line);
    return FormatTimeOfDay(secondOfDay) + std::string(line.substr(comma));
}

std::string myvalue(std::string_view rec, const TableLines& table)
{
    if (!rec.empty() && rec.front() == ',')
        return std::string();
    size_t first = rec.find(',');
    size_t second = first == std::string_view::npos ? first : rec.find(',', first + 1);
    // The key is the 16 characters just before the second comma.
    if (second == std::string_view::npos || second < kSerialLength)
        return kUnknownPlace;
    std::string_view key = rec.substr(second - kSerialLength, kSerialLength);
    for (size_t i = 1; i < table.size(); ++i) {
        std::string_view line = table[i];
        if (line.size() >= kSerialLength && line.substr(0, kSerialLength) == key)
            return " - " + std::string(line.substr(kSerialLength));
    }
    return kUnknownPlace;
}

bool PlaceOf(const TableLines& table, std::string_view serial, int* place, std::string* label)
{
    if (serial.size() != kSerialLength)
        return false;
    for (size_t i = 1; i < table.size(); ++i) {
        std::string_view line = table[i];
        if (line.size() < kSerialLength || line.substr(0, kSerialLength) != serial)
            continue;
        // The first match decides, as in myvalue.
        line.remove_prefix(kSerialLength);
        size_t start = line.find_first_not_of(" \t");
        size_t end = start == std::string_view::npos ? start : line.find_first_of(" \t", start);
        if (start == std::string_view::npos || start == 0)
            return false;
        std::string_view number = line.substr(start, end == std::string_view::npos ? end : end - start);
        int value = 0;
        for (char c : number) {
            if (!IsDigit(c) || value > 99999)
                return false;
            value = value * 10 + (c - '0');
        }
        std::string_view rest = end == std::string_view::npos ? std::string_view() : line.substr(end);
        size_t first = rest.find_first_not_of(" \t");
        rest = first == std::string_view::npos ? std::string_view() : rest.substr(first, rest.find_last_not_of(" \t") - first + 1);
        *place = value;
        *label = std::string(rest);
        return true;
    }
    return false;
}

}  // namespace karvix
