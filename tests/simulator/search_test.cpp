#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "onewire/crc.h"
#include "rig.h"

namespace {

// The stack's search pass, driven over raw command words: path from the resume
// bit, search access, then the resume bit from the discrepancies.
struct Search {
    SimSerial serial{};
    int resume = 0;
    bool done = false;

    bool Next(Rig& rig)
    {
        if (done) {
            resume = 0;
            done = false;
            return false;
        }
        if (!rig.Reset()) {
            resume = 0;
            return false;
        }
        SimSerial path = serial;
        if (resume != 0xFF) {
            if (resume > 0)
                path[static_cast<size_t>((resume - 1) / 8)] |= static_cast<uint8_t>(1u << ((resume - 1) % 8));
            for (int i = resume; i < 64; ++i)
                path[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~(1u << (i % 8)));
        }
        rig.Write(std::vector<uint8_t>(path.begin(), path.end()));
        EXPECT_TRUE(rig.Comm(CMD_SEARCH, 0x01F0));
        std::vector<uint8_t> status = rig.Status();
        EXPECT_TRUE(status[8] & 0x20);
        if (status[13] == 0)
            return false;
        std::vector<uint8_t> got = rig.Read(16);
        done = got.size() == 8;
        std::copy(got.begin(), got.begin() + 8, serial.begin());
        if (Crc8Of(serial.data(), 8) != 0 || serial[0] == 0) {
            resume = 0xFF;
            done = false;
            serial = {};
            return false;
        }
        for (int i = 0; i < 64 && got.size() == 16; ++i) {
            bool discrepancy = (got[8 + i / 8] >> (i % 8)) & 1;
            bool bit = (serial[static_cast<size_t>(i / 8)] >> (i % 8)) & 1;
            if (discrepancy && !bit)
                resume = i + 1;
        }
        return true;
    }
};

// The order a search finds devices in: bit 0 of the number decides first.
uint64_t SearchKey(const SimSerial& serial)
{
    uint64_t key = 0;
    for (int i = 0; i < 64; ++i)
        if ((serial[static_cast<size_t>(i / 8)] >> (i % 8)) & 1)
            key |= uint64_t{1} << (63 - i);
    return key;
}

struct MixedBus {
    std::string text = "timing off\n";
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
        auto by_key = [](const SimSerial& a, const SimSerial& b) { return SearchKey(a) < SearchKey(b); };
        std::sort(all.begin(), all.end(), by_key);
        std::sort(sensors.begin(), sensors.end(), by_key);
    }
};

TEST(Search, EnumeratesMixedBusInOrderOnceEach)
{
    for (int count : {45, 70}) {
    MixedBus bus(count);
    Rig rig(bus.text);
    Search search;
    std::vector<SimSerial> found;
    std::vector<bool> last;
    while (search.Next(rig) && found.size() < 100) {
        found.push_back(search.serial);
        last.push_back(search.done);
    }
    EXPECT_EQ(found, bus.all);
    std::vector<bool> want(bus.all.size(), false);
    want.back() = true;
    EXPECT_EQ(last, want) << "only the last device comes without discrepancy bytes";
    ASSERT_TRUE(search.Next(rig));
    EXPECT_EQ(search.serial, bus.all.front());
    }
}

TEST(Search, TargetedFamilyListsItsDevicesFirst)
{
    MixedBus bus;
    Rig rig(bus.text);
    Search search;
    search.serial = {0x10, 0, 0, 0, 0, 0, 0, 0};
    search.resume = 64;
    std::vector<SimSerial> found;
    while (search.Next(rig) && search.serial[0] == 0x10)
        found.push_back(search.serial);
    EXPECT_EQ(found, bus.sensors);
}

TEST(Search, EmptyBusAndDepartedDevice)
{
    Rig rig("device 05FFEEDDCCBBAA\nsensor 10A1B2C3D4E5F6 20\n");
    SimSetPresent(rig.adapter, Serial("05FFEEDDCCBBAA"), false);
    SimSetPresent(rig.adapter, Serial("10A1B2C3D4E5F6"), false);
    rig.Comm(CMD_RESET, 1);
    EXPECT_EQ(rig.Results(), std::vector<uint8_t>{0x01});
    rig.Write(std::vector<uint8_t>(8, 0));
    rig.Comm(CMD_SEARCH, 0x01F0);
    std::vector<uint8_t> status = rig.Status();
    EXPECT_TRUE(status[8] & 0x20);
    EXPECT_EQ(status[13], 0) << "nothing when no device answers";

    SimSetPresent(rig.adapter, Serial("10A1B2C3D4E5F6"), true);
    Search search;
    ASSERT_TRUE(search.Next(rig));
    EXPECT_EQ(search.serial, Serial("10A1B2C3D4E5F6"));
    EXPECT_TRUE(search.done) << "a lone device comes without discrepancy bytes";
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
