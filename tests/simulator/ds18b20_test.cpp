// The DS18B20-kind sensor model: register encoding, power-on value,
// resolution and conversion time, the config byte and its EEPROM copy.
#include <gtest/gtest.h>

#include "onewire/crc.h"
#include "rig.h"

namespace {

TEST(TwelveBit, EncoderMatchesTheDatasheetTable)
{
    const struct {
        double celsius;
        uint16_t reg;
    } rows[] = {
        {125, 0x07D0},  {85, 0x0550}, {25.0625, 0x0191}, {10.125, 0x00A2},  {0.5, 0x0008},
        {0, 0x0000},    {-0.5, 0xFFF8}, {-10.125, 0xFF5E}, {-25.0625, 0xFE6F}, {-55, 0xFC90},
        {200, 0x07D0},  {-80, 0xFC90},  // clamped to the range
    };
    for (const auto& row : rows)
        EXPECT_EQ(SimEncodeTwelveBit(row.celsius), row.reg) << row.celsius;
}

void Select(Rig& rig, const SimSerial& serial)
{
    rig.Reset();
    std::vector<uint8_t> match = {0x55};
    match.insert(match.end(), serial.begin(), serial.end());
    rig.Block(match);
}

// Converts without the strong pull-up and returns how long, in ms, read slots
// were held at 0 (polled every ms).
int ConversionMs(Rig& rig)
{
    rig.Reset();
    rig.Byte(0xCC);
    rig.Byte(0x44);
    int ms = 0;
    while (rig.Byte(0xFF) != 0xFF && ms < 2000) {
        PauseMs(1);
        ++ms;
    }
    return ms;
}

TEST(TwelveBit, PowerOnValueThenResolutionSetsTimeNotTheLowBits)
{
    for (int resolution = 9; resolution <= 12; ++resolution) {
        SCOPED_TRACE(resolution);
        Rig rig("clock virtual\nsensor 28A1B2C3D4E5F6 25.0625 resolution=" + std::to_string(resolution) + "\n");
        SimSerial serial = Serial("28A1B2C3D4E5F6");
        std::vector<uint8_t> pad = rig.Scratchpad(serial);
        ASSERT_EQ(pad.size(), 9u);
        uint8_t config = static_cast<uint8_t>(((resolution - 9) << 5) | 0x1F);
        EXPECT_EQ(pad, (std::vector<uint8_t>{0x50, 0x05, 75, 70, config, 0xFF, 0x0C, 0x10, pad[8]}));
        EXPECT_EQ(Crc8Of(pad.data(), 9), 0);

        // 93.75 ms at 9 bits, doubling per bit (the polling adds a few ms).
        int expected = static_cast<int>(93.75 * (1 << (resolution - 9)));
        int took = ConversionMs(rig);
        EXPECT_GE(took, expected - 2);
        EXPECT_LE(took, expected + 3);
        pad = rig.Scratchpad(serial);
        EXPECT_EQ(pad[0], 0x91) << "bits below the resolution hold the 12-bit result";
        EXPECT_EQ(pad[1], 0x01);
        EXPECT_EQ(Crc8Of(pad.data(), 9), 0);
    }
}

TEST(TwelveBit, WriteCopyRecallAndPowerSupply)
{
    Rig rig("clock virtual\nsensor 28A1B2C3D4E5F6 -10.125\nsensor 42112233445566 20 parasite\n");
    SimSerial serial = Serial("28A1B2C3D4E5F6");
    Select(rig, serial);
    rig.Block({0x4E, 0x19, 0xF6, 0xFF});  // TH 25, TL -10, 9 bits (other config bits are fixed)
    std::vector<uint8_t> pad = rig.Scratchpad(serial);
    EXPECT_EQ(pad[2], 0x19);
    EXPECT_EQ(pad[3], 0xF6);
    EXPECT_EQ(pad[4], 0x7F);
    Select(rig, serial);
    rig.Block({0x4E, 0x19, 0xF6, 0x00});
    EXPECT_EQ(rig.Scratchpad(serial)[4], 0x1F);
    EXPECT_LE(ConversionMs(rig), 97) << "9 bits from the written config";
    EXPECT_EQ(rig.Scratchpad(serial)[0], 0x5E);

    Select(rig, serial);
    rig.Byte(0xB8);  // recall: the write was not copied
    pad = rig.Scratchpad(serial);
    EXPECT_EQ(pad[2], 75);
    EXPECT_EQ(pad[4], 0x7F);
    Select(rig, serial);
    rig.Block({0x4E, 0x19, 0xF6, 0x20});
    Select(rig, serial);
    rig.Byte(0x48);  // copy TH, TL and config to the EEPROM
    Select(rig, serial);
    rig.Block({0x4E, 0x00, 0x00, 0x7F});
    Select(rig, serial);
    rig.Byte(0xB8);
    pad = rig.Scratchpad(serial);
    EXPECT_EQ((std::vector<uint8_t>{pad[2], pad[3], pad[4]}), (std::vector<uint8_t>{0x19, 0xF6, 0x3F}));
    EXPECT_EQ(Crc8Of(pad.data(), 9), 0);

    Select(rig, serial);
    rig.Byte(0xB4);
    EXPECT_EQ(rig.Byte(0xFF), 0xFF) << "externally powered";
    Select(rig, Serial("42112233445566"));
    rig.Byte(0xB4);
    EXPECT_EQ(rig.Byte(0xFF), 0x00) << "parasite";
}

uint16_t Register(Rig& rig, const SimSerial& serial)
{
    std::vector<uint8_t> pad = rig.Scratchpad(serial);
    return pad.size() == 9 ? static_cast<uint16_t>(pad[0] | pad[1] << 8) : 0xEEEE;
}

TEST(TwelveBit, ParasiteNeedsThePullupAndLosesItsValueWithTheAdapter)
{
    Rig rig("clock virtual\nsensor 28A1B2C3D4E5F6 21.5\nsensor 22112233445566 30 parasite\n");
    SimSerial external = Serial("28A1B2C3D4E5F6"), parasite = Serial("22112233445566");
    ConversionMs(rig);
    EXPECT_EQ(Register(rig, external), 0x0158);
    EXPECT_EQ(Register(rig, parasite), 0x0550) << "no pull-up: still the power-on value";
    rig.ConvertAll();
    PauseMs(760);
    rig.StopPullup();
    EXPECT_EQ(Register(rig, parasite), 0x01E0);

    SimSetPlugged(rig.adapter, false);
    rig.Status();
    SimSetPlugged(rig.adapter, true);
    rig.Status();
    EXPECT_EQ(Register(rig, parasite), 0x0550) << "powered from the line: back at power-on";
    EXPECT_EQ(Register(rig, external), 0x0158) << "its own supply: keeps the value";
}

}  // namespace
