#include "onewire/ds2490.h"

#include "tests/onewire/stack_fixture.h"

namespace script {
namespace {

class Ds2490Test : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        handle = DriverOpen("script:adapter");
    }
    void TearDown() override
    {
        DriverClose(handle);
        StackTest::TearDown();
    }
    DriverHandle handle = 0;
};

// One status packet each, judged by EvaluateLineStatus.
TEST_F(Ds2490Test, LineStatusFromPackets)
{
    std::vector<uint8_t> full = Status(0x20, 0, 0, std::vector<uint8_t>(16, 0xA5));
    full[31] = 0x01;
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        int result, presence, voltage;
    } cases[] = {
        {"registers only", Status(0x20), 1, 1, 0},
        {"detect and clean", Status(0x20, 0, 0, {0xA5, 0x00}), 1, 1, 0},
        {"no presence", Status(0x20, 0, 0, {0xA5, 0x01}), 1, 0, 0},
        {"short before presence", Status(0x20, 0, 0, {0x03}), 0, -1, 0},
        {"commands pending", Status(0x20, 2), 0, -1, 0},
        {"12 V reported", Status(0x24), 1, 1, 1},
        {"sixteen results", full, 1, 0, 0},
        // Shorter than the registers: no results are read, nothing stale is trusted.
        {"truncated packet", {0, 1, 2, 3, 4}, 1, 1, 0},
    };
    for (const Case& c : cases) {
        Current().status.push_back(c.packet);
        int presence = -1, voltage = -1;
        EXPECT_EQ(EvaluateLineStatus(handle, &presence, &voltage), c.result) << c.name;
        EXPECT_EQ(presence, c.presence) << c.name;
        EXPECT_EQ(voltage, c.voltage) << c.name;
        EXPECT_TRUE(Codes().empty()) << c.name;
    }
    Current().status.push_back(std::nullopt);
    int presence = -1, voltage = -1;
    EXPECT_EQ(EvaluateLineStatus(handle, &presence, &voltage), 0);
    EXPECT_EQ(Codes(), std::vector<int>{110});
}

TEST_F(Ds2490Test, ResultCountStaysWithinSixteen)
{
    const std::pair<size_t, int> cases[] = {{0, 0}, {15, 0}, {16, 0}, {17, 1}, {32, 16}, {40, 16}};
    for (auto [length, count] : cases) {
        Current().status.push_back(std::vector<uint8_t>(length, 0));
        AdapterStatus status;
        uint8_t results = 99;
        EXPECT_EQ(AdapterQueryStatus(handle, status, &results), 1);
        EXPECT_EQ(results, count) << length;
    }
}

TEST_F(Ds2490Test, StopPowerPulseRequests)
{
    const std::string halt = Vendor(0, 3, 0), resume = Vendor(0, 2, 0), none = Vendor(2, 0, 0);
    // Pulse already ended at the first look.
    EXPECT_EQ(StopPowerPulse(handle), 1);
    EXPECT_EQ(Log(), (std::vector<std::string>{halt, resume, "S", none}));

    // Still running once, then ended.
    Log().clear();
    Current().status.push_back(Status(0x21));
    EXPECT_EQ(StopPowerPulse(handle), 1);
    EXPECT_EQ(Log(), (std::vector<std::string>{halt, resume, "S", halt, resume, "S", none}));

    // Halt refused: one call, no code.
    Log().clear();
    Current().vendor.push_back(false);
    EXPECT_EQ(StopPowerPulse(handle), 0);
    EXPECT_EQ(Log(), std::vector<std::string>{halt});

    // Never ends: gives up after 300 ms of ticks without sending the mode request.
    Log().clear();
    Current().statusCostMicros = 10000;
    Current().status.assign(100, Status(0x21));
    const uint64_t start = Now();
    EXPECT_EQ(StopPowerPulse(handle), 0);
    EXPECT_EQ(Log().size(), 90u);  // 30 passes of 10 ms
    EXPECT_EQ(Log().back(), "S");
    EXPECT_GE(Now() - start, 300000u);
    EXPECT_TRUE(Codes().empty());
}

TEST_F(Ds2490Test, StopPowerPulseEndsUnderFrozenClock)
{
    Current().status.assign(POLL_STALL_LIMIT + 10, Status(0x21));
    EXPECT_EQ(StopPowerPulse(handle), 0);
}

TEST_F(Ds2490Test, PrepareAdapterSendsAllRequestsEvenWhenRefused)
{
    Current().vendor.assign(4, false);
    EXPECT_EQ(PrepareAdapter(handle), 1);
    EXPECT_EQ(Log(), Prepare());
}

TEST_F(Ds2490Test, BulkTransfersReportCountsAndRefusals)
{
    uint8_t buffer[16] = {};
    uint16_t length = 16;
    Current().reads.push_back(std::vector<uint8_t>(8, 0x11));
    EXPECT_EQ(BulkReceive(handle, buffer, &length), 1);
    EXPECT_EQ(length, 8);

    Current().reads.push_back(std::nullopt);
    length = 16;
    EXPECT_EQ(BulkReceive(handle, buffer, &length), 0);
    EXPECT_EQ(length, 16);

    Current().writes.push_back(5u);
    EXPECT_EQ(BulkSend(handle, buffer, &length), 1);
    EXPECT_EQ(length, 5);
    Current().writes.push_back(std::nullopt);
    EXPECT_EQ(BulkSend(handle, buffer, &length), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{110, 110}));
}

}  // namespace
}  // namespace script
