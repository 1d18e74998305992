#include "onewire/crc.h"

#include <gtest/gtest.h>

namespace {

TEST(CrcTest, DocumentedVectors)
{
    Crc8Seed(0, 0);
    Crc16Seed(0, 0);
    uint8_t crc8 = 0;
    uint16_t crc16 = 0;
    for (char c : std::string("abc")) {
        crc8 = Crc8Feed(0, static_cast<uint8_t>(c));
        crc16 = Crc16Feed(0, static_cast<uint8_t>(c));
    }
    EXPECT_EQ(crc8, 0x42);
    EXPECT_EQ(crc16, 0x9738);
}

TEST(CrcTest, TableEnds)
{
    const uint8_t first[] = {0x00, 0x5E, 0xBC, 0xE2, 0x61, 0x3F, 0xDD, 0x83};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Crc8Table[static_cast<size_t>(i)], first[i]) << i;
    EXPECT_EQ(Crc8Table[253], 0x89);
    EXPECT_EQ(Crc8Table[254], 0x6B);
    EXPECT_EQ(Crc8Table[255], 0x35);
}

TEST(CrcTest, CheckingRules)
{
    // A registration number with its CRC byte checks to 0; eight zero bytes too.
    uint8_t serial[8] = {0x10, 0x1D, 0x2C, 0x3B, 0x01, 0x08, 0x00, 0};
    serial[7] = Crc8Of(serial, 7);
    Crc8Seed(3, 0);
    uint8_t result = 0;
    for (uint8_t b : serial)
        result = Crc8Feed(3, b);
    EXPECT_EQ(result, 0);
    const uint8_t zeros[8] = {};
    EXPECT_EQ(Crc8Of(zeros, 8), 0);

    // CRC16: data, then the complement of its CRC low byte first, gives 0xB001.
    const uint8_t data[] = {0x0F, 0x00, 0x00, 0x55};
    Crc16Seed(4, 0);
    uint16_t crc = 0;
    for (uint8_t b : data)
        crc = Crc16Feed(4, b);
    uint16_t sent = static_cast<uint16_t>(~crc);
    Crc16Feed(4, static_cast<uint8_t>(sent & 0xFF));
    EXPECT_EQ(Crc16Feed(4, static_cast<uint8_t>(sent >> 8)), 0xB001);
}

TEST(CrcTest, PortsAreIndependent)
{
    Crc8Seed(1, 0);
    Crc8Seed(2, 0x77);
    Crc16Seed(1, 0);
    Crc16Seed(2, 0x1234);
    Crc8Feed(1, 0xAB);
    Crc16Feed(1, 0xAB);
    EXPECT_EQ(PortCrc8[2], 0x77);
    EXPECT_EQ(PortCrc16[2], 0x1234);
}

}  // namespace
