// CRC accumulators: one running 1-Wire CRC8 and CRC16 per port.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "onewire/ports.h"

// 1-Wire CRC8: x^8 + x^5 + x^4 + 1, least significant bit first (reflected 0x8C).
constexpr std::array<uint8_t, 256> MakeCrc8Table()
{
    std::array<uint8_t, 256> table{};
    for (int n = 0; n < 256; ++n) {
        uint8_t crc = static_cast<uint8_t>(n);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
        table[static_cast<std::size_t>(n)] = crc;
    }
    return table;
}
inline constexpr std::array<uint8_t, 256> Crc8Table = MakeCrc8Table();
static_assert(Crc8Table[1] == 0x5E && Crc8Table[7] == 0x83, "CRC8 table start");
static_assert(Crc8Table[253] == 0x89 && Crc8Table[255] == 0x35, "CRC8 table end");

inline constexpr std::array<uint8_t, 16> OddParityTable = {0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0};

extern std::array<uint8_t, MAX_PORTNUM> PortCrc8;
extern std::array<uint16_t, MAX_PORTNUM> PortCrc16;

void Crc8Seed(int port, uint8_t value);
uint8_t Crc8Feed(int port, uint8_t byte);
void Crc16Seed(int port, uint16_t value);
uint16_t Crc16Feed(int port, uint8_t byte);

// CRC8 of a whole buffer from seed 0, without touching any port's accumulator.
constexpr uint8_t Crc8Of(const uint8_t* data, int length)
{
    uint8_t crc = 0;
    for (int i = 0; i < length; ++i)
        crc = Crc8Table[crc ^ data[i]];
    return crc;
}
