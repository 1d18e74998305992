// temp.conf parsing: good lines set their keys, each bad line is one problem
// naming the file and line, and the default stays for it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "logger/config.h"

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
};

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
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigParse,
    ::testing::Values(
        ConfigCase{"Empty", "", 0, nullptr},
        ConfigCase{"CommentsAndBlanks", "# all defaults\r\n\n   \n\t# more\n", 0, nullptr},
        ConfigCase{"GoodKeys", "history = off\nhistory-file=/var/h.db # there\nmetrics = m.prom\nfamilies = 10 28\n",
                   0, nullptr},
        ConfigCase{"UnknownKey", "\n\ncolour = blue\n", 1, "/etc/temp.conf line 3: unknown key \"colour\""},
        ConfigCase{"NoEquals", "history\n", 1, "line 1: expected \"key = value\""},
        ConfigCase{"BadSwitch", "history = maybe\n", 1, "history expects on or off, got \"maybe\""},
        ConfigCase{"BadDays", "history-raw-days = -3\nhistory-hour-days = 1e3\n", 2, "a number of days"},
        ConfigCase{"EmptyPath", "history-file =\n", 1, "history-file expects a file name"},
        ConfigCase{"BadFamily", "families = 10 zz 128 28\n", 2, "got \"zz\""},
        ConfigCase{"NotATemperatureFamily", "families = 10 05 28\n", 1, "\"05\" is not a temperature family"},
        ConfigCase{"NoFamilyLeft", "families = , ,\n", 1, "at least one"},
        ConfigCase{"ControlBytesShown", "k\x01y = 1\n", 1, "unknown key \"k?y\""}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

TEST(ConfigParse, ValuesAreTakenAndBadLinesKeepDefaults)
{
    TempConfig config;
    std::vector<std::string> problems;
    ParseTempConfig("history = off\nhistory-file = h.db\nhistory-raw-days = 3\nhistory-minute-days = x\n"
                    "metrics = /run/t.prom\nfamilies = 28, 10 28 3b\n",
                    "temp.conf", &config, &problems);
    EXPECT_FALSE(config.history);
    EXPECT_EQ(config.historyFile, "h.db");
    EXPECT_EQ(config.historyRawDays, 3);
    EXPECT_EQ(config.historyMinuteDays, 90);
    EXPECT_EQ(config.metricsFile, "/run/t.prom");
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
    EXPECT_EQ(config.metricsFile, "metrics.prom");
    EXPECT_EQ(config.metricsName, "");
    SetEnv("TEMP_METRICS_NAME", "lab");
    ApplyTempEnvironment(&config);
    std::vector<std::string> problems;
    ParseTempConfig("metrics = other.prom\n", "temp.conf", &config, &problems);
    EXPECT_EQ(config.metricsFile, "other.prom");
    EXPECT_EQ(config.metricsName, "lab");
    SetEnv("TEMP_METRICS", "");
    SetEnv("TEMP_METRICS_NAME", "");
}

TEST(ConfigParse, DefaultsAreThePlainLogger)
{
    TempConfig config;
    EXPECT_TRUE(config.history);
    EXPECT_TRUE(config.metricsFile.empty());
    ASSERT_EQ(config.familyCount, 1);
    EXPECT_EQ(config.families[0], 0x10);
}

}  // namespace
