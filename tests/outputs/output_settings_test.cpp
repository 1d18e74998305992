// An output brings its own temp.conf keys: one defined here, with a key the
// logger has never heard of, is read by the real loader, reports its own bad
// value once with the file and line, and opens through the table with what it
// took; an unknown key is still reported once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "logger/config.h"
#include "logger/logger.h"
#include "outputs/output_settings.h"
#include "outputs/outputs.h"
#include "tests/common/scratch_dir.h"

namespace {

// The new output: "chime-file" names where it would write; it is off without one.
struct ChimeSeen {
    std::mutex lock;
    std::condition_variable handled;
    std::string openedWith;
    std::vector<uint32_t> cycles;
};
ChimeSeen* Seen = nullptr;

const char* const ChimeKeys[] = {"chime-file", nullptr};

int ChimeSetting(const char* key, const char* value, std::string* why)
{
    if (*value)
        return OUTPUT_SETTING_TAKEN;
    *why = OutputSettingExpects(key, value, "a file name");
    return OUTPUT_SETTING_BAD;
}

int ChimeOpen(const TempConfig& config)
{
    const std::string* file = OutputSettingValue(config, "chime-file");
    std::lock_guard<std::mutex> guard(Seen->lock);
    Seen->openedWith = file ? *file : "";
    return file ? 1 : 0;
}

void ChimeCycle(const CycleReport& report)
{
    std::lock_guard<std::mutex> guard(Seen->lock);
    Seen->cycles.push_back(report.cycleNumber);
    Seen->handled.notify_all();
}

const CycleOutputOps ChimeOutput = {"chime", ChimeOpen, ChimeCycle, nullptr, ChimeKeys, ChimeSetting};
// The one line the new output needs in a table.
const CycleOutputOps* const Table[] = {&ChimeOutput};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int Count(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class NewOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        Seen = &seen_;
        ErrorFilePath = scratch_ / "USBerr.txt";
        OutputsTakeEvents();
    }
    void TearDown() override
    {
        OutputsClose();
        ErrorFilePath = "USBerr.txt";
        Config = TempConfig();
        Seen = nullptr;
    }
    std::string WriteConf(const std::string& text)
    {
        std::ofstream(conf_, std::ios::binary) << text;
        return conf_;
    }
    ChimeSeen seen_;
    ScratchDir scratch_{"output_settings"};
    std::string conf_ = scratch_ / "temp.conf";
};

TEST_F(NewOutput, TakesItsKeyReportsItsBadValueOnceAndOpensWithWhatItTook)
{
    ASSERT_EQ(LoadTempConfig(WriteConf("chime-file = bells.txt # the hall\n"
                                       "families = 28\n"
                                       "chime-file =\n"
                                       "colour = blue\n"),
                             Table, 1),
              1);
    std::string log = ReadFile(ErrorFilePath);
    EXPECT_EQ(Count(log, conf_ + " line "), 2) << log;
    EXPECT_EQ(Count(log, conf_ + " line 3: chime-file expects a file name, got \"\"; default kept\r\n"), 1) << log;
    EXPECT_EQ(Count(log, conf_ + " line 4: unknown key \"colour\"; expected chime-file or families\r\n"), 1) << log;
    ASSERT_EQ(Config.familyCount, 1);
    EXPECT_EQ(Config.families[0], 0x28);

    // The bad line kept the value before it, and the output opens with it.
    OutputsOpenTable(Config, Table, 1, 8);
    CycleReport report{};
    report.cycleNumber = 1;
    OutputsPublish(report);
    std::unique_lock<std::mutex> guard(seen_.lock);
    seen_.handled.wait(guard, [this] { return !seen_.cycles.empty(); });
    EXPECT_EQ(seen_.openedWith, "bells.txt");
    EXPECT_EQ(seen_.cycles, std::vector<uint32_t>{1});
}

// A second load starts from the defaults: what the first file gave is gone.
TEST_F(NewOutput, ASecondLoadStartsFromTheDefaults)
{
    ASSERT_EQ(LoadTempConfig(WriteConf("chime-file = bells.txt\n"), Table, 1), 1);
    EXPECT_EQ(ChimeOpen(Config), 1);
    ASSERT_EQ(LoadTempConfig(WriteConf("families = 10\n"), Table, 1), 1);
    EXPECT_EQ(ChimeOpen(Config), 0);
    EXPECT_EQ(seen_.openedWith, "");
    EXPECT_EQ(ReadFile(ErrorFilePath), "");
}

}  // namespace
