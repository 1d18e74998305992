// temp.conf's keys that belong to outputs. The loader offers each line whose
// key an output lists to that output's `setting` (outputs/outputs.h) and keeps
// what it takes in TempConfig::outputSettings, by key; each output reads its
// values back when it opens. An output's keys are thus its own file's affair:
// neither the settings type nor the loader names them.
#pragma once

#include <string>
#include <vector>

#include "outputs/outputs.h"

// Hands `value` to the first output of `table` that lists `key`. Returns
// OUTPUT_SETTING_TAKEN, OUTPUT_SETTING_BAD (with `why`), or
// OUTPUT_SETTING_UNKNOWN when no output lists the key. Cycle's thread, before
// the outputs open.
constexpr int OUTPUT_SETTING_UNKNOWN = -1;
int OutputsSetting(const CycleOutputOps* const* table, int count, const std::string& key, const std::string& value,
                   std::string* why);
// Every key the outputs of `table` list, in table order.
std::vector<std::string> OutputsKeys(const CycleOutputOps* const* table, int count);

// For the outputs: what temp.conf (or the environment) gave `key`, or nullptr
// when it kept the default.
const std::string* OutputSettingValue(const TempConfig& config, const char* key);
// The usual entry of a bad value: "<key> expects <what>, got "<value>"; default kept".
std::string OutputSettingExpects(const std::string& key, const std::string& value, const char* what);

// Value checks the outputs share. Each returns false for a bad value and
// leaves `out` alone then.
// on/yes/true/1 or off/no/false/0.
bool SettingSwitch(const std::string& value, bool* out);
// A count of days: 1 to 6 decimal digits.
bool SettingDays(const std::string& value, int* out);
// Any text but the empty one (a file name, a user name).
bool SettingText(const std::string& value, std::string* out);

// An output whose settings are a struct writes one function that puts the
// value of one of its keys into it, returning what the key expects when the
// value is bad and nullptr otherwise (also for a key not its own). These two
// build `setting` and the struct read back at open from it.
template <typename Settings>
using SettingTake = const char* (*)(const std::string& key, const std::string& value, Settings* into);

template <typename Settings>
int JudgeSetting(SettingTake<Settings> take, const char* key, const char* value, std::string* why)
{
    Settings scratch;
    const char* expects = take(key, value, &scratch);
    if (!expects)
        return OUTPUT_SETTING_TAKEN;
    *why = OutputSettingExpects(key, value, expects);
    return OUTPUT_SETTING_BAD;
}

template <typename Settings>
Settings SettingsOf(const TempConfig& config, SettingTake<Settings> take)
{
    Settings settings;
    for (const auto& entry : config.outputSettings)
        take(entry.first, entry.second, &settings);
    return settings;
}
