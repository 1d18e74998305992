// The search through the stack over software adapters: the order of the
// listing for given bus contents, the end of a search and its restart, and
// the raw presence-check triplets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "onewire/crc.h"
#include "onewire/network.h"
#include "rig.h"
#include "search_order.h"
#include "sim_port.h"

namespace {

struct MixedBus {
    std::string text;
    std::vector<SimSerial> all;
    std::vector<SimSerial> sensors;

    explicit MixedBus(int count = 45)
    {
        const uint8_t families[] = {0x10, 0x10, 0x01, 0x10, 0x05, 0x28, 0x10, 0x81, 0x10};
        uint32_t state = 7;
        for (int n = 0; n < count; ++n) {
            char digits[15];
            uint8_t family = families[n % 9];
            state = state * 1664525u + 1013904223u;
            uint32_t low = state;
            state = state * 1664525u + 1013904223u;
            snprintf(digits, sizeof digits, "%02X%08X%04X", family, low, state >> 16);
            SimSerial serial = Serial(digits);
            all.push_back(serial);
            if (family == 0x10) {
                sensors.push_back(serial);
                text += std::string("sensor ") + digits + " 20\n";
            } else {
                text += std::string("device ") + digits + "\n";
            }
        }
        all = InSearchOrder(all);
        sensors = InSearchOrder(sensors);
    }
};

// The search of a stack port on a software adapter.
class StackSearch : public SimPortTest {
protected:
    void Open(const std::string& bus)
    {
        TearDown();
        SetUp();
        SimPortTest::Open(bus);
    }
    SimSerial Current()
    {
        SimSerial serial{};
        NetSerialCopy(port, serial.data(), 1);
        return serial;
    }
    // Passes with a reset until one finds nothing; the first pass as given.
    std::vector<SimSerial> Listing(int (*first)(int, int, int) = NetSearchFirst)
    {
        std::vector<SimSerial> found;
        for (int ok = first(port, 1, 0); ok && found.size() < 200; ok = NetSearchNext(port, 1, 0))
            found.push_back(Current());
        return found;
    }
    uint64_t Requests() { return SimCountersOf(adapter).requests; }
};

std::string Devices(const std::vector<const char*>& serials)
{
    std::string text;
    for (const char* serial : serials)
        text += std::string("device ") + serial + "\n";
    return text;
}

TEST_F(StackSearch, ListsEveryDeviceOnceInSearchOrder)
{
    struct Case {
        const char* name;
        std::string bus;
    } cases[] = {
        {"one device", Devices({"10A1B2C3D4E5F6"})},
        {"differing in bit 0 only", Devices({"11000000000001", "10000000000001"})},
        {"differing in the last serial bit only", Devices({"10000000000081", "10000000000001"})},
        {"nested discrepancies", Devices({"10000000000003", "10000000000001", "10000000000083", "10000000000002",
                                          "28000000000001", "90000000000001"})},
        {"45 mixed devices", MixedBus(45).text},
        {"70 mixed devices", MixedBus(70).text},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(c.bus);
        std::vector<SimSerial> all;
        std::istringstream lines(c.bus);
        for (std::string kind, serial, rest; lines >> kind >> serial && std::getline(lines, rest);)
            all.push_back(Serial(serial.c_str()));
        const std::vector<SimSerial> expected = InSearchOrder(all);

        EXPECT_EQ(Listing(), expected);
        EXPECT_TRUE(ErrorCodePending() == 0);
        // The pass after the last device ends the search without asking the adapter...
        ASSERT_EQ(NetSearchFirst(port, 1, 0), 1);
        for (size_t i = 1; i < expected.size(); ++i)
            ASSERT_EQ(NetSearchNext(port, 1, 0), 1);
        const uint64_t before = Requests();
        EXPECT_EQ(NetSearchNext(port, 1, 0), 0);
        EXPECT_EQ(Requests(), before);
        // ...and the one after it starts again at the first device.
        ASSERT_EQ(NetSearchNext(port, 1, 0), 1);
        EXPECT_EQ(Current(), expected.front());
    }
}

TEST_F(StackSearch, TargetedFamilyStartsTheListingAtItsDevices)
{
    MixedBus bus;
    Open(bus.text);
    NetTargetFamily(port, 0x10);
    const std::vector<SimSerial> found = Listing(NetSearchNext);
    const auto first = std::find(bus.all.begin(), bus.all.end(), bus.sensors.front());
    EXPECT_EQ(found, std::vector<SimSerial>(first, bus.all.end()));
    ASSERT_GE(found.size(), bus.sensors.size());
    EXPECT_EQ(std::vector<SimSerial>(found.begin(), found.begin() + static_cast<long>(bus.sensors.size())),
              bus.sensors);
}

TEST_F(StackSearch, NumberWithABadCrcEndsTheListingAndTheNextPassStartsOver)
{
    // In search order 02, 01 (given with a wrong CRC), 03.
    SimSerial bad = Serial("10000000000001");
    bad[7] ^= 0x01;
    Open(Devices({"10000000000002", "10000000000003"}) + "device " + SimSerialText(bad) + "\n");
    EXPECT_EQ(Listing(), std::vector<SimSerial>{Serial("10000000000002")});
    EXPECT_EQ(Current(), SimSerial{}) << "the current number is cleared";
    EXPECT_EQ(ErrorCodePending(), 0);
    ASSERT_EQ(NetSearchNext(port, 1, 0), 1);
    EXPECT_EQ(Current(), Serial("10000000000002"));
}

TEST_F(StackSearch, SilentBusThenALoneDevice)
{
    Open("device 05FFEEDDCCBBAA\nsensor 10A1B2C3D4E5F6 20\n");
    SimSetPresent(adapter, Serial("05FFEEDDCCBBAA"), false);
    SimSetPresent(adapter, Serial("10A1B2C3D4E5F6"), false);
    EXPECT_EQ(NetSearchFirst(port, 1, 0), 0);
    ASSERT_EQ(ErrorCodePending(), 1);
    EXPECT_EQ(PopErrorCode(), 1) << "no devices found";

    SimSetPresent(adapter, Serial("10A1B2C3D4E5F6"), true);
    EXPECT_EQ(Listing(), std::vector<SimSerial>{Serial("10A1B2C3D4E5F6")});
}

TEST(Search, PresenceCheckTripletsInABlock)
{
    // The stack's presence check: Search ROM, then 64 triplets in one block.
    Rig rig("sensor 10A1B2C3D4E5F6 20\nsensor 10112233445566 20\n");
    SimSerial target = Serial("10112233445566");
    std::vector<uint8_t> block(25, 0xFF);
    block[0] = 0xF0;
    for (int i = 0; i < 64; ++i) {
        int bit = 3 * i + 2;
        if (!((target[static_cast<size_t>(i / 8)] >> (i % 8)) & 1))
            block[static_cast<size_t>(1 + bit / 8)] &= static_cast<uint8_t>(~(1u << (bit % 8)));
    }
    rig.Reset();
    std::vector<uint8_t> reply = rig.Block(block);
    ASSERT_EQ(reply.size(), 25u);
    int clean = 0;
    for (int i = 0; i < 64; ++i) {
        auto at = [&](int bit) { return (reply[static_cast<size_t>(1 + bit / 8)] >> (bit % 8)) & 1; };
        int pair = 2 * at(3 * i) + at(3 * i + 1);
        int b = (target[static_cast<size_t>(i / 8)] >> (i % 8)) & 1;
        ASSERT_NE(pair, 3) << "device dropped out at bit " << i;
        if ((b && pair == 2) || (!b && pair == 1))
            ++clean;
    }
    EXPECT_GE(clean, 8);
}

}  // namespace
