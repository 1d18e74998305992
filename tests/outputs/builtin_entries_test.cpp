// The built-in outputs' temp.conf entries, whole, as they read before each
// output took its own keys; the same in a build with every output and in one
// with the stand-ins of outputs it can't build.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logger/config.h"

namespace {

struct EntryCase {
    const char* line;
    const char* entry;
};

class BuiltinEntries : public ::testing::TestWithParam<EntryCase> {};

TEST_P(BuiltinEntries, ReadAsBefore)
{
    TempConfig config;
    std::vector<std::string> problems;
    ParseTempConfig(GetParam().line, "/etc/temp.conf", &config, &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], GetParam().entry);
    EXPECT_TRUE(config.outputSettings.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BuiltinEntries,
    ::testing::Values(
        EntryCase{"colour = blue\n",
                  "/etc/temp.conf line 1: unknown key \"colour\"; expected history, history-file, history-raw-days, "
                  "history-minute-days, history-hour-days, metrics, metrics-name, mqtt, mqtt-topic, mqtt-username, "
                  "mqtt-password-file, mqtt-ca-file, mqtt-cert-file, mqtt-key-file, mqtt-discovery or families"},

        EntryCase{"history = maybe\n", "/etc/temp.conf line 1: history expects on or off, got \"maybe\"; default kept"},
        EntryCase{"\nhistory-raw-days = 1e3\n",
                  "/etc/temp.conf line 2: history-raw-days expects a number of days (0 for ever), got \"1e3\"; "
                  "default kept"},
        EntryCase{"metrics-name =\n", "/etc/temp.conf line 1: metrics-name expects a name, got \"\"; default kept"},
        EntryCase{"mqtt-topic = a/#\n",
                  "/etc/temp.conf line 1: mqtt-topic expects a topic without '+', '#', a leading '$' or '/' or a "
                  "trailing '/', got \"a/\"; default kept"},
        EntryCase{"mqtt-discovery = $x\x01\n",
                  "/etc/temp.conf line 1: mqtt-discovery expects a discovery prefix (homeassistant) or off, got "
                  "\"$x?\"; default kept"}));

}  // namespace
