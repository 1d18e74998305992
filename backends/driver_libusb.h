// The real DS2490 adapter through libusb-1.0. It claims the names
// "\\.\DS2490-N": the N-th adapter on the USB buses, counted from 1 in
// bus/address order.
//
// Vendor requests go out as control transfers on EP0, the status packet is read
// from the interrupt endpoint 0x81, and the bulk pipes are 0x02 (out) and 0x83
// (in). An adapter that is unplugged refuses every request; once an adapter
// with the same name can be opened again it is reopened on the next request.
#pragma once

#include <cstdint>

#include "onewire/driver.h"

extern const DriverOps UsbDriverOps;

// The adapter's USB identity.
constexpr uint16_t DS2490_VENDOR_ID = 0x04FA;
constexpr uint16_t DS2490_PRODUCT_ID = 0x2490;

// The udev rule shipped with the program, named in the permission message.
#define DS2490_UDEV_RULE "packaging/60-ds2490.rules"
