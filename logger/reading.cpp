// Conversion of all sensors at once and the reading of one sensor's scratchpad.
#include "logger/logger.h"
#include "logger/outputs.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/link.h"

#include <cstring>

char SerialText[17] = "";

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
// Console and (when open) tempu.tmp get the same text.
void PrintBoth(const std::string& console, const std::string& file)
{
    std::fputs(console.c_str(), stdout);
    if (MeasurementFile)
        WriteCrLf(MeasurementFile, file.data(), file.size());
}
}  // namespace

namespace {
// Records a failed reading for the outputs; the data files get nothing.
int ReadingFailed(ReadingOutcome outcome)
{
    LastReading.stamp = WallClockNow();
    LastReading.outcome = outcome;
    return 0;
}
}  // namespace

int SampleSensor(int port, const uint8_t* serial, float* value)
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
    if (crc != 0)
        return ReadingFailed(ReadingOutcome::Crc);

    WriteStampedHex(serial, 8, 1);
    if (MeasurementFile)
        for (int i = 0; i < 10; ++i)
            std::fprintf(MeasurementFile, "%02X", block[i]);
    PrintHexBytes(serial, 8, 1);
    std::printf(" Scatchpad = ");
    PrintHexBytes(block, 10, 1);
    std::printf(" Temp = ");

    const uint8_t* pad = block + 1;
    float t = WholeDegrees(pad[0], pad[1]);
    std::memcpy(LastReading.scratchpad, pad, 9);
    LastReading.hasWhole = true;
    LastReading.whole = t;
    std::string whole = FormatFixed3(t);
    PrintBoth(whole + "  ", "," + whole + ",");
    uint8_t countRemain = pad[6];
    uint8_t countPerC = pad[7];
    if (countPerC == 0) {
        PrintBoth(whole + " \n", whole + " \n");
        LastReading.outcome = ReadingOutcome::CountPerCZero;
        return 0;
    }
    t = ExtendedDegrees(t, countRemain, countPerC);
    std::string extended = FormatFixed3(t) + " \n";
    PrintBoth(extended, extended);
    *value = t;
    LastReading.extended = t;
    LastReading.outcome = LastConversionComplete ? ReadingOutcome::Good : ReadingOutcome::ConversionIncomplete;
    return 1;
}
