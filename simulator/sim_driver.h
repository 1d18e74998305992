// The software DS2490's driver backend. It claims "sim:" (the built-in demo
// bus) and "sim:PATH" (a bus described by a file).
#pragma once

#include "onewire/driver.h"

extern const DriverOps SimDriverOps;
