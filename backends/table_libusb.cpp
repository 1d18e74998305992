// The backends of a build with libusb: the software adapter and the real
// adapter on the USB buses.
#include "backends/backends.h"
#include "backends/driver_libusb.h"
#include "simulator/sim_driver.h"

void DriverRegisterBuiltinBackends()
{
    DriverRegisterBackend(&SimDriverOps);
    DriverRegisterBackend(&UsbDriverOps);
}
