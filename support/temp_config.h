// temp.conf's settings: what the logger does beyond its data files. The
// logger's own (the sensor families) are fields; those of the outputs
// (history, metrics, MQTT) are kept by key for the output that owns them
// (outputs/output_settings.h). The logger reads the file (logger/config.h);
// the outputs are opened with what it read. The defaults are the plain logger.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

constexpr int CONFIG_MAX_FAMILIES = 8;

struct TempConfig {
    // Families searched, in order; the default is the DS1820 family alone.
    std::array<uint8_t, CONFIG_MAX_FAMILIES> families = {0x10};
    int familyCount = 1;
    // The values the outputs took, by key; a key that isn't here keeps its
    // output's default.
    std::map<std::string, std::string> outputSettings;
};

// A value as a settings message shows it: control bytes become '?', and a
// long one is cut after 60 bytes.
inline std::string TempConfigShown(const std::string& value)
{
    std::string shown = value.size() > 60 ? value.substr(0, 60) + "..." : value;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown;
}
