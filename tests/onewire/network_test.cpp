#include "onewire/network.h"

#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/link.h"
#include "tests/onewire/stack_fixture.h"

namespace script {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using CodeList = std::vector<int>;

Bytes Serial(std::initializer_list<uint8_t> first7)
{
    Bytes serial(first7);
    serial.push_back(Crc8Of(serial.data(), 7));
    return serial;
}

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char byte[3];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", b);
        text += byte;
    }
    return text;
}

class NetworkTest : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        port = Open();
    }
    // Scripts one search pass that finds `number`, with `discrepancy` bytes after it,
    // behind `resets` bus resets that see a presence.
    void Answer(Bytes number, const Bytes& discrepancy = {}, int resets = 0)
    {
        for (int i = 0; i < resets; ++i)
            Current().status.push_back(IdleStatus());
        number.insert(number.end(), discrepancy.begin(), discrepancy.end());
        Current().status.push_back(Status(0x20, 0, static_cast<uint8_t>(number.size())));
        Current().reads.push_back(number);
    }
    Lines Pass(const std::string& path, uint16_t command = 0x01F0)
    {
        return {"W" + path, Vendor(1, 0x48FD, command), "S", "R16"};
    }
    Bytes Current8() const { return Bytes(PortSerial[0].begin(), PortSerial[0].end()); }
    int port = -1;
};

TEST_F(NetworkTest, TargetedAndAlarmPassesSendTheirPaths)
{
    const Bytes sensor = Serial({0x10, 1, 2, 3, 4, 5, 6});
    NetTargetFamily(port, 0x10);
    Answer(sensor, Bytes(8, 0), 1);
    EXPECT_EQ(NetSearchNext(port, 1, 0), 1);
    EXPECT_EQ(Log(), Join(Reset(), Pass("1000000000000080")));
    EXPECT_EQ(Current8(), sensor);

    Log().clear();
    Answer(sensor, Bytes(8, 0));
    EXPECT_EQ(NetSearchFirst(port, 0, 1), 1);
    EXPECT_EQ(Log(), Pass("0000000000000000", 0x01EC));
}

TEST_F(NetworkTest, ResumesAtDiscrepancyThenEndsAndRearms)
{
    const Bytes first = Serial({0x10, 0x02, 0, 0, 0, 0, 0});  // bit 3 is 0, bit 9 is 1
    const Bytes last = Serial({0x18, 0, 0, 0, 0, 0, 0});
    Answer(first, {0x08, 0x02, 0, 0, 0, 0, 0, 0});  // discrepancies at bits 3 and 9
    EXPECT_EQ(NetSearchFirst(port, 0, 0), 1);
    EXPECT_EQ(SearchResumeBit[0], 4);

    Log().clear();
    Answer(last);  // the last device: no discrepancy bytes
    EXPECT_EQ(NetSearchNext(port, 0, 0), 1);
    EXPECT_EQ(Log(), Pass("0800000000000000"));
    EXPECT_EQ(SearchDone[0], 1);

    Log().clear();
    EXPECT_EQ(NetSearchNext(port, 1, 0), 0);
    EXPECT_TRUE(Log().empty());
    Answer(first, Bytes(8, 0));
    EXPECT_EQ(NetSearchNext(port, 0, 0), 1);
    EXPECT_EQ(Log(), Pass("0000000000000000"));
}

TEST_F(NetworkTest, RejectedNumbersClearTheCurrentDevice)
{
    Bytes badCrc = Serial({0x10, 1, 2, 3, 4, 5, 6});
    badCrc[7] ^= 1;
    for (const Bytes& answer : {badCrc, Bytes(8, 0), Bytes{0x10, 1, 2}}) {
        NetTargetFamily(port, 0x10);
        Answer(answer);
        EXPECT_EQ(NetSearchNext(port, 0, 0), 0);
        EXPECT_EQ(Current8(), Bytes(8, 0));
        EXPECT_EQ(SearchResumeBit[0], 0xFF);
        EXPECT_EQ(SearchDone[0], 0);
    }
    EXPECT_TRUE(Codes().empty());
    // After a failed pass the current number goes out unchanged as the path.
    Bytes loaded = Serial({0x28, 9, 8, 7, 6, 5, 4});
    NetSerialCopy(port, loaded.data(), 0);
    Log().clear();
    NetSearchNext(port, 0, 0);
    EXPECT_EQ(Log()[0], "W" + Hex(loaded));
}

TEST_F(NetworkTest, FamilyFourGetsASecondReset)
{
    for (uint8_t family : {0x04, 0x84, 0x10}) {
        NetTargetFamily(port, family);
        Log().clear();
        Answer(Serial({family, 1, 1, 1, 1, 1, 1}), Bytes(8, 0), (family & 0x7F) == 4 ? 2 : 1);
        NetSearchNext(port, 1, 0);
        const Lines resets = (family & 0x7F) == 4 ? Join(Reset(), Reset()) : Reset();
        EXPECT_EQ(Lines(Log().begin(), Log().begin() + static_cast<long>(resets.size())), resets) << int(family);
        EXPECT_EQ(Log()[resets.size()][0], 'W') << int(family);
    }
}

TEST_F(NetworkTest, PassFailuresBeforeTheAnswer)
{
    // No presence: code 1, resume bits forgotten.
    NetTargetFamily(port, 0x10);
    Current().status.push_back(Status(0x20, 0, 0, {0x01}));
    EXPECT_EQ(NetSearchNext(port, 1, 0), 0);
    EXPECT_EQ(SearchResumeBit[0], 0);
    EXPECT_EQ(Codes(), CodeList{1});

    // Nothing found: no change, no recovery.
    Log().clear();
    Current().status.push_back(Status(0x20));
    EXPECT_EQ(NetSearchNext(port, 0, 0), 0);
    EXPECT_EQ(Log().back(), "S");

    // Never idle within 200 ms: the adapter is reinitialised.
    Log().clear();
    Current().statusCostMicros = 1000;
    Current().status.assign(300, Status(0x00));
    EXPECT_EQ(NetSearchNext(port, 0, 0), 0);
    EXPECT_EQ(Log().size(), 2u + 200u + Prepare().size());
    EXPECT_TRUE(Codes().empty());
}

TEST_F(NetworkTest, LeaveFamilyEndsTheSearch)
{
    NetTargetFamily(port, 0x10);
    NetLeaveFamily(port);
    EXPECT_EQ(NetSearchNext(port, 1, 0), 0);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(SearchDone[0], 0);
}

// The reply to the presence check: per bit a pair (bit, complement) and the written bit.
Bytes PresenceReply(const Bytes& serial, int cleanBits, int laterPair)
{
    Bytes reply(25, 0);
    reply[0] = 0xF0;
    for (int i = 0; i < 64; ++i) {
        const int b = (serial[static_cast<size_t>(i / 8)] >> (i % 8)) & 1;
        const int pair = i < cleanBits ? (b ? 2 : 1) : laterPair;
        BufferBit(1, pair >> 1, 3 * i, reply.data() + 1);
        BufferBit(1, pair & 1, 3 * i + 1, reply.data() + 1);
        BufferBit(1, b, 3 * i + 2, reply.data() + 1);
    }
    return reply;
}

TEST_F(NetworkTest, PresenceCheckCountsCleanBits)
{
    const Bytes serial = Serial({0x10, 0xA5, 0x5A, 3, 4, 5, 6});
    NetSerialCopy(port, const_cast<uint8_t*>(serial.data()), 0);
    struct Case {
        int clean, laterPair, result;
    } cases[] = {{7, 0, 0}, {8, 0, 1}, {64, 0, 1}, {0, 3, 0}};
    for (const Case& c : cases) {
        Log().clear();
        Current().status.push_back(Status(0x20));  // the reset
        Current().status.push_back(Status(0x20, 0, 25));
        Current().reads.push_back(PresenceReply(serial, c.clean, c.laterPair));
        EXPECT_EQ(NetCheckPresent(port, 0), c.result) << c.clean;
        // The block written: the command and, per bit, two read slots and the number's bit.
        Bytes sent = PresenceReply(serial, 0, 3);
        EXPECT_EQ(Log()[3], "W" + Hex(sent)) << c.clean;
    }
    EXPECT_TRUE(Codes().empty());
}

TEST_F(NetworkTest, SelectVerifiesTheEcho)
{
    Bytes serial = Serial({0x10, 1, 2, 3, 4, 5, 6});
    NetSerialCopy(port, serial.data(), 0);
    Current().echo = true;
    EXPECT_EQ(NetSelect(port), 1);
    EXPECT_EQ(Log(), Join(Reset(), {"W55" + Hex(serial), Vendor(1, 0x0875, 9), "S", "P1", "R9"}));

    Current().echo = false;
    Bytes wrongNumber = {0x55, 0x10, 1, 2, 3, 4, 5, 7, 0};
    Bytes wrongCommand = serial;
    wrongCommand.insert(wrongCommand.begin(), 0x54);
    for (const auto& [reply, codes] : {std::pair<Bytes, CodeList>{wrongNumber, {}}, {wrongCommand, {17}}}) {
        Current().reads.push_back(reply);
        EXPECT_EQ(NetSelect(port), 0);
        EXPECT_EQ(Codes(), codes);
    }
}

TEST_F(NetworkTest, OverdriveSelect)
{
    Bytes serial = Serial({0x10, 1, 2, 3, 4, 5, 6});
    NetSerialCopy(port, serial.data(), 0);
    Current().echo = true;
    EXPECT_EQ(NetSelectOverdrive(port), 1);
    EXPECT_EQ(PortSpeed[0], 1);
    EXPECT_EQ(Log(), Join(Join({Vendor(2, 2, 1)}, Reset()), {Vendor(1, 0x0053, 0x69), "R1", Vendor(2, 2, 2),
                                                             "W" + Hex(serial), Vendor(1, 0x0875, 8), "S", "P1",
                                                             "R8"}));
    Current().echo = false;
    Current().reads = {Bytes{0x69}, Bytes(8, 0)};
    EXPECT_EQ(NetSelectOverdrive(port), 0);
    EXPECT_EQ(PortSpeed[0], 0);
    EXPECT_EQ(Codes(), CodeList{17});
}

TEST_F(NetworkTest, EpromProgramByteChecksEitherCrc)
{
    const uint8_t command = 0x0F, low = 0x12, high = 0x00, data = 0x5A;
    Bytes serial = Serial({0x09, 1, 2, 3, 4, 5, 6});
    for (int crc16 : {0, 1}) {
        for (bool good : {true, false}) {
            ErrorStackResetForTest();
            NetSerialCopy(port, serial.data(), 0);
            Current().status.push_back(Status(0x24));  // the selection's reset sees 12 V
            // The device's CRC over command, address and data, computed on a spare accumulator.
            Bytes crcBytes;
            if (crc16) {
                Crc16Seed(15, 0);
                for (uint8_t b : {command, low, high, data})
                    Crc16Feed(15, b);
                const uint16_t sent = static_cast<uint16_t>(~PortCrc16[15]);
                crcBytes = {static_cast<uint8_t>(sent & 0xFF), static_cast<uint8_t>(sent >> 8)};
            } else {
                crcBytes = {Crc8Of(Bytes{command, low, high, data}.data(), 4)};
            }
            if (!good)
                crcBytes[0] ^= 0x40;
            Current().echo = false;
            Bytes match = serial;
            match.insert(match.begin(), 0x55);
            Current().reads = {match, Bytes{command}, Bytes{low}, Bytes{high}, Bytes{data}};
            for (uint8_t b : crcBytes)
                Current().reads.push_back(Bytes{b});
            Current().reads.push_back(Bytes{data});
            EXPECT_EQ(EpromProgramByte(port, data, 0x0012, command, crc16, 1), good ? data : -1) << crc16;
            EXPECT_EQ(Codes(), good || crc16 ? CodeList{} : CodeList{22}) << crc16;
            Current().reads.clear();
        }
    }
}

TEST_F(NetworkTest, BlockLengths)
{
    Current().echo = true;
    Bytes block(193, 0);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i);
    const Bytes original = block;
    struct Case {
        int length;
        int result;
        Lines traffic;  // writes abbreviated to their size
    } cases[] = {
        {0, 1, {}},
        {65, 1, {"W64", Vendor(1, 0x0875, 65), "S", "P1", "R64", "W1", "S", "P1", "R1"}},
        {192, 1, {"W64", Vendor(1, 0x0875, 192), "S", "P1", "R64", "W64", "S", "P1", "R64", "W64", "S", "P1", "R64"}},
        {193, 0, {}},
    };
    for (const Case& c : cases) {
        Log().clear();
        EXPECT_EQ(BusBlockExchange(port, 0, block.data(), c.length), c.result) << c.length;
        for (std::string& line : Log())
            if (line[0] == 'W')
                line = "W" + std::to_string(line.size() / 2);
        EXPECT_EQ(Log(), c.traffic) << c.length;
        EXPECT_EQ(block, original) << c.length;
    }
    EXPECT_EQ(Codes(), CodeList{11});
    // Too long is refused after the requested reset.
    EXPECT_EQ(BusBlockExchange(port, 1, block.data(), 193), 0);
    EXPECT_EQ(Log(), Reset());
}

TEST_F(NetworkTest, BlockFailuresRecover)
{
    uint8_t block[10] = {};
    // The reply never arrives: 201 queries, then 110 and recovery.
    Current().status.assign(201, Status(0x00));
    EXPECT_EQ(BusBlockExchange(port, 0, block, 10), 0);
    EXPECT_EQ(std::count(Log().begin(), Log().end(), "S"), 202);
    EXPECT_EQ(Codes(), CodeList{110});
    // Fewer bytes taken or given than the chunk.
    Current().writes.push_back(9u);
    EXPECT_EQ(BusBlockExchange(port, 0, block, 10), 0);
    Current().reads.push_back(Bytes(9, 0));
    EXPECT_EQ(BusBlockExchange(port, 0, block, 10), 0);
    EXPECT_EQ(Codes(), (CodeList{110, 110}));
}

}  // namespace
}  // namespace script
