// Port slots: hands out PortHandle entries and opens the adapter into them.
#include "onewire/port.h"

#include <cstddef>

#include "onewire/adapter.h"
#include "onewire/link.h"
#include "support/errors.h"

bool PortTableReady = false;

namespace {

void SetUpTable()
{
    if (PortTableReady)
        return;
    PortHandle.fill(0);
    PortTableReady = true;
}

// Opens the device into a free slot, prepares the adapter and resets the bus once.
// The slot keeps whatever the open returned, so a failed open leaves it taken.
int OpenInto(int port, const char* deviceName)
{
    const auto slot = static_cast<std::size_t>(port);
    PortHandle[slot] = DriverOpen(deviceName);
    if (PortHandle[slot] == INVALID_DRIVER_HANDLE) {
        PushErrorCode(ERROR_ACQUIRE_RESOURCE);
        return 0;
    }
    if (!AdapterReinitialize(port)) {
        DriverClose(PortHandle[slot]);
        return 0;
    }
    BusReset(port);  // a silent or shorted line does not stop the opening
    return 1;
}

}  // namespace

int PortOpenFirstFree(const char* deviceName)
{
    SetUpTable();
    for (int port = 0; port < MAX_PORTNUM; ++port) {
        if (PortHandle[static_cast<std::size_t>(port)] == 0)
            return OpenInto(port, deviceName) ? port : -1;
    }
    PushErrorCode(ERROR_PORT_OUT_OF_RANGE);
    return -1;
}

int PortOpenAt(int port, const char* deviceName)
{
    SetUpTable();
    if (port < 0 || port >= MAX_PORTNUM || PortHandle[static_cast<std::size_t>(port)] != 0) {
        PushErrorCode(ERROR_PORT_OUT_OF_RANGE);
        return 0;
    }
    return OpenInto(port, deviceName);
}

int PortClose(int port)
{
    if (port < 0 || port >= MAX_PORTNUM)
        return 0;
    return DriverClose(PortHandle[static_cast<std::size_t>(port)]);
}
