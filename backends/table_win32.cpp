// The backends of the Windows build: the software adapter and the real adapter
// through its kernel driver.
#include "backends/backends.h"
#include "backends/driver_win32.h"
#include "simulator/sim_driver.h"

void DriverRegisterBuiltinBackends()
{
    DriverRegisterBackend(&SimDriverOps);
    DriverRegisterBackend(&Win32DriverOps);
}
