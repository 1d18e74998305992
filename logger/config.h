// Reading temp.conf (the settings are in support/temp_config.h). A missing
// file means the defaults, and with the defaults the logger is exactly the
// plain logger.
#pragma once

#include <string>
#include <vector>

#include "support/temp_config.h"

constexpr const char* ConfigFileName = "temp.conf";

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
