// The adapter stack and the logger's listing and one measurement cycle
// against a driver backend whose every answer comes from the fuzz input:
// refusals, status packets of 0..64 bytes of any content, bulk reads and
// writes that move fewer or more bytes than asked, and so arbitrary search
// results and scratchpads. Runs on the virtual clock.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "logger/logger.h"
#include "onewire/adapter.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "support/errors.h"

namespace {

FuzzedDataProvider* Feed = nullptr;
int Context;

// Copies up to `wanted` input bytes into `buffer` (room for `capacity`), zeros after them.
void Fill(uint8_t* buffer, uint32_t capacity, uint32_t wanted)
{
    uint32_t room = std::min(capacity, wanted);
    std::vector<uint8_t> bytes = Feed->ConsumeBytes<uint8_t>(room);
    std::memset(buffer, 0, room);
    if (!bytes.empty())
        std::memcpy(buffer, bytes.data(), bytes.size());
}

int Claims(const char* name) { return std::strcmp(name, "fuzz:") == 0; }
void* Open(const char*) { return &Context; }
// An exhausted input refuses everything, so every loop of the stack ends.
int Vendor(void*, const uint8_t*) { return Feed->ConsumeBool(); }
int Status(void*, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    if (!Feed->ConsumeBool())
        return 0;
    uint32_t length = Feed->ConsumeIntegralInRange<uint32_t>(0, 64);
    Fill(buffer, capacity, length);
    *returned = length;  // may claim more than the buffer holds
    return 1;
}
int Read(void*, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    if (!Feed->ConsumeBool())
        return 0;
    uint32_t count = Feed->ConsumeIntegralInRange<uint32_t>(0, 2 * length + 1);
    Fill(buffer, length, count);
    *done = count;
    return 1;
}
int Write(void*, const uint8_t*, uint32_t length, uint32_t* done)
{
    if (!Feed->ConsumeBool())
        return 0;
    *done = Feed->ConsumeIntegralInRange<uint32_t>(0, 2 * length + 1);
    return 1;
}
void Close(void*) {}

const DriverOps FuzzDriverOps = {"fuzz", Claims, Open, Vendor, Status, Read, Write, Close};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzEnterScratchDirectory();
    ClockUseVirtual();
    DriverRegisterBackend(&FuzzDriverOps);
    ErrorFilePath = "USBerr.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider feed(data, size);
    Feed = &feed;
    std::remove("USBerr.txt");
    std::remove("temp.pd");
    CreatePoolDatabase();
    ClearDirectAccessTable();

    int port = PortOpenFirstFree("fuzz:");
    if (port >= 0) {
        SerialNumber sensors[SENSOR_SLOTS] = {};
        int count = FindSensors(port, sensors, 0x10, SENSOR_SLOTS);
        FUZZ_CHECK(count >= 0 && count <= SENSOR_SLOTS - 1);
        if (count == 0) {
            // Read two sensors anyway, as a cycle after a sensor vanished would.
            sensors[0] = {0x10, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0xC4};
            sensors[1] = {0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
            count = 2;
        }
        ListSensors(sensors, count);
        RunMeasurementCycle(port, sensors, count);
        PortClose(port);
    }
    // Closed and failed slots stay taken for a run; each input starts afresh.
    PortHandle.fill(0);
    while (ErrorCodePending())
        PopErrorCode();
    Feed = nullptr;
    return 0;
}
