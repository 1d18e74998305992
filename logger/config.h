// Reading temp.conf (the settings are in support/temp_config.h). A missing
// file means the defaults, and with the defaults the logger is exactly the
// plain logger. The logger judges its own key, families; the outputs judge
// theirs (outputs/output_settings.h), and a key no one owns is unknown.
#pragma once

#include <string>
#include <vector>

#include "outputs/outputs.h"
#include "support/temp_config.h"

constexpr const char* ConfigFileName = "temp.conf";

// The settings in force, from LoadTempConfig (defaults until then).
extern TempConfig Config;

// Parses the text of a settings file into `config`, which holds the defaults
// to keep for every line that is wrong. Each problem adds one message naming
// `path`, the line and what was expected, without a line end. Pure: no files,
// no event log. Returns the number of problems. The keys beyond families are
// those of `outputs` (the built-in ones unless a test gives others).
int ParseTempConfig(const std::string& text, const std::string& path, TempConfig* config,
                    std::vector<std::string>* problems, const CycleOutputOps* const* outputs = BuiltinOutputs,
                    int outputCount = BuiltinOutputCount);

// Takes TEMP_METRICS and TEMP_METRICS_NAME from the environment, when set and
// not empty, as `metrics` and `metrics-name` (the service sets them; lines of
// temp.conf still win).
void ApplyTempEnvironment(TempConfig* config);

// Reads `path` into Config (defaults, then the environment, first). A missing file is no problem;
// an unreadable one and every bad line get one event-log entry each. Returns 1
// when the file was read.
int LoadTempConfig(const std::string& path, const CycleOutputOps* const* outputs = BuiltinOutputs,
                   int outputCount = BuiltinOutputCount);
