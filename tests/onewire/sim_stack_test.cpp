// The stack against the software adapter: listings, selection, scratchpad
// reads, presence, overdrive, unplugging and the timing model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>  // getpid: one bus file per test process

#include "onewire/adapter.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/link.h"
#include "onewire/network.h"
#include "onewire/port.h"
#include "simulator/sim.h"
#include "support/clock.h"
#include "support/errors.h"

namespace {

using Serials = std::vector<SerialNumber>;

// Serial number n of a family, as the bus file writes it (14 digits, CRC appended).
std::string SerialDigits(uint8_t family, unsigned n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02X%06X%06X", family, n * 0x9E37u & 0xFFFFFF, n);
    return text;
}

SerialNumber Parse(const std::string& digits)
{
    SimSerial serial{};
    std::string error;
    EXPECT_TRUE(SimParseSerial(digits, &serial, &error)) << error;
    return serial;
}

class SimStackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ErrorStackResetForTest();
        StackResetForTest();
        DriverRegisterBuiltinBackends();
    }
    void TearDown() override
    {
        if (port >= 0)
            PortClose(port);
        StackResetForTest();
        ErrorStackResetForTest();
        ClockInstall(nullptr);
    }
    // Writes the bus file and opens it; the file always runs on the virtual clock.
    void Open(const std::string& lines)
    {
        const std::string path = ::testing::TempDir() + "stack_bus_" + std::to_string(getpid()) + ".txt";
        std::ofstream(path) << "clock virtual\n" << lines;
        port = PortOpenFirstFree(("sim:" + path).c_str());
        ASSERT_GE(port, 0);
        adapter = SimLastOpened();
        ASSERT_NE(adapter, nullptr);
    }
    // The logger's listing: target the family, then passes with a reset until none is found.
    Serials List(uint8_t family)
    {
        Serials found;
        NetTargetFamily(port, family);
        while (NetSearchNext(port, 1, 0) && found.size() < 200) {
            SerialNumber serial;
            NetSerialCopy(port, serial.data(), 1);
            found.push_back(serial);
        }
        return found;
    }
    // Selects the sensor and reads its scratchpad; 1 when the block came back with a good CRC8.
    int ReadScratchpad(SerialNumber serial, uint8_t scratchpad[9])
    {
        NetSerialCopy(port, serial.data(), 0);
        if (!NetSelect(port))
            return 0;
        uint8_t block[10] = {0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (!BusBlockExchange(port, 0, block, 10))
            return 0;
        std::copy(block + 1, block + 10, scratchpad);
        return Crc8Of(scratchpad, 9) == 0 ? 1 : 0;
    }
    // Skip ROM and a powered Convert T, the conversion wait, then the normal level again.
    int Convert()
    {
        const int ok = BusReset(port) && BusSendByte(port, 0xCC) && BusSendBytePowered(port, 0x44);
        PauseMs(850);
        return ok && BusSetLevel(port, 0) == 0;
    }
    int port = -1;
    SimAdapter* adapter = nullptr;
};

TEST_F(SimStackTest, FamilyListingFindsEverySensorOnce)
{
    for (unsigned sensors : {0u, 1u, 2u, 39u, 45u}) {
        TearDown();
        SetUp();
        std::string bus;
        std::set<SerialNumber> expected;
        for (unsigned n = 1; n <= sensors; ++n) {
            bus += "sensor " + SerialDigits(0x10, n) + " 21\n";
            expected.insert(Parse(SerialDigits(0x10, n)));
        }
        // Other families on both sides of 0x10 in the search order.
        for (uint8_t family : {0x01, 0x28, 0x90, 0x22, 0x0F})
            for (unsigned n = 1; n <= 3; ++n)
                bus += "device " + SerialDigits(family, n + 100) + "\n";
        Open(bus);
        const Serials found = List(0x10);
        std::set<SerialNumber> sensorsFound;
        for (const SerialNumber& serial : found) {
            if (serial[0] == 0x10) {
                EXPECT_TRUE(sensorsFound.insert(serial).second) << sensors << " sensors: found twice";
            }
        }
        EXPECT_EQ(sensorsFound, expected) << sensors << " sensors";
        EXPECT_EQ(std::set<SerialNumber>(found.begin(), found.end()).size(), found.size()) << sensors;
    }
}

TEST_F(SimStackTest, SelectReadPresenceAndOverdrive)
{
    const SerialNumber sensor = Parse(SerialDigits(0x10, 7));
    Open("sensor " + SerialDigits(0x10, 7) + " 25.0625\nsensor " + SerialDigits(0x10, 8) + " 19\n");
    ASSERT_TRUE(Convert());
    uint8_t scratchpad[9];
    ASSERT_EQ(ReadScratchpad(sensor, scratchpad), 1);
    const SimTemperatureBytes t = SimEncodeTemperature(25.0625);
    EXPECT_EQ(scratchpad[0], t.lsb);
    EXPECT_EQ(scratchpad[1], t.msb);
    EXPECT_EQ(scratchpad[6], t.count_remain);
    EXPECT_EQ(scratchpad[7], t.count_per_c);

    EXPECT_EQ(NetCheckPresent(port, 0), 1);
    ASSERT_TRUE(SimSetPresent(adapter, sensor, false));
    EXPECT_EQ(NetCheckPresent(port, 0), 0);
    ASSERT_TRUE(SimSetPresent(adapter, sensor, true));

    ASSERT_EQ(NetSelectOverdrive(port), 1);
    EXPECT_EQ(PortSpeed[static_cast<size_t>(port)], 1);
    EXPECT_EQ(ReadScratchpad(sensor, scratchpad), 1) << "read in overdrive";
    EXPECT_EQ(scratchpad[0], t.lsb);
}

TEST_F(SimStackTest, RecoversAfterTheAdapterIsReplugged)
{
    const SerialNumber sensor = Parse(SerialDigits(0x10, 3));
    Open("sensor " + SerialDigits(0x10, 3) + " 20\n");
    uint8_t scratchpad[9];
    ASSERT_EQ(ReadScratchpad(sensor, scratchpad), 1);
    ErrorStackResetForTest();

    SimSetPlugged(adapter, false);
    EXPECT_EQ(BusReset(port), 0);
    EXPECT_EQ(ReadScratchpad(sensor, scratchpad), 0);
    EXPECT_TRUE(List(0x10).empty());
    EXPECT_TRUE(ErrorCodePending());

    SimSetPlugged(adapter, true);
    ErrorStackResetForTest();
    EXPECT_EQ(BusReset(port), 1);
    EXPECT_EQ(ReadScratchpad(sensor, scratchpad), 1);
    EXPECT_EQ(List(0x10), Serials{sensor});
    EXPECT_FALSE(ErrorCodePending());
}

TEST_F(SimStackTest, TimingModelCompletesASelectAndRead)
{
    const SerialNumber sensor = Parse(SerialDigits(0x10, 5));
    Open("timing on\nsensor " + SerialDigits(0x10, 5) + " -0.0625\n");
    EXPECT_EQ(List(0x10), Serials{sensor});
    ASSERT_TRUE(Convert());
    uint8_t scratchpad[9];
    ASSERT_EQ(ReadScratchpad(sensor, scratchpad), 1);
    EXPECT_EQ(scratchpad[0], SimEncodeTemperature(-0.0625).lsb);
    EXPECT_FALSE(ErrorCodePending());
}

}  // namespace
