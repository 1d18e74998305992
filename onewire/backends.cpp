// The list of driver backends built into the program, registered like any other.
#include "onewire/driver.h"
#include "simulator/sim_driver.h"
#ifdef _WIN32
#include "onewire/driver_win32.h"
#elif defined(TEMP_HAVE_LIBUSB)
#include "onewire/driver_libusb.h"
#else
#include <cstdio>
#include <cstring>
#endif

#if !defined(_WIN32) && !defined(TEMP_HAVE_LIBUSB)
namespace {

// Without libusb the real adapter's names still get a plain reason when they fail.
int NoUsbClaims(const char* name) { return std::strncmp(name, "\\\\.\\DS2490-", 11) == 0; }
void* NoUsbOpen(const char* name)
{
    fprintf(stderr, "Cannot open %s: this build of temp has no USB support (libusb-1.0 was not found when it was built).\n",
            name);
    return nullptr;
}
int NoVendor(void*, const uint8_t*) { return 0; }
int NoStatus(void*, uint8_t*, uint32_t, uint32_t*) { return 0; }
int NoRead(void*, uint8_t*, uint32_t, uint32_t*) { return 0; }
int NoWrite(void*, const uint8_t*, uint32_t, uint32_t*) { return 0; }
void NoClose(void*) {}

const DriverOps NoUsbDriverOps = {"usb", NoUsbClaims, NoUsbOpen, NoVendor, NoStatus, NoRead, NoWrite, NoClose,
                                    DriverDescribeNothing};

}  // namespace
#endif

void DriverRegisterBuiltinBackends()
{
    DriverRegisterBackend(&SimDriverOps);
#ifdef _WIN32
    DriverRegisterBackend(&Win32DriverOps);
#elif defined(TEMP_HAVE_LIBUSB)
    DriverRegisterBackend(&UsbDriverOps);
#else
    DriverRegisterBackend(&NoUsbDriverOps);
#endif
}
