#include "onewire/link.h"

#include "tests/onewire/stack_fixture.h"

namespace script {
namespace {

using Lines = std::vector<std::string>;
using CodeList = std::vector<int>;

class PortTest : public StackTest {};
class LinkTest : public OpenPortTest {};

TEST_F(PortTest, FirstOpenPreparesAndResets)
{
    EXPECT_EQ(PortOpenFirstFree("script:adapter"), 0);
    EXPECT_EQ(Log(), Join(Prepare(), Reset()));
    EXPECT_TRUE(Codes().empty());
    EXPECT_EQ(PortOpenFirstFree("script:adapter"), 1);
}

TEST_F(PortTest, UnknownNameLeavesOneCodeAndKeepsTheSlot)
{
    EXPECT_EQ(PortOpenFirstFree("nosuch:adapter"), -1);
    EXPECT_EQ(Codes(), CodeList{23});
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(PortHandle[0], INVALID_DRIVER_HANDLE);
    EXPECT_EQ(PortOpenFirstFree("script:adapter"), 1);
}

TEST_F(PortTest, OpenAtRejectsBadOrTakenSlots)
{
    for (int slot : {16, -1}) {
        EXPECT_EQ(PortOpenAt(slot, "script:adapter"), 0) << slot;
        EXPECT_EQ(Codes(), CodeList{115}) << slot;
    }
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(PortOpenAt(5, "script:adapter"), 1);
    EXPECT_EQ(PortOpenAt(5, "script:adapter"), 0);
    EXPECT_EQ(Codes(), CodeList{115});
    EXPECT_EQ(PortClose(5), 1);
}

TEST_F(PortTest, AdapterThatDoesNotComeUpIsClosed)
{
    Current().status.push_back(std::nullopt);
    EXPECT_EQ(PortOpenFirstFree("script:adapter"), -1);
    EXPECT_EQ(Codes(), (CodeList{110, 24}));
    EXPECT_EQ(PortClose(0), 0);  // already closed
}

TEST_F(PortTest, ShortedLineStillOpens)
{
    Current().status = {IdleStatus(), Status(0x20, 0, 0, {0x02})};
    EXPECT_EQ(PortOpenFirstFree("script:adapter"), 0);
    EXPECT_EQ(Codes(), CodeList{109});
}

TEST_F(PortTest, NoFreeSlotRaises115)
{
    for (int i = 0; i < MAX_PORTNUM; ++i)
        ASSERT_EQ(PortOpenFirstFree("script:adapter"), i);
    Codes();
    EXPECT_EQ(PortOpenFirstFree("script:adapter"), -1);
    EXPECT_EQ(Codes(), CodeList{115});
}

// A dead adapter: the request, the status query of the recovery, then 24.
TEST_F(LinkTest, DeadAdapterLeavesThreeCodes)
{
    struct Case {
        const char* name;
        int (*run)(int);
        CodeList codes;
    } cases[] = {
        {"byte", [](int p) { return static_cast<int>(BusExchangeByte(p, 0x33)); }, {110, 110, 24}},
        {"bit", [](int p) { return BusExchangeBit(p, 1); }, {110, 110, 24}},
        {"reset", [](int p) { return BusReset(p); }, {2, 110, 24}},
        {"program pulse", [](int p) { PortProgramVoltage[0] = 1; return BusProgramPulse(p); }, {110, 110, 24}},
    };
    Current().unplugged = true;
    for (const Case& c : cases) {
        EXPECT_EQ(c.run(port), 0) << c.name;
        EXPECT_EQ(Codes(), c.codes) << c.name;
    }
}

TEST_F(LinkTest, RefusedReceiveRaisesTwiceAndRecovers)
{
    Current().reads = {std::nullopt, std::vector<uint8_t>{}};
    for (int i = 0; i < 2; ++i) {
        Log().clear();
        EXPECT_EQ(BusExchangeByte(port, 0x00), 0);
        EXPECT_EQ(Log(), Join({Vendor(1, 0x0053, 0x00), "R1"}, Prepare()));
    }
    // The refused receive pushes 110 in the driver layer and again here; a
    // receive that brings nothing is one failed receive.
    EXPECT_EQ(Codes(), (CodeList{110, 110, 110}));
}

TEST_F(LinkTest, RefusedSpeedChangeDropsPullUpOnlyWhenRecovered)
{
    for (bool recovered : {true, false}) {
        PortLevel[0] = 2;
        PortSpeed[0] = 1;
        Current().vendor.push_back(false);
        if (!recovered)
            Current().status.push_back(std::nullopt);
        EXPECT_EQ(BusSetSpeed(port, 0), recovered ? 0 : 1);
        EXPECT_EQ(PortLevel[0], recovered ? 0 : 2);
        const CodeList codes = recovered ? CodeList{110} : CodeList{110, 110, 24};
        EXPECT_EQ(Codes(), codes);
    }
}

TEST_F(LinkTest, LevelChanges)
{
    const Lines pullUp = {Vendor(2, 0, 2), Vendor(1, 0x0031, 0)};
    EXPECT_EQ(BusSetLevel(port, 2), 2);
    EXPECT_EQ(BusSetLevel(port, 2), 2);
    EXPECT_EQ(Log(), pullUp);
    EXPECT_EQ(BusSetLevel(port, 1), 2);
    EXPECT_EQ(Codes(), CodeList{72});
    EXPECT_EQ(BusSetLevel(port, 0), 0);
    EXPECT_EQ(Log(), Join(pullUp, {Vendor(0, 3, 0), Vendor(0, 2, 0), "S", Vendor(2, 0, 0)}));
}

TEST_F(LinkTest, SpeedSelectsResetIndexAndSettle)
{
    EXPECT_EQ(BusSetSpeed(port, 5), 5);
    EXPECT_EQ(PortSpeed[0], 5);
    EXPECT_EQ(BusReset(port), 1);
    EXPECT_EQ(Log(), Join({Vendor(2, 2, 1)}, Reset()));

    Log().clear();
    EXPECT_EQ(BusSetSpeed(port, 1), 1);
    EXPECT_EQ(BusReset(port), 1);
    EXPECT_EQ(Log(), (Lines{Vendor(2, 2, 2), Vendor(1, 0x084B, 2), "S"}));
}

TEST_F(LinkTest, ResetJudgesTheSingleStatus)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        int result;
        CodeList codes;
    } cases[] = {
        {"presence", Status(0x20, 0, 0, {0xA5}), 1, {}},
        {"no devices", Status(0x20, 0, 0, {0x01}), 0, {}},
        {"still pending", Status(0x00, 1), 0, {109}},
        {"short", Status(0x20, 0, 0, {0x02}), 0, {109}},
    };
    for (const Case& c : cases) {
        Log().clear();
        Current().status.push_back(c.packet);
        EXPECT_EQ(BusReset(port), c.result) << c.name;
        EXPECT_EQ(Codes(), c.codes) << c.name;
        if (!c.codes.empty()) {
            EXPECT_EQ(Log(), Join(Join(Reset(), {"P300"}), Prepare())) << c.name;
        }
    }
}

TEST_F(LinkTest, ProgramVoltageFollowsTheLastReset)
{
    EXPECT_EQ(BusProgramPulse(port), 0);
    EXPECT_TRUE(Log().empty());
    Current().status.push_back(Status(0x24));
    EXPECT_EQ(BusProgramVoltagePresent(port), 1);
    Log().clear();
    EXPECT_EQ(BusProgramPulse(port), 1);
    EXPECT_EQ(Log(), Lines{Vendor(1, 0x0039, 0)});
    EXPECT_EQ(BusProgramVoltagePresent(port), 0);
}

TEST_F(LinkTest, PoweredByteThenPlainByteEndsThePullUp)
{
    Current().echo = true;
    EXPECT_EQ(BusSendBytePowered(port, 0x44), 1);
    EXPECT_EQ(PortLevel[0], 2);
    EXPECT_EQ(BusFetchByte(port), 0xFF);
    EXPECT_EQ(PortLevel[0], 0);
    EXPECT_EQ(Log(), (Lines{Vendor(2, 0, 2), Vendor(1, 0x1053, 0x44), "R1", Vendor(0, 3, 0), Vendor(0, 2, 0), "S",
                            Vendor(2, 0, 0), Vendor(1, 0x0053, 0xFF), "R1"}));
}

TEST_F(LinkTest, CheckBitPoweredKeepsPullUpOnlyOnMatch)
{
    Current().reads = {std::vector<uint8_t>{1}, std::vector<uint8_t>{1}};
    EXPECT_EQ(BusCheckBitPowered(port, 1), 1);
    EXPECT_EQ(PortLevel[0], 2);
    EXPECT_EQ(BusCheckBitPowered(port, 0), 0);
    EXPECT_EQ(PortLevel[0], 0);
    EXPECT_EQ(Log()[Log().size() - 6], Vendor(1, 0x1029, 0));
}

TEST_F(LinkTest, BitSlotsAndSendByteVerification)
{
    Current().reads = {std::vector<uint8_t>{1}, std::vector<uint8_t>{0}, std::vector<uint8_t>{0x5A}};
    EXPECT_EQ(BusExchangeBit(port, 7), 1);
    EXPECT_EQ(BusExchangeBit(port, 0), 0);
    EXPECT_EQ(BusSendByte(port, 0xA5), 0);
    EXPECT_EQ(Log(), (Lines{Vendor(1, 0x0029, 0), "R1", Vendor(1, 0x0021, 0), "R1", Vendor(1, 0x0053, 0xA5), "R1"}));
    EXPECT_TRUE(Codes().empty());
}

}  // namespace
}  // namespace script
