// A 1-Wire device's registration number, as every room passes it around.
#pragma once

#include <array>
#include <cstdint>

// Family code, 48-bit serial, CRC8 of the first seven bytes.
using SerialNumber = std::array<uint8_t, 8>;
