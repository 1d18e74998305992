// temp.conf parsing: good lines set their keys, each bad line is one problem
// naming the file and line, and the default stays for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logger/config.h"
#include "outputs/history_settings.h"
#include "outputs/metrics.h"
#include "outputs/mqtt_payload.h"

namespace {

#ifdef _WIN32
void SetEnv(const char* name, const char* value) { _putenv_s(name, value); }
#else
void SetEnv(const char* name, const char* value) { setenv(name, value, 1); }
#endif

struct ConfigCase {
    const char* name;
    const char* text;
    int problems;
    const char* firstProblem;  // a part of it, or nullptr
    const char* key;           // a key whose value is then checked, or nullptr
    const char* value;         // its value as Setting() shows it: the default after a bad line
};

// A setting of `config` as text, by its temp.conf key.
// The outputs' settings are read as each output reads them when it opens.
std::string Setting(const TempConfig& config, const std::string& key)
{
    HistorySettings history = HistorySettingsOf(config);
    MetricsSettings metrics = MetricsSettingsOf(config);
    MqttSettings mqtt = MqttSettingsOf(config);
    if (key == "history")
        return history.on ? "on" : "off";
    if (key == "history-file")
        return history.file;
    if (key == "history-raw-days")
        return std::to_string(history.rawDays);
    if (key == "history-minute-days")
        return std::to_string(history.minuteDays);
    if (key == "history-hour-days")
        return std::to_string(history.hourDays);
    if (key == "metrics")
        return metrics.file;
    if (key == "metrics-name")
        return metrics.name;
    if (key == "families") {
        std::string codes;
        for (int i = 0; i < config.familyCount; ++i) {
            char code[4];
            std::snprintf(code, sizeof code, "%s%02X", i ? " " : "", config.families[static_cast<size_t>(i)]);
            codes += code;
        }
        return codes;
    }
    if (key == "mqtt")
        return mqtt.broker;
    if (key == "mqtt-topic")
        return mqtt.topic;
    if (key == "mqtt-username")
        return mqtt.username;
    if (key == "mqtt-password-file")
        return mqtt.passwordFile;
    if (key == "mqtt-ca-file")
        return mqtt.caFile;
    if (key == "mqtt-cert-file")
        return mqtt.certFile;
    if (key == "mqtt-key-file")
        return mqtt.keyFile;
    if (key == "mqtt-discovery")
        return mqtt.discovery;
    ADD_FAILURE() << "no setting " << key;
    return std::string();
}

class ConfigParse : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigParse, CountsAndNamesProblems)
{
    const ConfigCase& c = GetParam();
    TempConfig config;
    std::vector<std::string> problems;
    EXPECT_EQ(ParseTempConfig(c.text, "/etc/temp.conf", &config, &problems), c.problems);
    ASSERT_EQ(static_cast<int>(problems.size()), c.problems);
    if (c.firstProblem) {
        EXPECT_NE(problems[0].find(c.firstProblem), std::string::npos) << problems[0];
    }
    if (c.key) {
        EXPECT_EQ(Setting(config, c.key), c.value) << c.key;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigParse,
    ::testing::Values(
        ConfigCase{"Empty", "", 0, nullptr, nullptr, nullptr},
        ConfigCase{"CommentsAndBlanks", "# all defaults\r\n\n   \n\t# more\n", 0, nullptr, "history", "on"},
        ConfigCase{"GoodKeys", "history = off\nhistory-file=/var/h.db # there\nmetrics = m.prom\nfamilies = 10 28\n",
                   0, nullptr, "history-file", "/var/h.db"},
        ConfigCase{"UnknownKey", "\n\ncolour = blue\n", 1, "/etc/temp.conf line 3: unknown key \"colour\"", nullptr,
                   nullptr},
        ConfigCase{"NoEquals", "history\n", 1, "line 1: expected \"key = value\"", "history", "on"},
        ConfigCase{"BadSwitch", "history = maybe\n", 1, "history expects on or off, got \"maybe\"", "history", "on"},
        ConfigCase{"SwitchWithComment", "history = no # not here\n", 0, nullptr, "history", "off"},
        ConfigCase{"BadDays", "history-raw-days = -3\nhistory-hour-days = 1e3\n", 2, "a number of days",
                   "history-raw-days", "7"},
        ConfigCase{"BadMinuteDays", "history-minute-days = 12345678\n", 1, "a number of days", "history-minute-days",
                   "90"},
        ConfigCase{"DaysWithComment", "history-hour-days = 30 # a month\n", 0, nullptr, "history-hour-days", "30"},
        ConfigCase{"EmptyPath", "history-file =\n", 1, "history-file expects a file name", "history-file",
                   "temp-history.db"},
        ConfigCase{"EmptyMetrics", "metrics = # later\n", 1, "metrics expects a file name", "metrics", ""},
        ConfigCase{"EmptyMetricsName", "metrics-name =\n", 1, "metrics-name expects a name", "metrics-name", ""},
        ConfigCase{"MetricsNameWithComment", "metrics-name = cellar 2 # the old one\n", 0, nullptr, "metrics-name",
                   "cellar 2"},
        ConfigCase{"BadFamily", "families = 10 zz 128 28\n", 2, "got \"zz\"", "families", "10 28"},
        ConfigCase{"NotATemperatureFamily", "families = 10 05 28\n", 1, "\"05\" is not a temperature family",
                   "families", "10 28"},
        ConfigCase{"NoFamilyLeft", "families = , ,\n", 1, "at least one", "families", "10"},
        ConfigCase{"FamiliesWithComment", "families = 28 3b # new ones\n", 0, nullptr, "families", "28 3B"},
        ConfigCase{"ControlBytesShown", "k\x01y = 1\n", 1, "unknown key \"k?y\"", nullptr, nullptr},
#ifdef TEMP_HAVE_MQTT
        ConfigCase{"Mqtt", "mqtt = mqtts://broker.lan:8884 # the hall's\n", 0, nullptr, "mqtt",
                   "mqtts://broker.lan:8884"},
        ConfigCase{"MqttIpv6", "mqtt = mqtt://[::1]\n", 0, nullptr, "mqtt", "mqtt://[::1]"},
        ConfigCase{"MqttBadScheme", "mqtt = http://broker\n", 1,
                   "line 1: mqtt expects mqtt://host[:port] or mqtts://host[:port], got \"http://broker\"", "mqtt", ""},
        ConfigCase{"MqttBadPort", "mqtt = mqtt://broker:70000\n", 1, "mqtt expects", "mqtt", ""},
        ConfigCase{"MqttEmpty", "mqtt =\n", 1, "mqtt expects", "mqtt", ""},
#else
        ConfigCase{"MqttNotBuilt", "mqtt = mqtt://broker\n", 1, "has no MQTT", "mqtt", ""},
#endif
        ConfigCase{"MqttTopic", "mqtt-topic = home/cellar # where\n", 0, nullptr, "mqtt-topic", "home/cellar"},
        ConfigCase{"MqttTopicWildcard", "mqtt-topic = home/+/t\n", 1, "mqtt-topic expects a topic", "mqtt-topic", ""},
        ConfigCase{"MqttTopicTrailingSlash", "mqtt-topic = home/\n", 1, "mqtt-topic expects", "mqtt-topic", ""},
        ConfigCase{"MqttUsername", "mqtt-username = logger # not the password\n", 0, nullptr, "mqtt-username",
                   "logger"},
        ConfigCase{"MqttUsernameEmpty", "mqtt-username =\n", 1, "mqtt-username expects a user name",
                   "mqtt-username", ""},
        ConfigCase{"MqttPasswordFileEmpty", "mqtt-password-file =  \n", 1, "mqtt-password-file expects a file name",
                   "mqtt-password-file", ""},
        ConfigCase{"MqttCaFile", "mqtt-ca-file = /etc/ca.pem # ours\n", 0, nullptr, "mqtt-ca-file", "/etc/ca.pem"},
        ConfigCase{"MqttCaFileEmpty", "mqtt-ca-file =\n", 1, "mqtt-ca-file expects a file name", "mqtt-ca-file", ""},
        ConfigCase{"MqttCertFile", "mqtt-cert-file = /etc/logger.pem\n", 0, nullptr, "mqtt-cert-file", "/etc/logger.pem"},
        ConfigCase{"MqttKeyFileEmpty", "mqtt-key-file =\n", 1, "mqtt-key-file expects a file name", "mqtt-key-file", ""},
        ConfigCase{"MqttDiscoveryOff", "mqtt-discovery = off # no Home Assistant\n", 0, nullptr, "mqtt-discovery", ""},
        ConfigCase{"MqttDiscoveryPrefix", "mqtt-discovery = ha\n", 0, nullptr, "mqtt-discovery", "ha"},
        ConfigCase{"MqttDiscoveryBad", "mqtt-discovery = $SYS\n", 1, "mqtt-discovery expects a discovery prefix",
                   "mqtt-discovery", "homeassistant"}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

TEST(ConfigParse, ValuesAreTakenAndBadLinesKeepDefaults)
{
    TempConfig config;
    std::vector<std::string> problems;
    ParseTempConfig("history = off\nhistory-file = h.db\nhistory-raw-days = 3\nhistory-minute-days = x\n"
                    "metrics = /run/t.prom\nfamilies = 28, 10 28 3b\n",
                    "temp.conf", &config, &problems);
    HistorySettings history = HistorySettingsOf(config);
    EXPECT_FALSE(history.on);
    EXPECT_EQ(history.file, "h.db");
    EXPECT_EQ(history.rawDays, 3);
    EXPECT_EQ(history.minuteDays, 90);
    EXPECT_EQ(MetricsSettingsOf(config).file, "/run/t.prom");
    ASSERT_EQ(config.familyCount, 3);
    EXPECT_EQ(config.families[0], 0x28);
    EXPECT_EQ(config.families[1], 0x10);
    EXPECT_EQ(config.families[2], 0x3B);
}

// The service's environment gives the metrics settings; empty is unset, and
// temp.conf still wins.
TEST(ConfigEnvironment, MetricsSettingsComeBeforeTheFile)
{
    SetEnv("TEMP_METRICS", "metrics.prom");
    SetEnv("TEMP_METRICS_NAME", "");
    TempConfig config;
    ApplyTempEnvironment(&config);
    EXPECT_EQ(MetricsSettingsOf(config).file, "metrics.prom");
    EXPECT_EQ(MetricsSettingsOf(config).name, "");
    SetEnv("TEMP_METRICS_NAME", "lab");
    ApplyTempEnvironment(&config);
    std::vector<std::string> problems;
    ParseTempConfig("metrics = other.prom\n", "temp.conf", &config, &problems);
    EXPECT_EQ(MetricsSettingsOf(config).file, "other.prom");
    EXPECT_EQ(MetricsSettingsOf(config).name, "lab");
    SetEnv("TEMP_METRICS", "");
    SetEnv("TEMP_METRICS_NAME", "");
}

TEST(ConfigParse, DefaultsAreThePlainLogger)
{
    TempConfig config;
    EXPECT_TRUE(HistorySettingsOf(config).on);
    EXPECT_TRUE(MetricsSettingsOf(config).file.empty());
    EXPECT_TRUE(MqttSettingsOf(config).broker.empty());
    ASSERT_EQ(config.familyCount, 1);
    EXPECT_EQ(config.families[0], 0x10);
}

}  // namespace
