// Karvix's record decoding, free of any user interface: splitting the capture
// file and the place table into lines, the trailing-blank cut, the time of day
// of a record's stamp (mytime) and the place lookup (myvalue).
//
// Everything works on raw bytes and accepts any input: malformed records give a
// defined text instead of reading out of range.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace karvix {

// The place table as the viewer holds it: slot 0 is always empty, slots 1..N
// are the table file's lines; at least slots 0 and 1 exist.
using TableLines = std::vector<std::string>;

// Lines of a text file. A line ends at CR LF or at a bare LF; a final line
// without a line end still counts; no empty line follows a final line end.
std::vector<std::string> SplitLines(std::string_view bytes);

// The table from the bytes of "Direct Access table.txt" (empty when the file
// is missing or unreadable: every place then reads " - Unknown element").
TableLines TableFromBytes(std::string_view bytes);

// Trailing blanks cut back to one: "ab   " -> "ab ", "ab" stays, "   " -> " ".
std::string CutTrailingBlanks(std::string_view line);

// Prepares one capture file line for display: removes NUL bytes (the gap that a
// record written past the end of the file leaves) and cuts trailing blanks.
std::string CleanRecordLine(std::string_view line);

// True for lines that hold no measurement: a blank record (first character
// ",") or a line that is empty or blank once cleaned.
bool IsSkippedRecord(std::string_view cleanedLine);

// Reads a time stamp field (seconds since 1970 UTC, optional sign and
// fraction, blanks around it allowed) and gives the second of the day shown
// by the viewer: UTC plus one hour, fraction dropped, 0..86399 for any size
// of number. False when the field is not a decimal number.
bool StampSecondOfDay(std::string_view field, int* secondOfDay);

// "HH:MM:SS" for a second of the day 0..86399.
std::string FormatTimeOfDay(int secondOfDay);

// The time text of a record line: "HH:MM:SS" followed by the line from its
// first "," on. A line without "," or whose first field is not a number is
// returned unchanged.
std::string mytime(std::string_view line);

// The place text of a record line: empty when the line begins with ",";
// otherwise " - " and the first table line (from slot 1) whose first 16
// characters equal the 16 characters before the line's second ",", from its
// 17th character on. " - Unknown element" when no line matches, and also when
// the line has fewer than two "," or its second "," stands before position 17.
std::string myvalue(std::string_view rec, const TableLines& table);

// The PLACE number and label that the table gives a serial (the first
// matching line, as myvalue finds it): the words after the serial, the first
// being the number. False when no line matches or the line has no number.
bool PlaceOf(const TableLines& table, std::string_view serial, int* place, std::string* label);

}  // namespace karvix
