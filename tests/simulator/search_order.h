// The order in which a search over the whole bus lists its devices: bit 0 of
// the number (the family code's lowest bit) decides first, then bit 1, and so on.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

inline uint64_t SearchKey(const std::array<uint8_t, 8>& serial)
{
    uint64_t key = 0;
    for (int i = 0; i < 64; ++i)
        if ((serial[static_cast<size_t>(i / 8)] >> (i % 8)) & 1)
            key |= uint64_t{1} << (63 - i);
    return key;
}

inline std::vector<std::array<uint8_t, 8>> InSearchOrder(std::vector<std::array<uint8_t, 8>> serials)
{
    std::sort(serials.begin(), serials.end(),
              [](const auto& a, const auto& b) { return SearchKey(a) < SearchKey(b); });
    return serials;
}
