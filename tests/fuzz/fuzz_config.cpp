// temp.conf over arbitrary bytes: every problem is one line of text naming
// the file and a line that exists, and the settings stay within their ranges.
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "logger/config.h"
#include "outputs/history_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    TempConfig config;
    std::vector<std::string> problems;
    int count = ParseTempConfig(text, "/etc/temp.conf", &config, &problems);
    FUZZ_CHECK(count >= 0 && static_cast<size_t>(count) == problems.size());
    size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    for (const std::string& problem : problems) {
        FUZZ_CHECK(problem.rfind("/etc/temp.conf line ", 0) == 0);
        size_t number = std::stoul(problem.substr(20));
        FUZZ_CHECK(number >= 1 && number <= lines);
        FUZZ_CHECK(problem.size() < 400);
        for (char c : problem)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    HistorySettings history = HistorySettingsOf(config);
    FUZZ_CHECK(!history.file.empty());
    FUZZ_CHECK(history.rawDays >= 0 && history.minuteDays >= 0 && history.hourDays >= 0);
    FUZZ_CHECK(config.familyCount >= 1 && config.familyCount <= CONFIG_MAX_FAMILIES);
    for (int i = 0; i < config.familyCount; ++i)
        FUZZ_CHECK(config.families[i] > 0 && config.families[i] <= 0x7F);
    // What was read reads the same a second time, without new problems.
    TempConfig again = config;
    std::vector<std::string> more;
    ParseTempConfig(text, "/etc/temp.conf", &again, &more);
    FUZZ_CHECK(more.size() == problems.size());
    FUZZ_CHECK(again.outputSettings == config.outputSettings && again.familyCount == config.familyCount
               && again.families == config.families);
    return 0;
}
