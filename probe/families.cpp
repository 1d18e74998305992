// Family names, and the temperature families with the logger's decoding.
#include "probe/families.h"

#include <array>

#include "logger/logger.h"

namespace {

struct FamilyEntry {
    uint8_t code;
    const char* name;
};

constexpr std::array<FamilyEntry, 33> FamilyNames = {{
    {0x01, "DS2401/DS1990A serial number"},
    {0x02, "DS1991 multikey"},
    {0x04, "DS2404/DS1994 time chip"},
    {0x05, "DS2405 addressable switch"},
    {0x06, "DS1993 memory"},
    {0x08, "DS1992 memory"},
    {0x09, "DS2502 EPROM"},
    {0x0A, "DS1995 memory"},
    {0x0B, "DS2505 EPROM"},
    {0x0C, "DS1996 memory"},
    {0x0F, "DS2506 EPROM"},
    {0x10, "DS1820/DS18S20/DS1920 temperature sensor"},
    {0x12, "DS2406/DS2407 addressable switch"},
    {0x14, "DS2430A EEPROM"},
    {0x1A, "DS1963L monetary device"},
    {0x1D, "DS2423 counter"},
    {0x1F, "DS2409 coupler"},
    {0x20, "DS2450 A/D converter"},
    {0x21, "DS1921 temperature logger"},
    {0x22, "DS1822 temperature sensor"},
    {0x23, "DS2433 EEPROM"},
    {0x24, "DS2415 clock"},
    {0x26, "DS2438 battery monitor"},
    {0x27, "DS2417 clock"},
    {0x28, "DS18B20 temperature sensor"},
    {0x29, "DS2408 switch"},
    {0x2C, "DS2890 potentiometer"},
    {0x2D, "DS2431 EEPROM"},
    {0x30, "DS2760 battery monitor"},
    {0x3A, "DS2413 switch"},
    {0x3B, "DS1825 temperature sensor"},
    {0x42, "DS28EA00 temperature sensor"},
    {0x81, "adapter ID chip"},
}};

// The DS1820's power-on scratchpad: 85 C with the count registers it starts
// with. The logger refuses the newer families' power-on value itself.
bool IsDs1820PowerOn(const uint8_t* pad)
{
    return pad[0] == 0xAA && pad[1] == 0x00 && pad[6] == 0x0C && pad[7] == 0x10;
}

}  // namespace

const char* ProbeFamilyName(uint8_t family)
{
    for (const FamilyEntry& entry : FamilyNames)
        if (entry.code == family)
            return entry.name;
    return "unknown family";
}

// The logger's own list and decoding, so the probe reads exactly what it reads.
int ProbeIsTemperatureFamily(uint8_t family) { return IsTemperatureFamily(family); }

int ProbeDecodeTemperature(uint8_t family, const uint8_t scratchpad[9], ProbeTemperature* out)
{
    if (!IsTemperatureFamily(family))
        return 0;
    *out = ProbeTemperature{};
    out->extended = DecodeTemperature(family, scratchpad, &out->whole, &out->celsius) != 0;
    if (!out->extended)
        out->celsius = out->whole;
    out->power_on = family == 0x10 ? IsDs1820PowerOn(scratchpad) : IsPowerOnValue(family, scratchpad) != 0;
    return 1;
}
