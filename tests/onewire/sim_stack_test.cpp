// The stack against the software adapter: the logger's search for its
// sensors, selection, scratchpad
// reads, presence, overdrive, unplugging and the timing model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "logger/logger.h"  // FindSensors
#include "onewire/adapter.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/link.h"
#include "onewire/network.h"
#include "onewire/port.h"
#include "simulator/sim.h"
#include "support/clock.h"
#include "support/errors.h"
#include "tests/simulator/search_order.h"
#include "tests/simulator/sim_port.h"

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

class SimStackTest : public SimPortTest {
protected:
    // The logger's listing into 40 slots: the count, and the slots filled.
    Serials Find()
    {
        SerialNumber slots[40] = {};
        const int count = FindSensors(port, slots, 0x10, 40);
        return Serials(slots, slots + count);
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
};

TEST_F(SimStackTest, FindSensorsKeepsTheFamilyOnItsLowSevenBitsInSearchOrder)
{
    const SerialNumber unused{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    // The search begins at family 10 and lists 10, then 90, then 28, 22 and 01;
    // family 20 comes before 10. A device of another family is copied into the
    // slot after the kept ones, and overwritten by the next device found.
    struct Case {
        const char* name;
        unsigned sensors;             // family 10, numbers 1..n
        std::vector<uint8_t> others;  // one device of each family
        int capacity;
        int count;
        uint8_t nextSlot;  // family of the device left in slot `count`, 0: untouched
    } cases[] = {
        {"no device", 0, {}, 40, 0, 0},
        {"sensors only", 3, {}, 40, 3, 0},
        {"family 90 counts", 2, {0x90}, 40, 3, 0},
        {"other families after the sensors", 2, {0x28, 0x22, 0x01}, 40, 2, 0x01},
        {"only another family", 0, {0x28}, 40, 0, 0x28},
        {"a family before the target", 1, {0x20}, 40, 1, 0},
        {"45 sensors in 40 slots", 45, {0x28}, 40, 39, 0},
        {"limit reached among the family 90 devices", 2, {0x90, 0x90, 0x28}, 4, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        std::string bus;
        Serials family;
        for (unsigned n = 1; n <= c.sensors; ++n) {
            bus += "sensor " + SerialDigits(0x10, n) + " 21\n";
            family.push_back(Parse(SerialDigits(0x10, n)));
        }
        unsigned n = 100;
        for (uint8_t code : c.others) {
            bus += "device " + SerialDigits(code, ++n) + "\n";
            if (code == 0x90)
                family.push_back(Parse(SerialDigits(code, n)));
        }
        Open(bus);
        std::vector<SerialNumber> slots(static_cast<size_t>(c.capacity), unused);
        const int count = FindSensors(port, slots.data(), 0x10, c.capacity);
        ASSERT_EQ(count, c.count);
        family = InSearchOrder(family);
        EXPECT_EQ(Serials(slots.begin(), slots.begin() + count), Serials(family.begin(), family.begin() + count));
        if (c.nextSlot == 0) {
            EXPECT_EQ(slots[static_cast<size_t>(count)], unused);
        } else {
            EXPECT_EQ(slots[static_cast<size_t>(count)][0], c.nextSlot);
        }
        for (size_t i = static_cast<size_t>(count) + 1; i < slots.size(); ++i)
            EXPECT_EQ(slots[i], unused) << i;
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
    EXPECT_TRUE(Find().empty());
    EXPECT_TRUE(ErrorCodePending());

    SimSetPlugged(adapter, true);
    ErrorStackResetForTest();
    EXPECT_EQ(BusReset(port), 1);
    EXPECT_EQ(ReadScratchpad(sensor, scratchpad), 1);
    EXPECT_EQ(Find(), Serials{sensor});
    EXPECT_FALSE(ErrorCodePending());
}

TEST_F(SimStackTest, TimingModelCompletesASelectAndRead)
{
    const SerialNumber sensor = Parse(SerialDigits(0x10, 5));
    Open("timing on\nsensor " + SerialDigits(0x10, 5) + " -0.0625\n");
    EXPECT_EQ(Find(), Serials{sensor});
    ASSERT_TRUE(Convert());
    uint8_t scratchpad[9];
    ASSERT_EQ(ReadScratchpad(sensor, scratchpad), 1);
    EXPECT_EQ(scratchpad[0], SimEncodeTemperature(-0.0625).lsb);
    EXPECT_FALSE(ErrorCodePending());
}

}  // namespace
