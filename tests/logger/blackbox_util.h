// Small helpers of the tests that run the built programs on bus files.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "onewire/crc.h"

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// 14 hex digits plus their CRC8: the serial as the logger prints it.
inline std::string FullSerial(const std::string& digits14)
{
    uint8_t bytes[7];
    for (int i = 0; i < 7; ++i)
        bytes[i] = static_cast<uint8_t>(std::stoi(digits14.substr(static_cast<size_t>(2 * i), 2), nullptr, 16));
    char crc[3];
    std::snprintf(crc, sizeof crc, "%02X", Crc8Of(bytes, 7));
    return digits14 + crc;
}
