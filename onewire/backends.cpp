// The list of driver backends built into the program, registered like any other.
#include "onewire/driver.h"
#include "simulator/sim_driver.h"
#ifdef TEMP_HAVE_LIBUSB
#include "onewire/driver_libusb.h"
#endif

void DriverRegisterBuiltinBackends()
{
    DriverRegisterBackend(&SimDriverOps);
#ifdef TEMP_HAVE_LIBUSB
    DriverRegisterBackend(&UsbDriverOps);
#endif
}
