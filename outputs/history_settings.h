// The history output's temp.conf keys, apart from the output so that a build
// without SQLite (history_off.cpp) judges them the same.
#pragma once

#include <string>

#include "outputs/outputs.h"

struct HistorySettings {
    bool on = true;                        // history
    std::string file = "temp-history.db";  // history-file; relative to the working directory
    int rawDays = 7;                       // history-raw-days; 0 keeps raw readings for ever
    int minuteDays = 90;                   // history-minute-days; 0 keeps minute rollups for ever
    int hourDays = 0;                      // history-hour-days; 0 keeps hour rollups for ever
};

// history, history-file, history-raw-days, history-minute-days, history-hour-days.
extern const char* const HistoryKeys[];
// The ops' `setting`.
int HistorySetting(const char* key, const char* value, std::string* why);
// The settings temp.conf gave, over the defaults.
HistorySettings HistorySettingsOf(const TempConfig& config);
