#include <gtest/gtest.h>

#include <csignal>

#include "onewire/crc.h"
#include "rig.h"

namespace {

const std::string SENSOR = "clock virtual\nsensor 10A1B2C3D4E5F6 21\n";
const SimSerial SENSOR_SERIAL = Serial("10A1B2C3D4E5F6");

// What a refusal hits: vendor request, status, read, write.
struct Reach {
    bool vendor, status, read, write;
};

Reach Probe(Rig& rig)
{
    Reach reach{};
    reach.vendor = rig.Comm(CMD_BYTE, 0x77);
    reach.status = !rig.Status().empty();
    uint8_t byte = 0;
    uint32_t done = 0;
    reach.read = DriverRead(rig.handle, &byte, 1, &done) != 0;
    reach.write = rig.Write({0x01}) != UINT32_MAX;
    return reach;
}

TEST(Faults, RefusalsHitTheirKindOfCall)
{
    struct Case {
        const char* fault;
        Reach reach;
    } cases[] = {
        {"fault unplug always\n", {false, false, false, false}},
        {"fault refuse-vendor always\n", {false, true, true, true}},
        {"fault refuse-status always\n", {true, false, true, true}},
        {"fault refuse-read always\n", {true, true, false, true}},
        {"fault refuse-write always\n", {true, true, true, false}},
        {"fault refuse-read seconds=5\n", {true, true, true, true}},
    };
    for (const Case& c : cases) {
        Rig rig(SENSOR + c.fault);
        Reach reach = Probe(rig);
        EXPECT_EQ(reach.vendor, c.reach.vendor) << c.fault;
        EXPECT_EQ(reach.status, c.reach.status) << c.fault;
        EXPECT_EQ(reach.read, c.reach.read) << c.fault;
        EXPECT_EQ(reach.write, c.reach.write) << c.fault;
    }
}

TEST(Faults, UnplugEndsAndChipComesBackAtPowerOn)
{
    Rig rig(SENSOR + "fault unplug seconds=1-2\n");
    rig.Write({1, 2, 3});
    EXPECT_EQ(rig.Status()[12], 3);
    PauseMs(1000);
    EXPECT_TRUE(rig.Status().empty());
    PauseMs(1000);
    std::vector<uint8_t> status = rig.Status();
    ASSERT_EQ(status.size(), 16u);
    EXPECT_EQ(status[12], 0) << "send FIFO emptied by the power-on reset";

    SimSetPlugged(rig.adapter, false);
    EXPECT_FALSE(rig.Reset());
    SimSetPlugged(rig.adapter, true);
    EXPECT_TRUE(rig.Reset());
}

TEST(Faults, ConversionWindowCountsRefusedConvertsToo)
{
    Rig rig(SENSOR + "fault unplug conversion=2\n");
    rig.ConvertAll();
    EXPECT_FALSE(rig.Status().empty());
    rig.ConvertAll();  // the second convert is refused, yet counted
    EXPECT_TRUE(rig.Status().empty());
    rig.ConvertAll();
    EXPECT_FALSE(rig.Status().empty());
    EXPECT_EQ(SimCountersOf(rig.adapter).conversions, 3u);

    // A stack that stops at the refused pulse enable has asked for cycle 4;
    // Match ROM arms the counter as Skip ROM does; other traffic disarms it.
    SimSetPlugged(rig.adapter, false);
    rig.Comm(CMD_RESET, 1);
    rig.Comm(CMD_BYTE, 0xCC);
    rig.Request(2, 0x0000, 0x0002);
    SimSetPlugged(rig.adapter, true);
    rig.Reset();
    rig.Block({0x55, 1, 2, 3, 4, 5, 6, 7, 8});
    rig.Byte(0x44);
    rig.Byte(0xCC);
    rig.Byte(0xBE);
    rig.Byte(0x44);
    EXPECT_EQ(SimCountersOf(rig.adapter).conversions, 5u);
}

TEST(Faults, OnceAndSeededProbability)
{
    Rig once(SENSOR + "fault refuse-status once\n");
    EXPECT_TRUE(once.Status().empty());
    EXPECT_FALSE(once.Status().empty());
    EXPECT_FALSE(once.Status().empty());

    auto pattern = [](const char* seed) {
        Rig rig(SENSOR + seed + "fault refuse-status p=0.5\n");
        std::string refused;
        for (int i = 0; i < 64; ++i)
            refused += rig.Status().empty() ? 'x' : '.';
        return refused;
    };
    std::string first = pattern("seed 3\n");
    EXPECT_EQ(first, pattern("seed 3\n"));
    EXPECT_NE(first, pattern("seed 4\n"));
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
}

TEST(Faults, ShortTransfers)
{
    Rig writes(SENSOR + "fault short-write always\n");
    EXPECT_EQ(writes.Write(std::vector<uint8_t>(8, 0xFF)), 4u);
    Rig reads(SENSOR + "fault short-read seconds=1\n");
    for (uint8_t byte : {1, 2, 3, 4})
        reads.Comm(CMD_BYTE, byte);
    EXPECT_EQ(reads.Read(1).size(), 1u);
    PauseMs(1000);
    EXPECT_EQ(reads.Read(3), std::vector<uint8_t>{2});
}

TEST(Faults, LineAndAdapterState)
{
    {
        Rig rig(SENSOR + "fault short-line once\n");
        rig.Comm(CMD_RESET, 1);
        EXPECT_EQ(rig.Results(), std::vector<uint8_t>{0x02});
        EXPECT_TRUE(rig.Reset());
        SimSetLineShorted(rig.adapter, true);
        rig.Comm(CMD_RESET, 1);
        EXPECT_EQ(rig.Results(), std::vector<uint8_t>{0x02});
    }
    {
        Rig rig(SENSOR + "fault busy always\n");
        rig.Comm(CMD_RESET, 1);
        std::vector<uint8_t> status = rig.Status();
        EXPECT_NE(status[11], 0);
        EXPECT_FALSE(status[8] & 0x20);
    }
    {
        Rig rig(SENSOR + "fault leave 10A1B2C3D4E5F6 seconds=0-1\n");
        rig.Comm(CMD_RESET, 1);
        EXPECT_EQ(rig.Results(), std::vector<uint8_t>{0x01});
        PauseMs(1000);
        EXPECT_TRUE(rig.Reset()) << "the sensor comes back";
    }
}

TEST(Faults, SensorSymptoms)
{
    {
        Rig rig(SENSOR + "fault crc 10A1B2C3D4E5F6 always\n");
        std::vector<uint8_t> pad = rig.Scratchpad(SENSOR_SERIAL);
        ASSERT_EQ(pad.size(), 9u);
        EXPECT_NE(Crc8Of(pad.data(), 9), 0);
    }
    {
        Rig rig(SENSOR + "fault count-per-c-zero 10A1B2C3D4E5F6 always\n");
        std::vector<uint8_t> pad = rig.Scratchpad(SENSOR_SERIAL);
        ASSERT_EQ(pad.size(), 9u);
        EXPECT_EQ(pad[7], 0);
        EXPECT_EQ(Crc8Of(pad.data(), 9), 0);
    }
    {
        Rig rig(SENSOR + "fault slow-conversion 10A1B2C3D4E5F6 conversion=1\n");
        rig.ConvertAll();
        PauseMs(850);
        rig.StopPullup();
        EXPECT_EQ(rig.Byte(0xFF), 0x00) << "still converting after the logger's wait";
        EXPECT_EQ(rig.Scratchpad(SENSOR_SERIAL)[0], 0xAA);
        PauseMs(400);
        EXPECT_EQ(rig.Scratchpad(SENSOR_SERIAL)[0], 42);
    }
}

// Clock jumps set the wall clock once each, at their moment, and leave the
// monotonic clock alone; back past 1970 stops at 1970-01-01.
TEST(Faults, ClockJumpsMoveOnlyTheWallClockOnceEach)
{
    Rig rig("clock virtual 1700000000\nsensor 10A1B2C3D4E5F6 21\n"
            "clock jump conversion=2 -86400\nclock jump conversion=3 -1800000000\n"
            "clock jump seconds=1000 +2592000\nclock jump conversion=5 -0.25\n");
    auto wall = [] { return static_cast<int64_t>(WallClockNow().seconds); };
    rig.ConvertAll();
    EXPECT_LT(wall() - 1700000000, 5);
    // Cycle 2: nothing before its Convert T is asked for, then a day back.
    rig.Reset();
    rig.Byte(0xCC);
    EXPECT_GE(wall(), 1700000000);
    uint64_t before = ClockMicros();
    rig.Request(2, 0x0000, 0x0002);
    EXPECT_LT(wall(), 1700000000 - 86400 + 5);
    EXPECT_GE(wall(), 1700000000 - 86400);
    EXPECT_GE(ClockMicros(), before) << "the monotonic clock went back";
    rig.Comm(CMD_BYTE_SPU, 0x44);
    rig.Read(1);
    rig.ConvertAll();
    EXPECT_GE(wall(), 0);
    EXPECT_LT(wall(), 5) << "1970-01-01 plus the seconds since";
    // A seconds moment: the first driver call from then on.
    PauseMs(1000 * 1000);
    EXPECT_LT(wall(), 1005);
    rig.Status();
    EXPECT_GE(wall(), 2592000 + 1000);
    EXPECT_LT(wall(), 2592000 + 1005);
    // Milliseconds: a quarter of a second back, while the monotonic clock goes on.
    rig.ConvertAll();
    rig.Reset();
    rig.Byte(0xCC);
    const uint64_t monotonic = ClockMicros();
    const WallTime before_jump = WallClockNow();
    rig.Request(2, 0x0000, 0x0002);
    const WallTime after_jump = WallClockNow();
    const double moved = static_cast<double>((after_jump.seconds - before_jump.seconds) * 1000
                                             + after_jump.milliseconds - before_jump.milliseconds);
    EXPECT_NEAR(moved, static_cast<double>(ClockMicros() - monotonic) / 1000 - 250, 1);
    for (int cycle = 0; cycle < 3; ++cycle)
        rig.ConvertAll();
    EXPECT_LT(wall(), 2592000 + 1005) << "a jump fired twice";
}

int Signals[2];
void Count(int signal) { ++Signals[signal == SIGINT ? 0 : 1]; }

TEST(Faults, SignalHooksFireOnceWhenTheWindowOpens)
{
    auto old_int = signal(SIGINT, Count);
    auto old_term = signal(SIGTERM, Count);
    Signals[0] = Signals[1] = 0;
    {
        Rig rig(SENSOR + "fault interrupt conversion=2\nfault terminate seconds=10\n");
        rig.ConvertAll();
        EXPECT_EQ(Signals[0], 0);
        rig.ConvertAll();
        EXPECT_EQ(Signals[0], 1);
        rig.ConvertAll();
        PauseMs(10000);
        EXPECT_EQ(Signals[1], 0);
        rig.Status();
        rig.Status();
        EXPECT_EQ(Signals[0], 1);
        EXPECT_EQ(Signals[1], 1);
    }
    signal(SIGINT, old_int);
    signal(SIGTERM, old_term);
}

}  // namespace
