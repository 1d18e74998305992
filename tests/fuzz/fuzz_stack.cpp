// The adapter stack and the logger's listing and one measurement cycle
// against a driver backend whose every answer comes from the fuzz input:
// refusals, status packets of 0..64 bytes of any content, bulk reads and
// writes that move fewer or more bytes than asked, and so arbitrary search
// results and scratchpads. Runs on the virtual clock.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>

#include "fuzz_common.h"
#include "logger/logger.h"
#include "onewire/adapter.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "simulator/sim_driver.h"
#include "support/errors.h"

namespace {

FuzzedDataProvider* Feed = nullptr;
const char* const kRecordingBus =
    "timing off\nclock virtual\n"
    "sensor 10A1B2C3D4E5F6 21.5\nsensor 10112233445566 -10.25 parasite\nsensor 10FFEEDDCCBBAA 85\n"
    "device 05FFEEDDCCBBAA\n";
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

const DriverOps FuzzDriverOps = {"fuzz", Claims, Open, Vendor, Status, Read, Write, Close, DriverDescribeNothing};

// Recording: the software adapter answers, and its answers are written down in
// the input format above, giving a seed that reaches whole cycles with good
// readings. FuzzedDataProvider takes byte runs from the front of the input and
// numbers from its back.
struct Recording {
    std::string front, back;
    void* sim = nullptr;
    void Number(uint64_t value, uint64_t range)
    {
        int bytes = 0;
        for (int offset = 0; offset < 32 && (range >> offset) > 0; offset += 8)
            ++bytes;
        for (int i = bytes - 1; i >= 0; --i)
            back += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    int Flag(int ok)
    {
        back += static_cast<char>(ok ? 1 : 0);
        return ok;
    }
} Rec;

void* RecOpen(const char*)
{
    Rec.sim = SimDriverOps.open("sim:recording.bus");
    return Rec.sim;
}
int RecVendor(void* context, const uint8_t* record) { return Rec.Flag(SimDriverOps.vendor_request(context, record)); }
int RecStatus(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    if (!Rec.Flag(SimDriverOps.query_status(context, buffer, capacity, returned)))
        return 0;
    Rec.Number(*returned, 64);
    Rec.front.append(reinterpret_cast<char*>(buffer), std::min(capacity, *returned));
    return 1;
}
int RecRead(void* context, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    if (!Rec.Flag(SimDriverOps.read(context, buffer, length, done)))
        return 0;
    Rec.Number(*done, 2 * length + 1);
    Rec.front.append(reinterpret_cast<char*>(buffer), std::min(length, *done));
    return 1;
}
int RecWrite(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    if (!Rec.Flag(SimDriverOps.write(context, buffer, length, done)))
        return 0;
    Rec.Number(*done, 2 * length + 1);
    return 1;
}
void RecClose(void* context) { SimDriverOps.close(context); }

const DriverOps RecordDriverOps = {"fuzz", Claims, RecOpen, RecVendor, RecStatus, RecRead, RecWrite, RecClose,
                                       DriverDescribeNothing};

// Port opening, sensor listing and one measurement cycle, as the logger runs them.
void RunSession()
{
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
        struct stat info;
        FUZZ_CHECK(stat("temp.pd", &info) == 0 && info.st_size == 41 * POOL_RECORD_SIZE);
    }
    // Closed and failed slots stay taken for a run; each input starts afresh.
    PortHandle.fill(0);
    while (ErrorCodePending())
        PopErrorCode();
}

}  // namespace

// FUZZ_STACK_RECORD=FILE: write the recorded session of a three-sensor
// software adapter to FILE (a seed) and exit.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzEnterScratchDirectory();
    ClockUseVirtual();
    ErrorFilePath = "USBerr.txt";
    const char* record = std::getenv("FUZZ_STACK_RECORD");
    if (!record) {
        DriverRegisterBackend(&FuzzDriverOps);
        return 0;
    }
    FuzzWriteFile("recording.bus", kRecordingBus, std::strlen(kRecordingBus));
    DriverRegisterBackend(&SimDriverOps);
    DriverRegisterBackend(&RecordDriverOps);
    RunSession();
    std::string input = Rec.front + std::string(Rec.back.rbegin(), Rec.back.rend());
    FILE* file = std::fopen(record, "wb");
    FUZZ_CHECK(file && std::fwrite(input.data(), 1, input.size(), file) == input.size() && std::fclose(file) == 0);
    std::fprintf(stderr, "recorded %zu bytes to %s\n", input.size(), record);
    std::exit(0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider feed(data, size);
    Feed = &feed;
    RunSession();
    Feed = nullptr;
    return 0;
}
