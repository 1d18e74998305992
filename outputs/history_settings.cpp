// The history output's temp.conf keys.
#include "outputs/history_settings.h"

#include "outputs/output_settings.h"

namespace {

const char* TakeHistory(const std::string& key, const std::string& value, HistorySettings* into)
{
    if (key == "history")
        return SettingSwitch(value, &into->on) ? nullptr : "on or off";
    if (key == "history-file")
        return SettingText(value, &into->file) ? nullptr : "a file name";
    int* days = key == "history-raw-days"      ? &into->rawDays
                : key == "history-minute-days" ? &into->minuteDays
                : key == "history-hour-days"   ? &into->hourDays
                                               : nullptr;
    if (days)
        return SettingDays(value, days) ? nullptr : "a number of days (0 for ever)";
    return nullptr;
}

}  // namespace

const char* const HistoryKeys[] = {"history", "history-file", "history-raw-days", "history-minute-days",
                                   "history-hour-days", nullptr};

int HistorySetting(const char* key, const char* value, std::string* why)
{
    return JudgeSetting<HistorySettings>(TakeHistory, key, value, why);
}

HistorySettings HistorySettingsOf(const TempConfig& config)
{
    return SettingsOf<HistorySettings>(config, TakeHistory);
}
