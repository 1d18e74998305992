// Independent checks of the Pool Database file temp.pd: every record is the
// blank record or one measurement line padded to 98 characters and CR LF, and
// a measurement line is internally consistent (scratchpad CRC8, temperatures
// decoded from the scratchpad, serial of the sensor owning the record).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace poolcheck {

constexpr size_t kRecordSize = 100;
constexpr size_t kRecordText = 98;

// ",,,," then 94 blanks then CR LF.
std::string BlankRecord();

struct Reading {
    uint64_t seconds = 0;
    int milliseconds = 0;
    std::string serial;          // 16 hex digits
    uint8_t scratchpad[9] = {};  // the nine bytes after the 0xBE command byte
    double whole = 0;
    double extended = 0;
};

// Parses one measurement line (without line end, possibly followed by blanks).
// False with *why set when the line is not a well-formed, self-consistent line.
bool ParseLine(std::string_view line, Reading* reading, std::string* why);

// The line padded to a record: blanks to 98 characters, then CR LF.
std::string PadToRecord(std::string_view line);

// Checks the whole file. `owners[r]` is the serial text whose readings may
// land in record r (empty: only the blank record is allowed). Records past
// owners.size() must be blank. Returns one text per violation.
std::vector<std::string> CheckPoolFile(const std::string& bytes, const std::vector<std::string>& owners);

// Lines of a text file ending in CR LF; a final line without CR LF is
// reported as the last element with `complete` false.
std::vector<std::string> SplitCrLf(const std::string& bytes, bool* complete);

std::string ReadFile(const std::string& path);

}  // namespace poolcheck
