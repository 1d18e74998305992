// An emulated DS2490 on USB for the libusb backend's tests: a umockdev testbed
// device whose usbdevfs requests are answered by a driver backend (the software
// DS2490, or a test's own stand-in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/driver.h"

// One alternate setting of interface 0: status polling period and bulk packet size.
struct AltSettingSpec {
    uint8_t interval_ms;
    uint16_t bulk_packet;
};

// The DS2490's four settings, in the adapter's own order.
std::vector<AltSettingSpec> Ds2490AltSettings();

// Upper-case hex digits, two per byte.
std::string HexText(const uint8_t* bytes, size_t length);

// Device and configuration descriptors of an adapter with the given settings.
std::vector<uint8_t> Ds2490Descriptors(const std::vector<AltSettingSpec>& settings);

class UsbEmulator {
public:
    // Creates the testbed; do it before anything initialises libusb.
    UsbEmulator();
    ~UsbEmulator();
    UsbEmulator(const UsbEmulator&) = delete;
    UsbEmulator& operator=(const UsbEmulator&) = delete;

    // 1 when umockdev's preload library is active in this process.
    static bool InMockEnvironment();

    // Plugs in an adapter at bus/address whose requests go to backend `ops`
    // opened with `device_name`. Returns its index (0-based) or -1 when the
    // backend does not open.
    int AddAdapter(const DriverOps* ops, const std::string& device_name, int bus = 1, int address = 2,
                   const std::vector<AltSettingSpec>& settings = Ds2490AltSettings());

    // Unplug: the device leaves sysfs and every request on it fails with ENODEV.
    void Unplug(int adapter);
    // Plugs the same adapter (same backend state) back in.
    void Replug(int adapter);

    // Knobs for the opening paths.
    void SetKernelDriverBound(int adapter, bool bound);
    void SetRefuseDetach(int adapter, bool refuse);
    void SetClaimBusy(int adapter, bool busy);
    // Makes the device node unreadable for anyone but its owner (root).
    std::string DeviceNodePath(int adapter) const;

    // Observations.
    bool KernelDriverBound(int adapter) const;
    bool Claimed(int adapter) const;
    // Alternate settings asked for with SETINTERFACE, in order.
    std::vector<int> AltSettingsSet(int adapter) const;
    // Writes every URB reaped from now on into the file at path, in the format
    // of umockdev-record's ioctl recordings (umockdev-run replays it). False
    // when the file cannot be created.
    bool RecordIoctls(int adapter, const std::string& path);
    // The adapter's sysfs and udev description, in umockdev's device-file format.
    std::string Description(int adapter) const;
    // Control setup packets seen (8 bytes each).
    std::vector<std::vector<uint8_t>> ControlRequests(int adapter) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
