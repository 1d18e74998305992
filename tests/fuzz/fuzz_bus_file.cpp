// The software adapter's bus-file parser over arbitrary bytes, and an open of
// whatever it accepts.
#include <string>

#include "fuzz_common.h"
#include "simulator/sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    SimBusSpec bus;
    std::string error;
    bool ok = SimParseBusText(text, "fuzz.txt", &bus, &error);
    FUZZ_CHECK(ok || error.rfind("fuzz.txt:", 0) == 0);
    if (ok) {
        for (const SimDeviceSpec& device : bus.devices) {
            FUZZ_CHECK(device.temp_low >= -55 && device.temp_high <= 125);
            if (device.sensor) {
                const uint8_t family = device.serial[0];
                FUZZ_CHECK(family == 0x10 || family == 0x28 || family == 0x22 || family == 0x3B || family == 0x42);
            }
        }
    }
    return 0;
}
