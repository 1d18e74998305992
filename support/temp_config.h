// temp.conf's settings: what the logger does beyond its data files (history,
// metrics, sensor families). The logger reads the file (logger/config.h); the
// outputs are opened with what it read. The defaults are the plain logger.
#pragma once

#include <array>
#include <cstdint>
#include <string>

constexpr int CONFIG_MAX_FAMILIES = 8;

struct TempConfig {
    // History of every reading (SQLite); relative paths are taken from the
    // working directory.
    bool history = true;
    std::string historyFile = "temp-history.db";
    int historyRawDays = 7;     // 0 keeps raw readings for ever
    int historyMinuteDays = 90; // 0 keeps minute rollups for ever
    int historyHourDays = 0;    // 0 keeps hour rollups for ever
    // Prometheus text file written after every cycle; empty is off.
    std::string metricsFile;
    // The name that labels this logger's series; empty means the working directory.
    std::string metricsName;
    // Families searched, in order; the default is the DS1820 family alone.
    std::array<uint8_t, CONFIG_MAX_FAMILIES> families = {0x10};
    int familyCount = 1;
};
