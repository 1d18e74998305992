// The table of driver backends a program is built with. The build picks one
// table file per platform: the software adapter always, and beside it the real
// adapter through libusb, through the Win32 kernel driver, or, where neither is
// built, a stand-in that explains why the adapter's names can't be opened.
#pragma once

// Registers the backends built into this program. Safe to call more than once.
void DriverRegisterBuiltinBackends();
