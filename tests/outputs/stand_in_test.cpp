// A build without SQLite and libmosquitto (the Windows one): this program is
// linked with the stand-ins history_off.cpp and mqtt_off.cpp in place of the
// two outputs. Their keys read as in a full build, a broker line says MQTT is
// not built, and neither output opens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logger/config.h"

extern const CycleOutputOps HistoryOutput;
extern const CycleOutputOps MqttOutput;

namespace {

TEST(StandIns, JudgeTheirKeysAndNeverOpen)
{
    TempConfig config;
    std::vector<std::string> problems;
    EXPECT_EQ(ParseTempConfig("history-file = h.db\nmqtt = mqtt://broker # the hall's\nmqtt-topic = home/cellar\n"
                              "mqtt-discovery = off\n",
                              "/etc/temp.conf", &config, &problems),
              1);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "/etc/temp.conf line 2: mqtt: this build of temp has no MQTT; ignored");
    EXPECT_EQ(config.outputSettings.count("mqtt"), 0u);
    EXPECT_EQ(config.outputSettings.size(), 3u);
    EXPECT_EQ(HistoryOutput.open(config), 0);
    EXPECT_EQ(MqttOutput.open(config), 0);
}

}  // namespace
