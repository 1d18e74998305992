// The conversion, the reading of one sensor and the listing, against the
// scripted driver: the requests they make, what they write and what they log.
#include <cstring>
#include <regex>

#include "logger/logger.h"
#include "onewire/crc.h"
#include "tests/logger/recorded_run.h"
#include "tests/onewire/stack_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Reply = std::optional<Bytes>;
using Entries = std::vector<std::string>;

class ReadingTest : public RunDirectories {
protected:
    void SetUp() override
    {
        RunDirectories::SetUp();
        char* old = getcwd(nullptr, 0);
        old_ = old;
        std::free(old);
        ASSERT_EQ(chdir(work_.c_str()), 0);
        ErrorFilePath = app_ + "USBerr.txt";
        ClearDirectAccessTable();
        script::Install();
        ErrorStackResetForTest();
        StackResetForTest();
        port = PortOpenFirstFree("script:adapter");
        ASSERT_EQ(port, 0);
        script::Log().clear();
        ErrorStackResetForTest();
    }
    void TearDown() override
    {
        script::Remove();
        StackResetForTest();
        ErrorStackResetForTest();
        ASSERT_EQ(chdir(old_.c_str()), 0);
        RunDirectories::TearDown();
    }
    // The messages of the event log, without their stamps; empties the log.
    Entries TakeEntries()
    {
        const std::string text = recorded::ReadFile(ErrorFilePath);
        std::remove(ErrorFilePath.c_str());
        Entries entries;
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            entries.push_back(text.substr(at + 24, end - at - 24));
        return entries;
    }
    int Sent(const std::string& prefix) const
    {
        int n = 0;
        for (const std::string& line : script::Log())
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    int port = -1;
    std::string old_;
};

TEST_F(ReadingTest, ConvertLogsARefusedCommandAndAnUnfinishedConversion)
{
    std::strcpy(SerialText, "10A1B2C3D4E5F6A7");  // the last sensor listed
    const std::string fail = "ZovWriteConvert - Fail convert command for 10A1B2C3D4E5F6A7";
    const std::string unfinished =
        "ZovWriteConvert -  ERROR, temperature conversion was not complete for 10A1B2C3D4E5F6A7";
    // Replies to Skip ROM, to the powered Convert T, and to the byte read after the wait.
    struct Case {
        const char* name;
        std::deque<Reply> reads;
        Entries entries;
    } cases[] = {
        {"accepted and finished", {Bytes{0xCC}, Bytes{0x44}, Bytes{0xFF}}, {}},
        {"Skip ROM not read back", {Bytes{0xCD}, Bytes{0x44}, Bytes{0xFF}}, {}},
        {"convert command read back wrong", {Bytes{0xCC}, Bytes{0x45}, Bytes{0xFF}}, {fail}},
        {"convert command's reply refused", {Bytes{0xCC}, std::nullopt, Bytes{0xFF}}, {fail}},
        {"conversion not finished", {Bytes{0xCC}, Bytes{0x44}, Bytes{0x00}}, {unfinished}},
        {"both", {Bytes{0xCC}, Bytes{0x40}, Bytes{0x7F}}, {fail, unfinished}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script::Log().clear();
        script::Current().reads = c.reads;
        EXPECT_EQ(ZovWriteConvert(port), 1);
        EXPECT_EQ(TakeEntries(), c.entries);
        EXPECT_EQ(Sent("P850"), 1);
        EXPECT_EQ(Sent(script::Vendor(1, 0x1053, 0x44)), 1) << "one convert command, no retry";
    }
}

TEST_F(ReadingTest, SampleSensorSelectsTwiceAndMakesOneAttempt)
{
    Bytes serial = {0x10, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    serial.push_back(Crc8Of(serial.data(), 7));
    Bytes match = serial;
    match.insert(match.begin(), 0x55);
    Bytes wrongMatch = match;
    wrongMatch.back() ^= 1;
    Bytes pad = {0x32, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0B, 0x10};  // 25.0625 degrees
    pad.push_back(Crc8Of(pad.data(), 8));
    Bytes block = pad;
    block.insert(block.begin(), 0xBE);
    Bytes badBlock = block;
    badBlock[5] ^= 1;

    struct Case {
        const char* name;
        std::deque<Reply> reads;  // the two selections, then the scratchpad block
        int result;
        int selections;
        int blocks;
    } cases[] = {
        {"read", {match, match, block}, 1, 2, 1},
        {"first selection fails", {wrongMatch}, 0, 1, 0},
        {"second selection fails", {match, wrongMatch}, 0, 2, 0},
        {"scratchpad CRC wrong", {match, match, badBlock}, 0, 2, 1},
        {"block reply refused", {match, match, std::nullopt}, 0, 2, 1},
    };
    const std::regex line(R"(\d{10}\.\d{3},10A1B2C3D4E5F6[0-9A-F]{2},BE32004B46FFFF0B10[0-9A-F]{2},25\.000,25\.063 \r\n)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script::Log().clear();
        script::Current().reads = c.reads;
        ASSERT_EQ(OpenMeasurementFile(), 1);
        float value = -99;
        EXPECT_EQ(SampleSensor(port, serial.data(), &value), c.result);
        CloseMeasurementFile();
        EXPECT_EQ(Sent("W55"), c.selections);
        EXPECT_EQ(Sent("WBE"), c.blocks);
        const std::string written = recorded::ReadFile("tempu.tmp");
        if (c.result) {
            EXPECT_EQ(value, 25.0625f);
            EXPECT_TRUE(std::regex_match(written, line)) << written;
        } else {
            EXPECT_EQ(value, -99) << "left alone";
            EXPECT_EQ(written, "");
        }
    }
}

TEST_F(ReadingTest, ListingNamesUnknownFamiliesAfterTheDeviceBefore)
{
    const uint8_t families[] = {0x77, 0x10, 0x90, 0x05, 0x3F, 0x01, 0x3F};
    std::vector<SerialNumber> sensors;
    for (uint8_t family : families)
        sensors.push_back(SerialNumber{family, 0, 0, 0, 0, 0, static_cast<uint8_t>(sensors.size()), 0});
    ListSensors(sensors.data(), static_cast<int>(sensors.size()));
    const Entries expected = {
        "          7700000000000000 New - Added at database position= 0 ",  // the first: nine blanks
        "Temp      1000000000000100 New - Added at database position= 1 ",
        "Temp      9000000000000200 New - Added at database position= 2 ",
        "1-Switch  0500000000000300 New - Added at database position= 3 ",
        "1-Switch  3F00000000000400 New - Added at database position= 4 ",
        "Not Slave 0100000000000500 ",
        "Not Slave 3F00000000000600 New - Added at database position= 5 ",
    };
    EXPECT_EQ(TakeEntries(), expected);
}

}  // namespace
