// temp.conf: the optional settings for what the logger does beyond its data
// files (history, metrics, MQTT, sensor families). A missing file means the
// defaults, and with the defaults the logger is exactly the plain logger.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

constexpr const char* ConfigFileName = "temp.conf";
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
    // MQTT: the broker, "mqtt://host[:port]" or "mqtts://host[:port]"; empty is off.
    std::string mqtt;
    std::string mqttTopic;         // the base topic; empty means temp/<logger>
    std::string mqttUsername;      // empty: no login
    std::string mqttPasswordFile;  // the password's file (never the password itself)
    std::string mqttCaFile;        // CA certificates for mqtts; empty: the system's
    std::string mqttDiscovery = "homeassistant";  // Home Assistant's discovery prefix; empty is off
    // Families searched, in order; the default is the DS1820 family alone.
    std::array<uint8_t, CONFIG_MAX_FAMILIES> families = {0x10};
    int familyCount = 1;
};

// The settings in force, from LoadTempConfig (defaults until then).
extern TempConfig Config;

// Parses the text of a settings file into `config`, which holds the defaults
// to keep for every line that is wrong. Each problem adds one message naming
// `path`, the line and what was expected, without a line end. Pure: no files,
// no event log. Returns the number of problems.
int ParseTempConfig(const std::string& text, const std::string& path, TempConfig* config,
                    std::vector<std::string>* problems);

// Takes TEMP_METRICS and TEMP_METRICS_NAME from the environment, when set and
// not empty, as `metrics` and `metrics-name` (the service sets them; lines of
// temp.conf still win).
void ApplyTempEnvironment(TempConfig* config);

// Reads `path` into Config (defaults, then the environment, first). A missing file is no problem;
// an unreadable one and every bad line get one event-log entry each. Returns 1
// when the file was read.
int LoadTempConfig(const std::string& path);
