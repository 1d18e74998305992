// The MQTT output's texts and temp.conf keys.
#include "outputs/mqtt_payload.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "outputs/output_settings.h"
#include "support/utf8.h"

namespace {

bool Digits(const std::string& text)
{
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A host name or an IPv4 address: letters, digits, '-', '.', '_'.
bool HostName(const std::string& host)
{
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

bool Ipv6Text(const std::string& host)
{
    if (host.size() < 2 || host.size() > 45)
        return false;
    for (char c : host) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
        if (!ok)
            return false;
    }
    return host.find(':') != std::string::npos;
}

// A number as JSON: exact for readings (multiples of 1/16).
std::string JsonNumber(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::string Serial(const SensorReading& reading) { return std::string(reading.serialText); }

// The label without a character cut short at its end (the table's labels are
// cut at a byte count).
std::string LabelText(const SensorReading& reading)
{
    std::string label(reading.label);
    for (size_t back = 1; back <= 3 && back <= label.size(); ++back) {
        auto c = static_cast<unsigned char>(label[label.size() - back]);
        if ((c & 0xC0) == 0x80)
            continue;  // a continuation byte: look further back
        size_t wanted = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (wanted > back)
            label.resize(label.size() - back);
        break;
    }
    return label;
}

std::string Label(const SensorReading& reading)
{
    return reading.label[0] ? LabelText(reading) : Serial(reading);
}

}  // namespace

int MqttParseUrl(const std::string& text, MqttUrl* url)
{
    MqttUrl parsed;
    std::string rest;
    if (text.compare(0, 7, "mqtt://") == 0) {
        rest = text.substr(7);
    } else if (text.compare(0, 8, "mqtts://") == 0) {
        parsed.tls = true;
        rest = text.substr(8);
    } else {
        return 0;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos)
            return 0;
        parsed.host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':')
                return 0;
            port = after.substr(1);
            if (port.empty())
                return 0;
        }
        if (!Ipv6Text(parsed.host))
            return 0;
    } else {
        size_t colon = rest.find(':');
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty())
                return 0;
        }
        if (!HostName(parsed.host))
            return 0;
    }
    if (port.empty()) {
        parsed.port = parsed.tls ? 8883 : 1883;
    } else {
        if (!Digits(port))
            return 0;
        parsed.port = static_cast<int>(std::strtol(port.c_str(), nullptr, 10));
        if (parsed.port < 1 || parsed.port > 65535)
            return 0;
    }
    *url = parsed;
    return 1;
}

bool MqttTopicValid(const std::string& topic)
{
    if (topic.empty() || topic.size() > 200 || topic[0] == '$' || topic[0] == '/' || topic.back() == '/')
        return false;
    for (size_t at = 0; at < topic.size();) {
        char c = topic[at];
        if (c == '+' || c == '#' || c == '\0')
            return false;
        size_t length = Utf8Length(topic, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string MqttNameLevel(const std::string& name)
{
    std::string level = name.empty() ? std::string("temp") : name;
    bool replaced = false;
    for (char& c : level) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            c = '_';
            replaced = true;
        }
    }
    if (replaced) {
        // FNV-1a: stable across builds and platforms.
        uint32_t hash = 2166136261u;
        for (unsigned char c : name) {
            hash ^= c;
            hash *= 16777619u;
        }
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%08x", hash);
        level += suffix;
    }
    return level;
}

std::string MqttLoggerName(const std::string& named, const std::string& instance, const std::string& host,
                           const std::string& workingDirectory)
{
    if (!named.empty() && named != instance)
        return named;
    std::string shortHost = host.substr(0, host.find('.'));
    if (shortHost.empty())
        shortHost = "temp";
    return shortHost + "-" + (!instance.empty() ? instance : workingDirectory.empty() ? "." : workingDirectory);
}

std::string MqttIsoTime(WallTime when)
{
    std::tm utc{};
    time_t seconds = when.seconds;
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, when.milliseconds);
    return text;
}

std::string MqttJsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        size_t length = Utf8Length(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

std::string MqttStateTopic(const std::string& topic, const SensorReading& reading)
{
    return topic + "/" + Serial(reading) + "/state";
}

std::string MqttStatePayload(const SensorReading& reading, const MqttCounts& counts)
{
    std::string json = "{";
    bool good = reading.outcome == ReadingOutcome::Good && std::isfinite(reading.extended) &&
                std::isfinite(reading.whole);
    if (good) {
        json += "\"temperature\":" + JsonNumber(reading.extended);
        json += ",\"whole\":" + JsonNumber(reading.whole) + ",";
    }
    json += "\"outcome\":" + MqttJsonString(ReadingOutcomeName(good ? ReadingOutcome::Good : reading.outcome));
    json += ",\"place\":" + (reading.place >= 0 ? std::to_string(reading.place) : std::string("null"));
    json += ",\"label\":" + MqttJsonString(LabelText(reading));
    json += ",\"serial\":" + MqttJsonString(Serial(reading));
    json += ",\"time\":" + MqttJsonString(MqttIsoTime(reading.stamp));
    uint64_t failed = 0;
    std::string kinds;
    for (int i = 1; i < READING_OUTCOME_COUNT; ++i) {
        failed += counts[static_cast<size_t>(i)];
        kinds += std::string(i > 1 ? "," : "") + MqttJsonString(ReadingOutcomeName(static_cast<ReadingOutcome>(i))) +
                 ":" + std::to_string(counts[static_cast<size_t>(i)]);
    }
    json += ",\"good_readings\":" + std::to_string(counts[0]);
    json += ",\"failed_readings\":" + std::to_string(failed);
    json += ",\"failures\":{" + kinds + "}}";
    return json;
}

std::string MqttUniqueId(const SensorReading& reading, MqttEntity entity)
{
    return "temp_" + Serial(reading) + (entity == MqttEntity::Failures ? "_failures" : "");
}

std::string MqttDiscoveryTopic(const MqttDiscoverySettings& settings, const SensorReading& reading,
                               MqttEntity entity)
{
    // The object id is the unique id and there is no node id, so a sensor that
    // moves to another logger replaces its config rather than adding one.
    return settings.prefix + "/sensor/" + MqttUniqueId(reading, entity) + "/config";
}

std::vector<std::string> MqttPoolSerials(const std::string& poolText)
{
    std::vector<std::string> serials;
    size_t at = 0;
    while (at < poolText.size()) {
        size_t end = poolText.find('\n', at);
        std::string line = poolText.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? poolText.size() : end + 1;
        size_t comma = line.find(',');
        if (comma == std::string::npos || line.size() < comma + 17 || line[comma + 17] != ',')
            continue;
        std::string serial = line.substr(comma + 1, 16);
        bool hex = serial.find_first_not_of("0123456789ABCDEF") == std::string::npos;
        bool seen = false;
        for (const std::string& known : serials)
            seen = seen || known == serial;
        if (hex && !seen)
            serials.push_back(serial);
    }
    return serials;
}

std::vector<std::string> MqttAbsentSerials(const std::vector<std::string>& known, const CycleReport& report)
{
    std::vector<std::string> absent;
    for (const std::string& serial : known) {
        bool read = false;
        for (int i = 0; i < report.count && i < SENSOR_SLOTS; ++i)
            read = read || serial == report.readings[i].serialText;
        if (!read)
            absent.push_back(serial);
    }
    return absent;
}

std::string MqttAbsentPayload(const std::string& serialText, WallTime when)
{
    std::string kinds;
    for (int i = 1; i < READING_OUTCOME_COUNT; ++i)
        kinds += std::string(i > 1 ? "," : "") + MqttJsonString(ReadingOutcomeName(static_cast<ReadingOutcome>(i))) +
                 ":0";
    return "{\"outcome\":\"absent\",\"serial\":" + MqttJsonString(serialText) + ",\"time\":" +
           MqttJsonString(MqttIsoTime(when)) + ",\"good_readings\":0,\"failed_readings\":0,\"failures\":{" + kinds +
           "}}";
}

std::string MqttSensorModel(const std::string& serialText)
{
    struct Model {
        const char* family;
        const char* name;
    };
    static constexpr std::array<Model, 5> Models = {{
        {"10", "DS18S20/DS1820"}, {"22", "DS1822"}, {"28", "DS18B20"}, {"3B", "DS1825"}, {"42", "DS28EA00"},
    }};
    std::string family = serialText.substr(0, 2);
    for (const Model& model : Models)
        if (family == model.family)
            return model.name;
    return "1-Wire family " + family;
}

namespace {

std::string LoggerId(const MqttDiscoverySettings& settings) { return "temp_" + MqttNameLevel(settings.logger); }

std::string LoggerDevice(const MqttDiscoverySettings& settings)
{
    return "{\"identifiers\":[" + MqttJsonString(LoggerId(settings)) + "],\"name\":" +
           MqttJsonString("temp " + settings.logger) + ",\"model\":\"temp 1-Wire temperature logger\"" +
           ",\"sw_version\":" + MqttJsonString(LoggerVersion) + "}";
}

// Each sensor is a device of its own (so that it can have its own area),
// reached through the logger's.
std::string SensorDevice(const MqttDiscoverySettings& settings, const SensorReading& reading)
{
    return "{\"identifiers\":[" + MqttJsonString("temp_" + Serial(reading)) + "],\"name\":" +
           MqttJsonString(Label(reading)) + ",\"serial_number\":" + MqttJsonString(Serial(reading)) +
           ",\"model\":" + MqttJsonString(MqttSensorModel(Serial(reading))) +
           ",\"via_device\":" + MqttJsonString(LoggerId(settings)) + "}";
}

std::string Origin()
{
    return ",\"origin\":{\"name\":\"temp\",\"sw_version\":" + MqttJsonString(LoggerVersion) + "}";
}

}  // namespace

std::string MqttDiscoveryPayload(const MqttDiscoverySettings& settings, const SensorReading& reading,
                                 MqttEntity entity)
{
    const std::string state = MqttStateTopic(settings.topic, reading);
    const std::string status = settings.topic + "/status";
    std::string json = "{";
    if (entity == MqttEntity::Temperature) {
        // No name of its own: the entity is named after its device, the label.
        json += "\"name\":null";
        json += ",\"unique_id\":" + MqttJsonString(MqttUniqueId(reading, entity));
        json += ",\"state_topic\":" + MqttJsonString(state);
        // A failed reading has no temperature: None, and the second availability
        // topic marks the entity unavailable until a good reading comes.
        json += ",\"value_template\":" +
                MqttJsonString("{{ value_json.temperature if value_json.outcome == 'good' else None }}");
        json += ",\"device_class\":\"temperature\",\"state_class\":\"measurement\"";
        json += ",\"unit_of_measurement\":" + MqttJsonString("\xC2\xB0" "C");
        json += ",\"suggested_display_precision\":2";
        json += ",\"expire_after\":" + std::to_string(settings.expireAfter);
        json += ",\"availability\":[{\"topic\":" + MqttJsonString(status) + "},{\"topic\":" + MqttJsonString(state) +
                ",\"value_template\":" +
                MqttJsonString("{{ 'online' if value_json.outcome == 'good' else 'offline' }}") + "}]";
        json += ",\"availability_mode\":\"all\"";
    } else {
        json += "\"name\":\"Failed readings\"";
        json += ",\"unique_id\":" + MqttJsonString(MqttUniqueId(reading, entity));
        json += ",\"state_topic\":" + MqttJsonString(state);
        json += ",\"value_template\":" + MqttJsonString("{{ value_json.failed_readings }}");
        json += ",\"state_class\":\"total_increasing\",\"entity_category\":\"diagnostic\"";
        json += ",\"icon\":\"mdi:alert-circle-outline\"";
        json += ",\"json_attributes_topic\":" + MqttJsonString(state);
        json += ",\"json_attributes_template\":" + MqttJsonString("{{ value_json.failures | tojson }}");
        json += ",\"availability_topic\":" + MqttJsonString(status);
    }
    json += ",\"device\":" + SensorDevice(settings, reading) + Origin();
    return json + "}";
}

std::string MqttCycleTopic(const std::string& topic) { return topic + "/cycle"; }

std::string MqttCyclePayload(const CycleReport& report)
{
    return "{\"time\":" + MqttJsonString(MqttIsoTime(report.ended)) + ",\"cycle\":" +
           std::to_string(report.cycleNumber) + ",\"duration_ms\":" + std::to_string(report.durationMs) +
           ",\"sensors\":" + std::to_string(report.count) + ",\"adapter_open\":" +
           (report.adapterOpen ? "true" : "false") + ",\"adapter_reinit_attempts\":" +
           std::to_string(report.adapterReinitAttempts) + ",\"adapter_recoveries\":" +
           std::to_string(report.adapterRecoveries) + "}";
}

namespace {

struct LoggerEntityText {
    const char* component;
    const char* object;  // after the logger's id
    const char* name;
};
constexpr std::array<LoggerEntityText, 3> LoggerEntities = {{
    {"binary_sensor", "_running", "Running"},
    {"sensor", "_last_cycle", "Last cycle"},
    {"sensor", "_adapter_recoveries", "Adapter recoveries"},
}};

const LoggerEntityText& TextOf(MqttLoggerEntity entity) { return LoggerEntities[static_cast<size_t>(entity)]; }

}  // namespace

std::string MqttLoggerDiscoveryTopic(const MqttDiscoverySettings& settings, MqttLoggerEntity entity)
{
    return settings.prefix + "/" + TextOf(entity).component + "/" + LoggerId(settings) + TextOf(entity).object +
           "/config";
}

std::string MqttLoggerDiscoveryPayload(const MqttDiscoverySettings& settings, MqttLoggerEntity entity)
{
    const std::string status = settings.topic + "/status";
    const std::string cycle = MqttCycleTopic(settings.topic);
    std::string json = "{\"name\":" + MqttJsonString(TextOf(entity).name);
    json += ",\"unique_id\":" + MqttJsonString(LoggerId(settings) + TextOf(entity).object);
    switch (entity) {
    case MqttLoggerEntity::Running:
        // The status itself: off once the logger ends or its will is published.
        json += ",\"state_topic\":" + MqttJsonString(status);
        json += ",\"payload_on\":\"online\",\"payload_off\":\"offline\",\"device_class\":\"running\"";
        break;
    case MqttLoggerEntity::LastCycle:
        json += ",\"state_topic\":" + MqttJsonString(cycle);
        json += ",\"value_template\":" + MqttJsonString("{{ value_json.time }}");
        json += ",\"device_class\":\"timestamp\"";
        json += ",\"json_attributes_topic\":" + MqttJsonString(cycle);
        json += ",\"availability_topic\":" + MqttJsonString(status);
        break;
    case MqttLoggerEntity::AdapterRecoveries:
        json += ",\"state_topic\":" + MqttJsonString(cycle);
        json += ",\"value_template\":" + MqttJsonString("{{ value_json.adapter_recoveries }}");
        json += ",\"state_class\":\"total_increasing\",\"icon\":\"mdi:usb-port\"";
        json += ",\"availability_topic\":" + MqttJsonString(status);
        break;
    }
    json += ",\"entity_category\":\"diagnostic\"";
    json += ",\"device\":" + LoggerDevice(settings) + Origin();
    return json + "}";
}

int MqttExpireAfter(const CycleReport& report)
{
    long long periodMs = report.previousPeriodMs;
    if (periodMs == 0)
        periodMs = (static_cast<long long>(report.ended.seconds) - report.started.seconds) * 1000 +
                   (report.ended.milliseconds - report.started.milliseconds);
    long long seconds = (5 * periodMs + 999) / 1000;
    if (seconds < 30)
        seconds = 30;
    if (seconds > 86400)
        seconds = 86400;
    return static_cast<int>(seconds);
}

const char* const MqttKeys[] = {
    "mqtt", "mqtt-topic", "mqtt-username", "mqtt-password-file", "mqtt-ca-file", "mqtt-cert-file", "mqtt-key-file",
    "mqtt-discovery", nullptr,
};

const char* MqttTakeSetting(const std::string& key, const std::string& value, MqttSettings* into)
{
    if (key == "mqtt") {
        MqttUrl url;
        if (!MqttParseUrl(value, &url))
            return "mqtt://host[:port] or mqtts://host[:port]";
        into->broker = value;
    } else if (key == "mqtt-topic") {
        if (!MqttTopicValid(value))
            return "a topic without '+', '#', a leading '$' or '/' or a trailing '/'";
        into->topic = value;
    } else if (key == "mqtt-username") {
        if (!SettingText(value, &into->username))
            return "a user name";
    } else if (key == "mqtt-password-file" || key == "mqtt-ca-file" || key == "mqtt-cert-file" ||
               key == "mqtt-key-file") {
        std::string* file = key == "mqtt-ca-file"     ? &into->caFile
                            : key == "mqtt-cert-file" ? &into->certFile
                            : key == "mqtt-key-file"  ? &into->keyFile
                                                      : &into->passwordFile;
        if (!SettingText(value, file))
            return "a file name";
    } else if (key == "mqtt-discovery") {
        if (value == "off")
            into->discovery.clear();
        else if (MqttTopicValid(value))
            into->discovery = value;
        else
            return "a discovery prefix (homeassistant) or off";
    }
    return nullptr;
}

std::string MqttUrlShown(const std::string& value)
{
    size_t scheme = value.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = value.find('/', start);
    size_t at = value.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start)
        return value;
    return value.substr(0, start) + "<user>" + value.substr(at);
}

int MqttJudgeSetting(const char* key, const char* value, std::string* why)
{
    MqttSettings scratch;
    const char* expects = MqttTakeSetting(key, value, &scratch);
    if (!expects)
        return OUTPUT_SETTING_TAKEN;
    std::string shown = std::string(key) == "mqtt" ? MqttUrlShown(value) : value;
    *why = OutputSettingExpects(key, shown, expects);
    if (shown != value)
        *why += " (a user name goes in mqtt-username, the password in mqtt-password-file)";
    return OUTPUT_SETTING_BAD;
}

MqttTlsProblem MqttTlsProblemOf(MqttTlsProblem before, const std::string& line)
{
    auto has = [&line](const char* words) { return line.find(words) != std::string::npos; };
    if (has("Unable to load client") || has("key values mismatch") || has("certificate/key are inconsistent"))
        return MqttTlsProblem::ClientFiles;
    if (has("alert certificate required"))
        return MqttTlsProblem::ClientRequired;
    if (has("alert unknown ca") || has("alert bad certificate") || has("alert certificate unknown") ||
        has("alert certificate expired") || has("alert certificate revoked"))
        return MqttTlsProblem::ClientRejected;
    // libmosquitto logs the host name check before OpenSSL's "certificate verify failed".
    if (line.find("host name verification failed") != std::string::npos)
        return MqttTlsProblem::HostName;
    if (line.find("certificate verify failed") != std::string::npos)
        return before == MqttTlsProblem::HostName ? before : MqttTlsProblem::Verify;
    if (line.compare(0, 13, "OpenSSL Error") == 0 && before == MqttTlsProblem::None)
        return MqttTlsProblem::Handshake;
    return before;
}

std::string MqttTlsProblemText(MqttTlsProblem problem, const std::string& host)
{
    switch (problem) {
    case MqttTlsProblem::None:
        break;
    case MqttTlsProblem::HostName:
        return "certificate problem: the broker's certificate is not valid for " + host;
    case MqttTlsProblem::Verify:
        return "certificate problem: the broker's certificate can't be verified (its CA is not in mqtt-ca-file or "
               "the system's CAs, or it has expired)";
    case MqttTlsProblem::ClientRequired:
        return "certificate problem: the broker wants a client certificate (mqtt-cert-file and mqtt-key-file)";
    case MqttTlsProblem::ClientRejected:
        return "certificate problem: the broker did not accept the client certificate of mqtt-cert-file";
    case MqttTlsProblem::ClientFiles:
        return "certificate problem: the client certificate and key can't be used (mqtt-cert-file, mqtt-key-file: "
               "a key with a passphrase, or not the certificate's key)";
    case MqttTlsProblem::Handshake:
        return "TLS problem: the TLS handshake failed (a plain MQTT port? then use mqtt://)";
    }
    return "";
}

MqttSettings MqttSettingsOf(const TempConfig& config)
{
    return SettingsOf<MqttSettings>(config, MqttTakeSetting);
}
