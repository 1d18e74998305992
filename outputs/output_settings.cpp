// The outputs' share of temp.conf: which output owns a key, and the checks
// their values share.
#include "outputs/output_settings.h"

#include <cstdlib>

int OutputsSetting(const CycleOutputOps* const* table, int count, const std::string& key, const std::string& value,
                   std::string* why)
{
    for (int i = 0; i < count; ++i) {
        if (!table[i]->keys || !table[i]->setting)
            continue;
        for (const char* const* owned = table[i]->keys; *owned; ++owned)
            if (key == *owned)
                return table[i]->setting(key.c_str(), value.c_str(), why);
    }
    return OUTPUT_SETTING_UNKNOWN;
}

std::vector<std::string> OutputsKeys(const CycleOutputOps* const* table, int count)
{
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i)
        for (const char* const* owned = table[i]->keys; owned && *owned; ++owned)
            keys.emplace_back(*owned);
    return keys;
}

const std::string* OutputSettingValue(const TempConfig& config, const char* key)
{
    auto found = config.outputSettings.find(key);
    return found == config.outputSettings.end() ? nullptr : &found->second;
}

std::string OutputSettingExpects(const std::string& key, const std::string& value, const char* what)
{
    return key + " expects " + what + ", got \"" + TempConfigShown(value) + "\"; default kept";
}

bool SettingSwitch(const std::string& value, bool* out)
{
    if (value == "on" || value == "yes" || value == "true" || value == "1") {
        *out = true;
        return true;
    }
    if (value == "off" || value == "no" || value == "false" || value == "0") {
        *out = false;
        return true;
    }
    return false;
}

bool SettingDays(const std::string& value, int* out)
{
    if (value.empty() || value.size() > 6)
        return false;
    for (char c : value)
        if (c < '0' || c > '9')
            return false;
    *out = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
    return true;
}

bool SettingText(const std::string& value, std::string* out)
{
    if (value.empty())
        return false;
    *out = value;
    return true;
}
