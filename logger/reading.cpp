// Conversion of all sensors at once and the reading of one sensor's scratchpad.
#include "logger/logger.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/link.h"

#include <cmath>
#include <cstring>

char SerialText[17] = "";
SensorReading LastReading;
int LastConversionComplete = 1;

int PrintHexBytes(const uint8_t* bytes, int length, int flag)
{
    for (int i = 0; i < length; ++i)
        std::printf("%02X", bytes[i]);
    if (flag == 0)
        std::printf("\n");
    return 1;
}

int ZovWriteConvert(int port)
{
    BusReset(port);
    BusSendByte(port, 0xCC);  // Skip ROM: every device
    if (!BusSendBytePowered(port, 0x44))  // Convert T, strong pull-up right after
        LogEvent("ZovWriteConvert - Fail convert command for %s\n", SerialText);
    PauseMs(ConversionWaitMs);
    BusSetLevel(port, 0);
    LastConversionComplete = 1;
    if (BusFetchByte(port) != 0xFF) {
        LastConversionComplete = 0;
        LogEvent("ZovWriteConvert -  ERROR, temperature conversion was not complete for %s\n", SerialText);
    }
    return 1;
}

float WholeDegrees(uint8_t low, uint8_t high)
{
    int t = low >> 1;
    if (high & 0x01)
        t -= 128;
    return static_cast<float>(t);
}

float ExtendedDegrees(float whole, uint8_t countRemain, uint8_t countPerC)
{
    double t = whole - 0.25 + static_cast<double>(countPerC - countRemain) / countPerC;
    return static_cast<float>(t);
}

namespace {

constexpr uint8_t DS1820_FAMILY = 0x10;
constexpr uint8_t TEMPERATURE_FAMILIES[] = {DS1820_FAMILY, 0x28, 0x22, 0x3B, 0x42};
// The register of the newer families at power-on: +85 degrees.
constexpr int POWER_ON_REGISTER = 0x0550;

// The newer families' register with the bits the resolution leaves undefined
// cleared: 9 bits clear the lowest 3, 10 bits 2, 11 bits 1.
int MaskedRegister(const uint8_t pad[9])
{
    int raw = static_cast<int16_t>(static_cast<uint16_t>(pad[0] | pad[1] << 8));
    int undefined = 3 - ((pad[4] >> 5) & 0x03);
    return raw & ~((1 << undefined) - 1);
}

// Console and (when open) tempu.tmp get the same text.
void PrintBoth(const std::string& console, const std::string& file)
{
    std::fputs(console.c_str(), stdout);
    if (MeasurementFile)
        WriteCrLf(MeasurementFile, file.data(), file.size());
}

// Records a failed reading for the outputs; the data files get nothing.
int ReadingFailed(ReadingOutcome outcome)
{
    LastReading.stamp = WallClockNow();
    LastReading.outcome = outcome;
    return 0;
}

}  // namespace

int IsTemperatureFamily(uint8_t family)
{
    for (uint8_t known : TEMPERATURE_FAMILIES)
        if (known == family)
            return 1;
    return 0;
}

int DecodeTemperature(uint8_t family, const uint8_t pad[9], double* whole, double* extended)
{
    *whole = *extended = 0;
    if (!IsTemperatureFamily(family))
        return 0;
    if (family == DS1820_FAMILY) {
        float t = WholeDegrees(pad[0], pad[1]);
        *whole = *extended = t;
        if (pad[7] == 0)
            return 0;
        *extended = ExtendedDegrees(t, pad[6], pad[7]);
        return 1;
    }
    int reg = MaskedRegister(pad);
    *extended = reg / 16.0;
    *whole = std::floor(reg / 16.0);
    return 1;
}

int IsPowerOnValue(uint8_t family, const uint8_t pad[9])
{
    return family != DS1820_FAMILY && IsTemperatureFamily(family) && MaskedRegister(pad) == POWER_ON_REGISTER;
}

int SampleSensor(int port, const uint8_t* serial, float* value)
{
    return SampleSensorChecked(port, serial, value, 0);
}

int SampleSensorChecked(int port, const uint8_t* serial, float* value, int powerOnPossible)
{
    std::memcpy(LastReading.serial.data(), serial, 8);
    LastReading.hasWhole = false;
    LastReading.whole = LastReading.extended = 0;
    NetSerialCopy(port, const_cast<uint8_t*>(serial), 0);
    if (!NetSelect(port) || !NetSelect(port))
        return ReadingFailed(ReadingOutcome::NoPresence);
    uint8_t block[10];
    block[0] = 0xBE;  // Read Scratchpad
    for (int i = 1; i < 10; ++i)
        block[i] = 0xFF;
    if (!BusBlockExchange(port, 0, block, 10))
        return ReadingFailed(ReadingOutcome::NoPresence);
    Crc8Seed(port, 0);
    uint8_t crc = 0;
    for (int i = 1; i < 10; ++i)
        crc = Crc8Feed(port, block[i]);
    if (crc != 0) {
        // Nothing but ones: no device drove the bus (a sensor gone from a bus
        // that others keep answering on), which the outputs count as no presence.
        bool allOnes = true;
        for (int i = 1; i < 10; ++i)
            allOnes = allOnes && block[i] == 0xFF;
        return ReadingFailed(allOnes ? ReadingOutcome::NoPresence : ReadingOutcome::Crc);
    }

    // Search matches the low seven bits of the family; anything that is not
    // one of the newer families is read by the DS1820 rule.
    const uint8_t* pad = block + 1;
    uint8_t family = static_cast<uint8_t>(serial[0] & 0x7F);
    if (!IsTemperatureFamily(family))
        family = DS1820_FAMILY;
    double whole = 0, extended = 0;
    int decoded = DecodeTemperature(family, pad, &whole, &extended);
    std::memcpy(LastReading.scratchpad, pad, 9);
    LastReading.hasWhole = true;
    LastReading.whole = whole;
    if (powerOnPossible && IsPowerOnValue(family, pad))
        return ReadingFailed(ReadingOutcome::PowerOnValue);

    WriteStampedHex(serial, 8, 1);
    if (MeasurementFile)
        for (int i = 0; i < 10; ++i)
            std::fprintf(MeasurementFile, "%02X", block[i]);
    PrintHexBytes(serial, 8, 1);
    std::printf(" Scatchpad = ");
    PrintHexBytes(block, 10, 1);
    std::printf(" Temp = ");

    std::string wholeText = FormatFixed3(whole);
    PrintBoth(wholeText + "  ", "," + wholeText + ",");
    if (!decoded) {
        PrintBoth(wholeText + " \n", wholeText + " \n");
        LastReading.outcome = ReadingOutcome::CountPerCZero;
        return 0;
    }
    float t = static_cast<float>(extended);
    std::string extendedText = FormatFixed3(t) + " \n";
    PrintBoth(extendedText, extendedText);
    *value = t;
    LastReading.extended = t;
    LastReading.outcome = LastConversionComplete ? ReadingOutcome::Good : ReadingOutcome::ConversionIncomplete;
    return 1;
}
