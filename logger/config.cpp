// temp.conf: "key = value" lines, "#" starts a comment.
#include "logger/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logger/logger.h"
#include "outputs/mqtt_payload.h"

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

// Printable for a message: control bytes become '?', long values are cut.
std::string Shown(const std::string& value)
{
    std::string shown = value.size() > 60 ? value.substr(0, 60) + "..." : value;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown;
}

bool ParseSwitch(const std::string& value, bool* out)
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

bool ParseDays(const std::string& value, int* out)
{
    if (value.empty() || value.size() > 6)
        return false;
    for (char c : value)
        if (c < '0' || c > '9')
            return false;
    *out = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
    return true;
}

bool ParsePath(const std::string& value, std::string* out)
{
    if (value.empty())
        return false;
    *out = value;
    return true;
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
            problems->push_back(where + ": families expects two-digit hex family codes, got \"" + Shown(code) +
                                "\"; ignored");
            continue;
        }
        if (!IsTemperatureFamily(static_cast<uint8_t>(family))) {
            problems->push_back(where + ": families: \"" + Shown(code) +
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
                                " codes; \"" + Shown(code) + "\" ignored");
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
                    std::vector<std::string>* problems)
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
            problems->push_back(where + ": expected \"key = value\", got \"" + Shown(line) + "\"");
            continue;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        auto expect = [&](const char* what) {
            problems->push_back(where + ": " + key + " expects " + what + ", got \"" + Shown(value) +
                                "\"; default kept");
        };
        if (key == "history") {
            if (!ParseSwitch(value, &config->history))
                expect("on or off");
        } else if (key == "history-file") {
            if (!ParsePath(value, &config->historyFile))
                expect("a file name");
        } else if (key == "history-raw-days") {
            if (!ParseDays(value, &config->historyRawDays))
                expect("a number of days (0 for ever)");
        } else if (key == "history-minute-days") {
            if (!ParseDays(value, &config->historyMinuteDays))
                expect("a number of days (0 for ever)");
        } else if (key == "history-hour-days") {
            if (!ParseDays(value, &config->historyHourDays))
                expect("a number of days (0 for ever)");
        } else if (key == "metrics") {
            if (!ParsePath(value, &config->metricsFile))
                expect("a file name");
        } else if (key == "metrics-name") {
            if (!ParsePath(value, &config->metricsName))
                expect("a name");
        } else if (key == "mqtt") {
#ifdef TEMP_HAVE_MQTT
            MqttUrl url;
            if (MqttParseUrl(value, &url))
                config->mqtt = value;
            else
                expect("mqtt://host[:port] or mqtts://host[:port]");
#else
            problems->push_back(where + ": mqtt: this build of temp has no MQTT; ignored");
#endif
        } else if (key == "mqtt-topic") {
            if (MqttTopicValid(value))
                config->mqttTopic = value;
            else
                expect("a topic without '+', '#', a leading '$' or '/' or a trailing '/'");
        } else if (key == "mqtt-username") {
            if (!ParsePath(value, &config->mqttUsername))
                expect("a user name");
        } else if (key == "mqtt-password-file") {
            if (!ParsePath(value, &config->mqttPasswordFile))
                expect("a file name");
        } else if (key == "mqtt-ca-file") {
            if (!ParsePath(value, &config->mqttCaFile))
                expect("a file name");
        } else if (key == "mqtt-discovery") {
            if (value == "off")
                config->mqttDiscovery.clear();
            else if (MqttTopicValid(value))
                config->mqttDiscovery = value;
            else
                expect("a discovery prefix (homeassistant) or off");
        } else if (key == "families") {
            ParseFamilies(value, where, config, problems);
        } else {
            problems->push_back(where + ": unknown key \"" + Shown(key) +
                                "\"; expected history, history-file, history-raw-days, history-minute-days, "
                                "history-hour-days, metrics, metrics-name, mqtt, mqtt-topic, mqtt-username, "
                                "mqtt-password-file, mqtt-ca-file, mqtt-discovery or families");
        }
    }
    return static_cast<int>(problems->size() - before);
}

void ApplyTempEnvironment(TempConfig* config)
{
    const char* metrics = std::getenv("TEMP_METRICS");
    if (metrics && *metrics)
        config->metricsFile = metrics;
    const char* name = std::getenv("TEMP_METRICS_NAME");
    if (name && *name)
        config->metricsName = name;
}

int LoadTempConfig(const std::string& path)
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
    ParseTempConfig(text, path, &Config, &problems);
    for (const std::string& problem : problems)
        LogEvent("%s\n", problem.c_str());
    return 1;
}
