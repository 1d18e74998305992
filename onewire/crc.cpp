#include "onewire/crc.h"

#include <cstddef>

std::array<uint8_t, MAX_PORTNUM> PortCrc8{};
std::array<uint16_t, MAX_PORTNUM> PortCrc16{};

void Crc8Seed(int port, uint8_t value)
{
    PortCrc8[static_cast<std::size_t>(port)] = value;
}

uint8_t Crc8Feed(int port, uint8_t byte)
{
    uint8_t& acc = PortCrc8[static_cast<std::size_t>(port)];
    acc = Crc8Table[acc ^ byte];
    return acc;
}

void Crc16Seed(int port, uint16_t value)
{
    PortCrc16[static_cast<std::size_t>(port)] = value;
}

uint16_t Crc16Feed(int port, uint8_t byte)
{
    uint16_t& crc = PortCrc16[static_cast<std::size_t>(port)];
    uint16_t d = static_cast<uint16_t>((byte ^ crc) & 0xFF);
    uint16_t acc = static_cast<uint16_t>(crc >> 8);
    if (OddParityTable[d & 0x0F] ^ OddParityTable[d >> 4])
        acc ^= 0xC001;
    acc ^= static_cast<uint16_t>(d << 6);
    acc ^= static_cast<uint16_t>(d << 7);
    crc = acc;
    return acc;
}
