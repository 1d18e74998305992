// The backends of a build without libusb: the software adapter, and a stand-in
// that gives the real adapter's names a plain reason when they fail.
#include <cstdio>
#include <cstring>

#include "backends/backends.h"
#include "onewire/driver.h"
#include "simulator/sim_driver.h"

namespace {

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

void DriverRegisterBuiltinBackends()
{
    DriverRegisterBackend(&SimDriverOps);
    DriverRegisterBackend(&NoUsbDriverOps);
}
