// temp.conf: "key = value" lines, "#" starts a comment. The logger's own key
// (families) is judged here; every other key goes to the output that lists it.
#include "logger/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logger/logger.h"
#include "outputs/output_settings.h"

TempConfig Config;

namespace {

std::string Trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// "a, b or c".
std::string ListOf(const std::vector<std::string>& keys)
{
    std::string list;
    for (size_t i = 0; i < keys.size(); ++i)
        list += (i == 0 ? "" : i + 1 == keys.size() ? " or " : ", ") + keys[i];
    return list;
}

// Two hex digits per family, separated by blanks or commas; bad codes are
// reported one by one and the good ones kept in order, without repeats.
void ParseFamilies(const std::string& value, const std::string& where, TempConfig* config,
                   std::vector<std::string>* problems)
{
    std::array<uint8_t, CONFIG_MAX_FAMILIES> families{};
    int count = 0;
    size_t at = 0;
    while (at < value.size()) {
        size_t end = value.find_first_of(" \t,", at);
        if (end == std::string::npos)
            end = value.size();
        std::string code = value.substr(at, end - at);
        at = end + 1;
        if (code.empty())
            continue;
        char* stop = nullptr;
        long family = std::strtol(code.c_str(), &stop, 16);
        bool hex = code.size() <= 2 && *stop == '\0' && std::strspn(code.c_str(), "0123456789abcdefABCDEF") == code.size();
        if (!hex || family <= 0 || family > 0x7F) {
            problems->push_back(where + ": families expects two-digit hex family codes, got \"" +
                                TempConfigShown(code) + "\"; ignored");
            continue;
        }
        if (!IsTemperatureFamily(static_cast<uint8_t>(family))) {
            problems->push_back(where + ": families: \"" + TempConfigShown(code) +
                                "\" is not a temperature family (10, 28, 22, 3B or 42); ignored");
            continue;
        }
        bool repeated = false;
        for (int i = 0; i < count; ++i)
            repeated = repeated || families[i] == family;
        if (repeated)
            continue;
        if (count == CONFIG_MAX_FAMILIES) {
            problems->push_back(where + ": families takes at most " + std::to_string(CONFIG_MAX_FAMILIES) +
                                " codes; \"" + TempConfigShown(code) + "\" ignored");
            continue;
        }
        families[count++] = static_cast<uint8_t>(family);
    }
    if (count == 0) {
        problems->push_back(where + ": families expects at least one hex family code; using 10");
        return;
    }
    config->families = families;
    config->familyCount = count;
}

}  // namespace

int ParseTempConfig(const std::string& text, const std::string& path, TempConfig* config,
                    std::vector<std::string>* problems, const CycleOutputOps* const* outputs, int outputCount)
{
    size_t before = problems->size();
    size_t at = 0;
    int number = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = Trim(line);
        if (line.empty())
            continue;
        std::string where = path + " line " + std::to_string(number);
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            problems->push_back(where + ": expected \"key = value\", got \"" + TempConfigShown(line) + "\"");
            continue;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (key == "families") {
            ParseFamilies(value, where, config, problems);
            continue;
        }
        std::string why;
        int taken = OutputsSetting(outputs, outputCount, key, value, &why);
        if (taken == OUTPUT_SETTING_TAKEN) {
            config->outputSettings[key] = value;
        } else if (taken == OUTPUT_SETTING_BAD) {
            problems->push_back(where + ": " + why);
        } else {
            std::vector<std::string> keys = OutputsKeys(outputs, outputCount);
            keys.emplace_back("families");
            problems->push_back(where + ": unknown key \"" + TempConfigShown(key) + "\"; expected " + ListOf(keys));
        }
    }
    return static_cast<int>(problems->size() - before);
}

void ApplyTempEnvironment(TempConfig* config)
{
    const char* metrics = std::getenv("TEMP_METRICS");
    if (metrics && *metrics)
        config->outputSettings["metrics"] = metrics;
    const char* name = std::getenv("TEMP_METRICS_NAME");
    if (name && *name)
        config->outputSettings["metrics-name"] = name;
}

int LoadTempConfig(const std::string& path, const CycleOutputOps* const* outputs, int outputCount)
{
    Config = TempConfig();
    ApplyTempEnvironment(&Config);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno != ENOENT)
            LogFileFailure("read", path);
        return 0;
    }
    std::string text;
    char buffer[4096];
    size_t got;
    // Settings files are small; a huge one is read only in part.
    while (text.size() < (1u << 20) && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        LogFileFailure("read", path);
        return 0;
    }
    std::vector<std::string> problems;
    ParseTempConfig(text, path, &Config, &problems, outputs, outputCount);
    for (const std::string& problem : problems)
        LogEvent("%s\n", problem.c_str());
    return 1;
}
