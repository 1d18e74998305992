#include <gtest/gtest.h>

#include <cmath>

#include "rig.h"

namespace {

TEST(Encoding, DocumentedExamplesRoundTrip)
{
    struct Row {
        SimTemperatureBytes raw;
        double whole, extended;
        bool exact;  // the encoder produces these very bytes
    } rows[] = {
        {{0x2A, 0x00, 0x0C, 0x10}, 21.0, 21.0, true},
        {{0x32, 0x00, 0x0B, 0x10}, 25.0, 25.0625, true},
        {{0xFF, 0xFF, 0x0C, 0x10}, -1.0, -1.0, false},
        {{0x92, 0xFF, 0x10, 0x10}, -55.0, -55.25, true},
        {{0x2A, 0x00, 0x0C, 0x00}, 21.0, 21.0, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SimDecodeWhole(row.raw), row.whole);
        EXPECT_EQ(SimDecodeExtended(row.raw), row.extended);
        SimTemperatureBytes encoded = SimEncodeTemperature(row.extended);
        EXPECT_EQ(SimDecodeExtended(encoded), row.extended);
        if (row.exact) {
            EXPECT_EQ(encoded.lsb, row.raw.lsb) << row.extended;
            EXPECT_EQ(encoded.msb, row.raw.msb) << row.extended;
            EXPECT_EQ(encoded.count_remain, row.raw.count_remain) << row.extended;
        }
    }
    // Every sixteenth over the range comes back, the register holds T rounded
    // to half a degree, and the whole degrees match it.
    for (int s = -55 * 16; s <= 125 * 16; ++s) {
        double t = s / 16.0;
        SimTemperatureBytes bytes = SimEncodeTemperature(t);
        ASSERT_EQ(SimDecodeExtended(bytes), t);
        int16_t reg = static_cast<int16_t>(bytes.lsb | bytes.msb << 8);
        ASSERT_EQ(reg, static_cast<int16_t>(std::floor(2 * t + 0.5))) << t;
        ASSERT_LE(bytes.count_remain, 16);
    }
    EXPECT_EQ(SimDecodeExtended(SimEncodeTemperature(200)), 125.6875);
    EXPECT_EQ(SimDecodeExtended(SimEncodeTemperature(-80)), -55.25);
}

TEST(Timing, ByteCommandRunsOnTheModelledClock)
{
    Rig rig("timing on\nclock virtual\nsensor 10A1B2C3D4E5F6 21\n");
    uint64_t start = ClockMicros();
    ASSERT_TRUE(rig.Comm(CMD_BYTE, 0x3C));
    EXPECT_EQ(ClockMicros() - start, 1000u) << "one control transfer frame";
    std::vector<uint8_t> status = rig.Status();
    EXPECT_NE(status[11], 0) << "pending right after it is issued";
    EXPECT_FALSE(status[8] & 0x20);
    EXPECT_EQ(status[13], 0);
    status = rig.Status();  // a polling period later: the 0.56 ms byte is done
    EXPECT_EQ(status[11], 0);
    EXPECT_TRUE(status[8] & 0x20);
    EXPECT_EQ(status[13], 1);
    EXPECT_EQ(rig.Read(1), std::vector<uint8_t>{0x3C});

    SimCounters counters = SimCountersOf(rig.adapter);
    EXPECT_EQ(counters.requests, 1u);
    EXPECT_EQ(counters.status_reads, 2u);
    EXPECT_EQ(counters.bulk_reads, 1u);
    EXPECT_EQ(counters.usb_micros, 4000u);
    EXPECT_EQ(counters.bus_micros, 560u);

    // The stack reads the status right after an overdrive reset, without a settle pause.
    rig.Reset();
    rig.Byte(0x3C);  // Overdrive Skip ROM
    rig.Comm(CMD_RESET, 2);
    EXPECT_EQ(rig.Results(), std::vector<uint8_t>{0xA5});
}

TEST(Timing, BlockFillsTheFifoAsBytesComplete)
{
    Rig rig("timing on\nclock virtual\n");
    rig.Write(std::vector<uint8_t>(64, 0x5A));
    rig.Comm(CMD_BLOCK, 64);
    std::vector<int> counts;
    for (int i = 0; i < 201; ++i) {
        std::vector<uint8_t> status = rig.Status();
        counts.push_back(status[13]);
        if (status[8] & 0x20)
            break;
        PauseMs(1);
    }
    ASSERT_GT(counts.size(), 2u);
    EXPECT_LT(counts.front(), 64);
    EXPECT_EQ(counts.back(), 64);
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));

    // A search pass is over well within the stack's 200 ms.
    rig.Write(std::vector<uint8_t>(8, 0));
    uint64_t start = ClockMicros();
    rig.Comm(CMD_SEARCH, 0x01F0);
    while (!(rig.Status()[8] & 0x20))
        ASSERT_LT(ClockMicros() - start, 200000u);
}

TEST(Timing, TimedPullupEndsByItself)
{
    Rig rig("timing on\nclock virtual\nsensor 10A1B2C3D4E5F6 21\n");
    rig.Request(2, 0x0000, 0x0002);
    rig.Comm(0x0013, 2);  // 2 x 16 ms
    rig.Comm(CMD_PULSE_SPU);
    EXPECT_TRUE(rig.Status()[8] & 0x01);
    PauseMs(40);
    EXPECT_FALSE(rig.Status()[8] & 0x01);
}

}  // namespace
