// Per-port adapter state and the recovery after a failed adapter request.
#include "onewire/adapter.h"

#include <cstddef>

#include "onewire/crc.h"
#include "onewire/ds2490.h"
#include "onewire/network.h"
#include "onewire/port.h"
#include "support/errors.h"

std::array<DriverHandle, MAX_PORTNUM> PortHandle{};
std::array<int, MAX_PORTNUM> PortSpeed{};
std::array<int, MAX_PORTNUM> PortLevel{};
std::array<int, MAX_PORTNUM> PortProgramVoltage{};
std::array<uint32_t, MAX_PORTNUM> PortReinitCount{};
std::array<uint32_t, MAX_PORTNUM> PortReinitFailures{};

int AdapterReinitialize(int port)
{
    const auto slot = static_cast<std::size_t>(port);
    ++PortReinitCount[slot];
    if (!PrepareAdapter(PortHandle[slot])) {
        ++PortReinitFailures[slot];
        PushErrorCode(ERROR_INITIALIZE_RESOURCE);
        return 0;
    }
    PortSpeed[slot] = 0;
    PortLevel[slot] = 0;
    return 1;
}

int AdapterCommand(int port, uint8_t kind, uint16_t value, uint16_t index)
{
    return SendVendorRequest(PortHandle[static_cast<std::size_t>(port)], kind, value, index);
}

void AdapterRecover(int port, ErrorCode code)
{
    if (code != ERROR_NONE)
        PushErrorCode(code);
    AdapterReinitialize(port);
}

void StackResetForTest()
{
    PortHandle.fill(0);
    PortSpeed.fill(0);
    PortLevel.fill(0);
    PortProgramVoltage.fill(0);
    PortReinitCount.fill(0);
    PortReinitFailures.fill(0);
    PortSerial.fill(SerialNumber{});
    SearchResumeBit.fill(0);
    SearchFamilyResumeBit.fill(0);
    SearchDone.fill(0);
    PortCrc8.fill(0);
    PortCrc16.fill(0);
    PortTableReady = false;
}
