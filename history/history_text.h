// Text forms of the history for people and other programs: CSV rows with
// ISO-8601 UTC times and '.' as the decimal point whatever the locale, outcome
// names, and the WHEN arguments of temp-history (a date/time or a span back
// from now). Shared by temp-history and the viewer's chart.
#pragma once

#include <cstdint>
#include <string>

#include "history/history.h"

// "good", "no-presence", "crc", "conversion-incomplete", "count-per-c-zero",
// "power-on-value"; "unknown" for any other number.
const char* HistoryOutcomeName(int outcome);

// A temperature with four decimals and '.' ("21.0625", "-0.5000").
std::string HistoryFormatValue(double value);

// "2026-12-08T10:00:00.250Z" (milliseconds always shown).
std::string HistoryFormatTime(int64_t timeMs);

// The CSV header line of a tier, with its line end:
//   raw:     time,serial,place,label,outcome,whole,extended
//   rollups: time,serial,place,label,min,mean,max,count
void HistoryCsvHeader(HistoryTier tier, std::string* out);
// Appends one point as a CSV line of that tier. An empty field for a value
// the reading lacks; the place is empty for none; labels are quoted when
// they hold a comma, a quote or a line end.
void HistoryCsvRow(HistoryTier tier, const HistoryPoint& point, std::string* out);

// A WHEN argument: "2026-12-08", "2026-12-08T10:30", "2026-12-08 10:30:15",
// "2026-12-08T10:30:15.250" (UTC, or the offset from UTC that follows:
// "Z", "+01:00", "-0500", "+01"), or a span back from `nowMs`: a number
// followed by s, m (minutes), h, d or w ("90s", "24h", "7d"). 1, or 0 for
// bad text and for dates that don't exist ("2026-02-31").
int HistoryParseWhen(const std::string& text, int64_t nowMs, int64_t* timeMs);
