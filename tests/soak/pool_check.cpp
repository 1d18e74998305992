#include "pool_check.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "onewire/crc.h"

namespace poolcheck {

namespace {
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// A "%.3f" number: optional '-', digits, '.', three digits.
bool ParseFixed3(std::string_view text, double* value)
{
    size_t i = 0;
    if (i < text.size() && text[i] == '-')
        ++i;
    size_t digits = i;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    if (i == digits || text.size() != i + 4 || text[i] != '.')
        return false;
    for (size_t k = i + 1; k < text.size(); ++k)
        if (!IsDigit(text[k]))
            return false;
    *value = std::strtod(std::string(text).c_str(), nullptr);
    return true;
}
}  // namespace

std::string BlankRecord() { return PadToRecord(",,,,"); }

std::string PadToRecord(std::string_view line)
{
    std::string record(line.substr(0, kRecordText));
    record.resize(kRecordText, ' ');
    return record + "\r\n";
}

bool ParseLine(std::string_view line, Reading* r, std::string* why)
{
    auto fail = [why](const std::string& what) {
        *why = what;
        return false;
    };
    while (!line.empty() && line.back() == ' ')
        line.remove_suffix(1);
    // 10 digits '.' 3 digits ',' 16 hex ',' 20 hex ',' whole ',' extended
    if (line.size() < 15 + 17 + 21 + 2)
        return fail("line too short");
    for (size_t i = 0; i < 10; ++i)
        if (!IsDigit(line[i]))
            return fail("seconds not ten digits");
    if (line[10] != '.' || !IsDigit(line[11]) || !IsDigit(line[12]) || !IsDigit(line[13]) || line[14] != ',')
        return fail("milliseconds malformed");
    r->seconds = std::stoull(std::string(line.substr(0, 10)));
    r->milliseconds = std::stoi(std::string(line.substr(11, 3)));
    for (size_t i = 15; i < 31; ++i)
        if (!IsHex(line[i]))
            return fail("serial not 16 upper-case hex digits");
    r->serial = std::string(line.substr(15, 16));
    if (line[31] != ',' || line.substr(32, 2) != "BE")
        return fail("scratchpad does not start with BE");
    for (size_t i = 32; i < 52; ++i)
        if (!IsHex(line[i]))
            return fail("scratchpad not hex");
    for (int b = 0; b < 9; ++b)
        r->scratchpad[b] = static_cast<uint8_t>(HexValue(line[34 + 2 * b]) * 16 + HexValue(line[35 + 2 * b]));
    if (line[52] != ',')
        return fail("no comma after scratchpad");
    if (Crc8Of(r->scratchpad, 9) != 0)
        return fail("scratchpad CRC8 wrong");
    std::string_view rest = line.substr(53);
    size_t comma = rest.find(',');
    if (comma == std::string_view::npos)
        return fail("no extended temperature");
    if (!ParseFixed3(rest.substr(0, comma), &r->whole) || !ParseFixed3(rest.substr(comma + 1), &r->extended))
        return fail("temperature not in %.3f form");
    // Whole degrees from the half-degree register, sign in bit 0 of the MSB.
    int whole = r->scratchpad[0] >> 1;
    if (r->scratchpad[1] & 1)
        whole -= 128;
    if (std::fabs(r->whole - whole) > 1e-9)
        return fail("whole temperature does not match the scratchpad");
    double extended = whole;
    uint8_t remain = r->scratchpad[6], perC = r->scratchpad[7];
    if (perC != 0)
        extended = whole - 0.25 + static_cast<double>(perC - remain) / perC;
    if (std::fabs(r->extended - extended) > 0.0006)
        return fail("extended temperature does not match the scratchpad");
    return true;
}

std::vector<std::string> CheckPoolFile(const std::string& bytes, const std::vector<std::string>& owners)
{
    std::vector<std::string> problems;
    if (bytes.size() % kRecordSize != 0)
        problems.push_back("size " + std::to_string(bytes.size()) + " is not a whole number of records");
    const std::string blank = BlankRecord();
    for (size_t r = 0; r * kRecordSize < bytes.size(); ++r) {
        std::string rec = bytes.substr(r * kRecordSize, kRecordSize);
        std::string where = "record " + std::to_string(r) + ": ";
        if (rec == blank)
            continue;
        if (rec.size() != kRecordSize || rec.substr(kRecordText) != "\r\n") {
            problems.push_back(where + "does not end in CR LF");
            continue;
        }
        Reading reading;
        std::string why;
        if (!ParseLine(std::string_view(rec).substr(0, kRecordText), &reading, &why)) {
            problems.push_back(where + why + ": " + rec.substr(0, kRecordText));
            continue;
        }
        if (r >= owners.size() || owners[r] != reading.serial)
            problems.push_back(where + "holds a reading of " + reading.serial);
    }
    return problems;
}

std::vector<std::string> SplitCrLf(const std::string& bytes, bool* complete)
{
    std::vector<std::string> lines;
    *complete = true;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start));
            *complete = false;
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace poolcheck
