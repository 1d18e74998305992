// Failure paths of the line level, the block transfer and the EPROM byte
// programming, request by request against the scripted driver.
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/ds2490.h"
#include "onewire/link.h"
#include "onewire/network.h"
#include "tests/onewire/stack_fixture.h"

namespace script {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using CodeList = std::vector<int>;

using FailureTest = OpenPortTest;

TEST_F(FailureTest, RefusedPullUpRaises110AndReinitialises)
{
    struct Case {
        const char* name;
        std::deque<bool> vendor;
        bool adapterComesBack;
        Lines sent;  // before the reinitialisation
        CodeList codes;
    } cases[] = {
        {"pulse enable refused", {false}, true, {Vendor(2, 0, 2)}, {110}},
        {"pull-up command refused", {true, false}, true, {Vendor(2, 0, 2), Vendor(1, 0x0031, 0)}, {110}},
        {"adapter gone", {false}, false, {Vendor(2, 0, 2)}, {110, 110, 24}},
    };
    for (const Case& c : cases) {
        Log().clear();
        Current().vendor = c.vendor;
        if (!c.adapterComesBack)
            Current().status.push_back(std::nullopt);
        EXPECT_EQ(BusSetLevel(port, 2), 0) << c.name;
        EXPECT_EQ(PortLevel[0], 0) << c.name;
        EXPECT_EQ(Codes(), c.codes) << c.name;
        EXPECT_EQ(Log(), Join(c.sent, Prepare())) << c.name;
    }
}

TEST_F(FailureTest, PullUpThatWillNotEndLeavesLevelTwo)
{
    ASSERT_EQ(BusSetLevel(port, 2), 2);
    Log().clear();
    Current().statusCostMicros = 1000;
    Current().status.assign(1000, Status(AdapterIdle | PulseActive));
    const uint64_t start = Now();
    EXPECT_EQ(BusSetLevel(port, 0), 2);
    EXPECT_EQ(PortLevel[0], 2);
    EXPECT_TRUE(Codes().empty());
    // Halt, resume and a status query, again and again, for 300 ms.
    EXPECT_GE(Now() - start, 300000u);
    EXPECT_LT(Now() - start, 305000u);
    const Lines round = {Vendor(0, 3, 0), Vendor(0, 2, 0), "S"};
    ASSERT_GE(Log().size(), 3u);
    EXPECT_EQ(Lines(Log().end() - 3, Log().end()), round);

    // Once the adapter reports the pulse over, the level is normal again.
    Current().status.clear();
    EXPECT_EQ(BusSetLevel(port, 0), 0);
    EXPECT_EQ(PortLevel[0], 0);
}

TEST_F(FailureTest, RefusedBlockTransfersFailAndReinitialise)
{
    Bytes block = {0x55, 1, 2, 3, 4, 5, 6, 7, 8};
    const std::string written = "W55010203040506070" "8";
    struct Case {
        const char* name;
        std::deque<std::optional<uint32_t>> writes;
        std::deque<bool> vendor;
        Lines sent;
        CodeList codes;
    } cases[] = {
        // The driver boundary raises 110 for the refused write, the block once more.
        {"send refused", {std::nullopt}, {}, {written}, {110, 110}},
        {"block command refused", {}, {false}, {written, Vendor(1, 0x0875, 9)}, {110}},
    };
    for (const Case& c : cases) {
        Log().clear();
        Current().writes = c.writes;
        Current().vendor = c.vendor;
        EXPECT_EQ(BusBlockExchange(port, 0, block.data(), static_cast<int>(block.size())), 0) << c.name;
        EXPECT_EQ(Codes(), c.codes) << c.name;
        EXPECT_EQ(Log(), Join(c.sent, Prepare())) << c.name;
    }
}

// The device's CRC over the bytes it saw, as it sends it back (CRC8: one byte;
// CRC16: the inverted value, low byte first).
Bytes DeviceCrc(bool crc16, uint16_t seed, const Bytes& seen)
{
    constexpr int spare = 15;  // an accumulator no test port uses
    if (crc16) {
        Crc16Seed(spare, seed);
        for (uint8_t b : seen)
            Crc16Feed(spare, b);
        const uint16_t sent = static_cast<uint16_t>(~PortCrc16[spare]);
        return {static_cast<uint8_t>(sent & 0xFF), static_cast<uint8_t>(sent >> 8)};
    }
    Crc8Seed(spare, static_cast<uint8_t>(seed));
    for (uint8_t b : seen)
        Crc8Feed(spare, b);
    return {PortCrc8[spare]};
}

TEST_F(FailureTest, EpromProgramByteCodesAndSeeds)
{
    const uint8_t command = 0x0F, data = 0x5A;
    const uint16_t address = 0x0123;
    Bytes serial = {0x09, 1, 2, 3, 4, 5, 6};
    serial.push_back(Crc8Of(serial.data(), 7));
    Bytes match = serial;
    match.insert(match.begin(), 0x55);
    const Bytes header = {command, 0x23, 0x01};

    enum Step { NoPresence, BadCommandEcho, BadDataEcho, Good };
    struct Case {
        const char* name;
        int sendHeader;
        int crc16;
        Step step;
        uint16_t deviceSeed;  // the seed the device's CRC starts from
        bool programVoltage;
        int result;
        CodeList codes;
    } cases[] = {
        {"device not selected", 1, 0, NoPresence, 0, true, -1, {1, 4}},
        {"header byte not echoed", 1, 0, BadCommandEcho, 0, true, -1, {15}},
        {"data byte not echoed", 0, 0, BadDataEcho, 0, true, -1, {15}},
        {"no programming voltage", 1, 0, Good, 0, false, -1, {13}},
        {"header, CRC8 from 0", 1, 0, Good, 0, true, data, {}},
        {"header, CRC16 from 0", 1, 1, Good, 0, true, data, {}},
        {"no header, CRC8 from the address's low byte", 0, 0, Good, 0x23, true, data, {}},
        {"no header, CRC16 from the address", 0, 1, Good, address, true, data, {}},
        {"no header, CRC8 wrongly from 0", 0, 0, Good, 0, true, -1, {22}},
        {"no header, CRC16 from the low byte only", 0, 1, Good, 0x23, true, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorStackResetForTest();
        Log().clear();
        Current().reads.clear();
        Current().status.clear();
        NetSerialCopy(port, serial.data(), 0);
        if (c.step == NoPresence)
            Current().status.push_back(Status(0x20, 0, 0, {0x01}));
        else if (c.sendHeader)
            Current().status.push_back(Status(c.programVoltage ? 0x24 : 0x20));  // the selection's reset
        PortProgramVoltage[0] = c.programVoltage ? 1 : 0;
        if (c.sendHeader)
            Current().reads.push_back(match);
        Bytes echoes = c.sendHeader ? header : Bytes{};
        echoes.push_back(data);
        if (c.step == BadCommandEcho)
            echoes[0] ^= 1;
        if (c.step == BadDataEcho)
            echoes.back() ^= 1;
        for (uint8_t b : echoes)
            Current().reads.push_back(Bytes{b});
        for (uint8_t b : DeviceCrc(c.crc16, c.deviceSeed, echoes))
            Current().reads.push_back(Bytes{b});
        Current().reads.push_back(Bytes{data});  // the byte read back after the pulse

        EXPECT_EQ(EpromProgramByte(port, data, address, command, c.crc16, c.sendHeader), c.result);
        EXPECT_EQ(Codes(), c.codes);
        if (!c.sendHeader) {
            EXPECT_EQ(Log().front(), Vendor(1, 0x0053, data)) << "no reset and no header";
        }
    }
}

}  // namespace
}  // namespace script
