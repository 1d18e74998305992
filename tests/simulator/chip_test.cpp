#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "onewire/crc.h"
#include "rig.h"

namespace {

const char* TWO_SENSORS =
    "clock virtual\n"
    "sensor 10A1B2C3D4E5F6 25.0625\n"
    "sensor 10112233445566 -0.0625\n";

TEST(Chip, ResetReportsPresenceAbsenceAndShortOnce)
{
    struct Case {
        const char* bus;
        uint8_t result;
    } cases[] = {
        {"sensor 10A1B2C3D4E5F6 21\n", 0xA5},
        {"device 05FFEEDDCCBBAA\n", 0xA5},
        {"timing off\n", 0x01},
        {"sensor 10A1B2C3D4E5F6 21\nfault short-line always\n", 0x02},
    };
    for (const Case& c : cases) {
        Rig rig(c.bus);
        ASSERT_TRUE(rig.Comm(CMD_RESET, 1));
        std::vector<uint8_t> status = rig.Status();
        ASSERT_EQ(status.size(), 17u) << c.bus;
        EXPECT_EQ(status[16], c.result) << c.bus;
        EXPECT_EQ(status[11], 0) << "no command pending";
        EXPECT_TRUE(status[8] & 0x20) << "idle";
        EXPECT_EQ(rig.Status().size(), 16u) << "results are consumed when reported";
    }
}

TEST(Chip, ByteAndBlockEcho)
{
    Rig rig(TWO_SENSORS);
    ASSERT_TRUE(rig.Reset());
    // Skip ROM then an unknown function command: nobody drives the line.
    EXPECT_EQ(rig.Byte(0xCC), 0xCC);
    EXPECT_EQ(rig.Byte(0xA5), 0xA5);
    std::vector<uint8_t> block(150);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    // Block exchange in 64-byte chunks, as the stack does it.
    rig.Reset();
    rig.Byte(0xCC);
    rig.Byte(0x00);
    std::vector<uint8_t> back;
    for (size_t offset = 0; offset < block.size(); offset += 64) {
        size_t chunk = std::min<size_t>(64, block.size() - offset);
        EXPECT_EQ(rig.Write(std::vector<uint8_t>(block.begin() + offset, block.begin() + offset + chunk)), chunk);
        if (offset == 0)
            rig.Comm(CMD_BLOCK, static_cast<uint16_t>(block.size()));
        EXPECT_EQ(rig.Status()[13], chunk);
        std::vector<uint8_t> read = rig.Read(static_cast<uint32_t>(chunk));
        back.insert(back.end(), read.begin(), read.end());
    }
    EXPECT_EQ(back, block);
    EXPECT_TRUE(rig.Status()[8] & 0x20);
}

TEST(Chip, MatchRomAndScratchpad)
{
    Rig rig(TWO_SENSORS);
    SimSerial first = Serial("10A1B2C3D4E5F6");
    // Power-on scratchpad until the first conversion: 85 degrees.
    std::vector<uint8_t> pad = rig.Scratchpad(first);
    ASSERT_EQ(pad.size(), 9u);
    EXPECT_EQ(pad, (std::vector<uint8_t>{0xAA, 0x00, 75, 70, 0xFF, 0xFF, 0x0C, 0x10, pad[8]}));
    EXPECT_EQ(Crc8Of(pad.data(), 9), 0);

    rig.ConvertAll();
    PauseMs(850);
    rig.StopPullup();
    struct Want {
        const char* serial;
        std::vector<uint8_t> bytes;  // 0, 1, 6, 7
    } wants[] = {
        {"10A1B2C3D4E5F6", {0x32, 0x00, 0x0B, 0x10}},
        {"10112233445566", {0x00, 0x00, 0x0D, 0x10}},
    };
    for (const Want& want : wants) {
        pad = rig.Scratchpad(Serial(want.serial));
        ASSERT_EQ(pad.size(), 9u);
        EXPECT_EQ(Crc8Of(pad.data(), 9), 0) << want.serial;
        EXPECT_EQ((std::vector<uint8_t>{pad[0], pad[1], pad[6], pad[7]}), want.bytes) << want.serial;
    }
    // Match ROM with a number nobody has: the scratchpad read gets all ones.
    pad = rig.Scratchpad(Serial("10000000000001"));
    EXPECT_EQ(pad, std::vector<uint8_t>(9, 0xFF));
}

TEST(Chip, ConversionSignalsBusyAndNeedsPullupWhenParasite)
{
    Rig rig(
        "clock virtual\n"
        "sensor 10A1B2C3D4E5F6 30\n"
        "sensor 10112233445566 40 parasite\n"
        "sensor 10223344556677 50 parasite\n"
        "fault no-pullup 10223344556677 always\n");
    rig.Reset();
    rig.Byte(0xCC);
    rig.Byte(0x44);  // without the strong pull-up
    EXPECT_EQ(rig.Byte(0xFF), 0x00) << "externally powered sensor holds read slots low";
    PauseMs(199);
    EXPECT_EQ(rig.Byte(0xFF), 0x00);
    PauseMs(2);
    EXPECT_EQ(rig.Byte(0xFF), 0xFF);
    EXPECT_EQ(rig.Scratchpad(Serial("10A1B2C3D4E5F6"))[0], 60);
    EXPECT_EQ(rig.Scratchpad(Serial("10112233445566"))[0], 0xAA) << "parasite without pull-up";

    rig.ConvertAll();
    EXPECT_TRUE(rig.Status()[8] & 0x01) << "pull-up active until halted";
    PauseMs(850);
    EXPECT_TRUE(rig.Status()[8] & 0x01);
    rig.StopPullup();
    EXPECT_FALSE(rig.Status()[8] & 0x01);
    EXPECT_EQ(rig.Scratchpad(Serial("10112233445566"))[0], 80);
    EXPECT_EQ(rig.Scratchpad(Serial("10223344556677"))[0], 0xAA) << "pull-up does not reach it";

    // Pull-up ended before the conversion is over: no update.
    SimSetTemperature(rig.adapter, Serial("10112233445566"), 41);
    rig.ConvertAll();
    PauseMs(100);
    rig.StopPullup();
    PauseMs(500);
    EXPECT_EQ(rig.Scratchpad(Serial("10112233445566"))[0], 80);
}

TEST(Chip, ReadPowerSupplyAndEepromCommands)
{
    Rig rig("sensor 10A1B2C3D4E5F6 20\nsensor 10112233445566 20 parasite\n");
    auto select = [&](const char* serial) {
        rig.Reset();
        std::vector<uint8_t> match = {0x55};
        SimSerial s = Serial(serial);
        match.insert(match.end(), s.begin(), s.end());
        rig.Block(match);
    };
    select("10A1B2C3D4E5F6");
    rig.Byte(0xB4);
    EXPECT_EQ(rig.Byte(0xFF), 0xFF);
    select("10112233445566");
    rig.Byte(0xB4);
    EXPECT_EQ(rig.Byte(0xFF), 0x00);

    select("10A1B2C3D4E5F6");
    rig.Block({0x4E, 0x19, 0xF6});  // TH 25, TL -10
    EXPECT_EQ(rig.Scratchpad(Serial("10A1B2C3D4E5F6"))[2], 0x19);
    select("10A1B2C3D4E5F6");
    rig.Byte(0xB8);  // recall the EEPROM: the write is undone
    EXPECT_EQ(rig.Scratchpad(Serial("10A1B2C3D4E5F6"))[2], 75);
    select("10A1B2C3D4E5F6");
    rig.Block({0x4E, 0x19, 0xF6});
    select("10A1B2C3D4E5F6");
    rig.Byte(0x48);  // copy to EEPROM
    select("10A1B2C3D4E5F6");
    rig.Byte(0xB8);
    std::vector<uint8_t> pad = rig.Scratchpad(Serial("10A1B2C3D4E5F6"));
    EXPECT_EQ(pad[2], 0x19);
    EXPECT_EQ(pad[3], 0xF6);
    EXPECT_EQ(Crc8Of(pad.data(), 9), 0);
}

TEST(Chip, PowerOnResetAndUnknownRequests)
{
    Rig rig("sensor 10A1B2C3D4E5F6 20\n");
    rig.Reset();
    rig.Comm(CMD_BYTE, 0x12);
    rig.Write({1, 2, 3});
    std::vector<uint8_t> status = rig.Status();
    EXPECT_EQ(status[12], 3);
    EXPECT_EQ(status[13], 1);
    ASSERT_TRUE(rig.Request(0, 0x0000, 0));
    status = rig.Status();
    EXPECT_EQ(status[12], 0);
    EXPECT_EQ(status[13], 0);

    EXPECT_FALSE(rig.Request(0, 0x00FF, 0)) << "unknown control command";
    EXPECT_FALSE(rig.Comm(0x0080, 0)) << "unknown communication command";
    EXPECT_FALSE(rig.Request(2, 0x0042, 0)) << "unknown mode";
    EXPECT_FALSE(rig.Request(7, 0, 0)) << "unknown request kind";
    EXPECT_TRUE(rig.Request(2, 0x0002, 2));
    EXPECT_FALSE(rig.Status()[8] & 0x04);
    Rig powered("program-voltage on\n");
    EXPECT_TRUE(powered.Status()[8] & 0x04);
}

TEST(Chip, DemoBusHasFourIndoorSensors)
{
    ClockUseVirtual();
    Rig rig("sim:");
    rig.ConvertAll();
    PauseMs(850);
    rig.StopPullup();
    for (const SimDeviceSpec& sensor : SimDemoBus().devices) {
        std::vector<uint8_t> pad = rig.Scratchpad(sensor.serial);
        ASSERT_EQ(pad.size(), 9u);
        EXPECT_EQ(Crc8Of(pad.data(), 9), 0);
        double t = SimDecodeExtended(SimTemperatureBytes{pad[0], pad[1], pad[6], pad[7]});
        EXPECT_GE(t, 19);
        EXPECT_LE(t, 23);
    }
    EXPECT_GT(SimCountersOf(rig.adapter).usb_micros, 0u) << "timing model on";
}

TEST(Chip, CommandWithoutExecuteAtOnceWaitsForStart)
{
    Rig rig("sensor 10A1B2C3D4E5F6 20\n");
    rig.Reset();
    rig.Comm(CMD_BYTE & ~1, 0x5A);
    std::vector<uint8_t> status = rig.Status();
    EXPECT_EQ(status[11], 1);
    EXPECT_FALSE(status[8] & 0x20);
    rig.Request(0, 0x0001, 0);
    EXPECT_EQ(rig.Read(1), std::vector<uint8_t>{0x5A});
}

TEST(Chip, BitSlotsAndAlarmSearch)
{
    Rig rig(
        "clock virtual\n"
        "sensor 10A1B2C3D4E5F6 30 th=28 tl=0\n"
        "sensor 10112233445566 20 tl=0\n");
    rig.Reset();
    rig.Byte(0x33);  // Read ROM is ambiguous with two devices: wired-AND of both
    rig.Reset();
    rig.Byte(0xF0);
    // First triplet: both family codes have bit 0 = 0, so the first slot reads 0
    // and the complement slot reads 1.
    rig.Comm(CMD_BIT_WRITE1);
    rig.Comm(CMD_BIT_WRITE1);
    rig.Comm(CMD_BIT_WRITE0);
    EXPECT_EQ(rig.Read(3), (std::vector<uint8_t>{0, 1, 0}));

    rig.ConvertAll();
    PauseMs(850);
    rig.StopPullup();
    rig.Reset();
    rig.Write(std::vector<uint8_t>(8, 0));
    rig.Comm(CMD_SEARCH, 0x01EC);
    std::vector<uint8_t> found = rig.Read(16);
    SimSerial alarmed = Serial("10A1B2C3D4E5F6");
    EXPECT_EQ(found, std::vector<uint8_t>(alarmed.begin(), alarmed.end())) << "only the sensor above TH";
}

TEST(Chip, OverdriveMatch)
{
    Rig rig("sensor 10A1B2C3D4E5F6 20\nsensor 10112233445566 20\n");
    SimSerial serial = Serial("10A1B2C3D4E5F6");
    rig.Reset();
    rig.Byte(0x69);
    rig.Request(2, 0x0002, 2);
    std::vector<uint8_t> echo = rig.Block(std::vector<uint8_t>(serial.begin(), serial.end()));
    EXPECT_EQ(echo, std::vector<uint8_t>(serial.begin(), serial.end()));
    // An overdrive reset reaches only the matched device.
    rig.Comm(CMD_RESET, 2);
    EXPECT_EQ(rig.Results(), std::vector<uint8_t>{0xA5});
    rig.Byte(0xCC);
    rig.Byte(0xBE);
    EXPECT_EQ(rig.Byte(0xFF), 0xAA);
    // Back to normal speed: a standard reset drops overdrive everywhere.
    EXPECT_TRUE(rig.Reset());
}

}  // namespace
