// The real DS2490 through libusb-1.0 (see driver_libusb.h).
#include "backends/driver_libusb.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr const char NAME_PREFIX[] = "\\\\.\\DS2490-";
constexpr size_t NAME_PREFIX_LENGTH = sizeof(NAME_PREFIX) - 1;
constexpr int MAX_ADAPTER_NUMBER = 999;

constexpr int INTERFACE = 0;
constexpr uint8_t EP_STATUS = 0x81;
constexpr uint8_t EP_BULK_OUT = 0x02;
constexpr uint8_t EP_BULK_IN = 0x83;

constexpr unsigned CONTROL_TIMEOUT_MS = 1000;
constexpr unsigned BULK_TIMEOUT_MS = 1000;
// A status read waits a few polling periods, never less than this.
constexpr unsigned STATUS_TIMEOUT_MIN_MS = 50;
constexpr unsigned STATUS_TIMEOUT_PERIODS = 5;

constexpr size_t STATUS_PACKET_MAX = 64;
constexpr size_t BULK_IN_BUFFER = 1024;

// The alternate setting of interface 0 to use, with the endpoint facts that go with it.
struct AltChoice {
    int setting = -1;
    unsigned interval_ms = 0;
    uint16_t status_packet = 0;
    uint16_t bulk_packet = 0;  // the smaller of the two bulk endpoints
    uint16_t bulk_out_packet = 0;
    uint16_t bulk_in_packet = 0;
};

struct UsbAdapter {
    int number = 0;  // N of \\.\DS2490-N
    char name[48] = {};
    libusb_context* usb = nullptr;
    libusb_device_handle* device = nullptr;
    bool kernel_driver_detached = false;
    bool kernel_driver_was_bound = false;  // detached at the last open, for describe
    bool announced_loss = false;
    int bus = -1;
    int address = -1;
    unsigned status_timeout_ms = STATUS_TIMEOUT_MIN_MS;
    uint16_t status_packet = 32;  // EP1 max packet size
    uint16_t bulk_in_packet = 64;  // EP3 max packet size
    AltChoice alt;                 // the setting chosen at the last open
    // Bytes of the last bulk read beyond what the caller asked for (a USB read
    // takes whole packets); served before the next read.
    uint8_t spill[BULK_IN_BUFFER] = {};
    size_t spill_start = 0;
    size_t spill_end = 0;
};


int ParseAdapterNumber(const char* name)
{
    const char* digits = name + NAME_PREFIX_LENGTH;
    if (*digits == '\0')
        return 0;
    int number = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return 0;
        number = number * 10 + (*p - '0');
        if (number > MAX_ADAPTER_NUMBER)
            return 0;
    }
    return number;
}

// Scans the alternate settings of the interface for the one with the shortest
// status polling period and, among those, the largest bulk packets (1 ms and 64
// bytes on the DS2490). Settings that lack one of the three endpoints are skipped.
AltChoice ChooseAltSetting(const libusb_interface& interface)
{
    AltChoice best;
    for (int i = 0; i < interface.num_altsetting; ++i) {
        const libusb_interface_descriptor& alt = interface.altsetting[i];
        AltChoice candidate;
        candidate.setting = alt.bAlternateSetting;
        bool has_status = false, has_out = false, has_in = false;
        uint16_t out_packet = 0, in_packet = 0;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            const int type = ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
            if (ep.bEndpointAddress == EP_STATUS && type == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
                has_status = true;
                candidate.interval_ms = ep.bInterval == 0 ? 1 : ep.bInterval;
                candidate.status_packet = ep.wMaxPacketSize & 0x7FF;
            } else if (ep.bEndpointAddress == EP_BULK_OUT && type == LIBUSB_TRANSFER_TYPE_BULK) {
                has_out = true;
                out_packet = ep.wMaxPacketSize & 0x7FF;
            } else if (ep.bEndpointAddress == EP_BULK_IN && type == LIBUSB_TRANSFER_TYPE_BULK) {
                has_in = true;
                in_packet = ep.wMaxPacketSize & 0x7FF;
            }
        }
        if (!has_status || !has_out || !has_in || candidate.status_packet == 0 || in_packet == 0)
            continue;
        candidate.bulk_packet = std::min(out_packet, in_packet);
        candidate.bulk_out_packet = out_packet;
        candidate.bulk_in_packet = in_packet;
        const bool better = best.setting < 0 || candidate.interval_ms < best.interval_ms ||
                            (candidate.interval_ms == best.interval_ms &&
                             candidate.bulk_packet > best.bulk_packet);
        if (better)
            best = candidate;
    }
    return best;
}

// Lets go of the adapter. The kernel driver gets it back, except from a broken
// link, where the adapter is reopened (and the driver detached again) anyway.
void ReleaseDevice(UsbAdapter* adapter, bool give_back = true)
{
    if (adapter->device != nullptr) {
        libusb_release_interface(adapter->device, INTERFACE);
        if (adapter->kernel_driver_detached && give_back)
            libusb_attach_kernel_driver(adapter->device, INTERFACE);
        libusb_close(adapter->device);
        adapter->device = nullptr;
    }
    adapter->kernel_driver_detached = false;
    if (adapter->usb != nullptr) {
        libusb_exit(adapter->usb);
        adapter->usb = nullptr;
    }
    adapter->spill_start = adapter->spill_end = 0;
}

void ReportNoPermission(const char* name, int bus, int address)
{
    fprintf(stderr,
            "Cannot open %s (USB bus %d device %d): permission denied; install the udev rule " DS2490_UDEV_RULE
            " into /etc/udev/rules.d/, add your user to the plugdev group and replug the adapter.\n",
            name, bus, address);
}

// Finds, opens and claims the adapter. On failure everything is released and,
// when report is set, one sentence saying why goes to standard error.
bool AttachDevice(UsbAdapter* adapter, bool report)
{
    const char* name = adapter->name;
    int rc = libusb_init(&adapter->usb);
    if (rc != 0) {
        adapter->usb = nullptr;
        if (report)
            fprintf(stderr, "Cannot open %s: USB access could not be started (%s).\n", name,
                    libusb_strerror(static_cast<libusb_error>(rc)));
        return false;
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(adapter->usb, &list);
    std::vector<libusb_device*> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == DS2490_VENDOR_ID &&
            desc.idProduct == DS2490_PRODUCT_ID)
            found.push_back(list[i]);
    }
    std::sort(found.begin(), found.end(), [](libusb_device* a, libusb_device* b) {
        const int bus_a = libusb_get_bus_number(a), bus_b = libusb_get_bus_number(b);
        if (bus_a != bus_b)
            return bus_a < bus_b;
        return libusb_get_device_address(a) < libusb_get_device_address(b);
    });

    if (found.size() < static_cast<size_t>(adapter->number)) {
        if (report) {
            if (found.empty())
                fprintf(stderr, "Cannot open %s: no DS2490 adapter is connected; plug one in and try again.\n",
                        name);
            else
                fprintf(stderr,
                        "Cannot open %s: there is no such adapter, only %zu DS2490 adapter%s connected; use a "
                        "number from 1 to %zu.\n",
                        name, found.size(), found.size() == 1 ? " is" : "s are", found.size());
        }
        if (list != nullptr)
            libusb_free_device_list(list, 1);
        ReleaseDevice(adapter);
        return false;
    }

    libusb_device* usb_device = found[static_cast<size_t>(adapter->number - 1)];
    const int bus = libusb_get_bus_number(usb_device);
    const int address = libusb_get_device_address(usb_device);
    rc = libusb_open(usb_device, &adapter->device);
    if (rc != 0)
        adapter->device = nullptr;

    AltChoice alt;
    libusb_config_descriptor* config = nullptr;
    if (rc == 0 && libusb_get_active_config_descriptor(usb_device, &config) != 0 &&
        libusb_get_config_descriptor(usb_device, 0, &config) != 0)
        config = nullptr;
    if (config != nullptr) {
        if (config->bNumInterfaces > INTERFACE)
            alt = ChooseAltSetting(config->interface[INTERFACE]);
        libusb_free_config_descriptor(config);
    }
    libusb_free_device_list(list, 1);

    if (rc == LIBUSB_ERROR_ACCESS) {
        if (report)
            ReportNoPermission(name, bus, address);
        ReleaseDevice(adapter);
        return false;
    }
    if (rc != 0) {
        if (report)
            fprintf(stderr, "Cannot open %s (USB bus %d device %d): %s; replug the adapter and try again.\n", name,
                    bus, address, libusb_strerror(static_cast<libusb_error>(rc)));
        ReleaseDevice(adapter);
        return false;
    }
    if (alt.setting < 0) {
        if (report)
            fprintf(stderr,
                    "Cannot open %s (USB bus %d device %d): the device does not offer the DS2490's endpoints.\n",
                    name, bus, address);
        ReleaseDevice(adapter);
        return false;
    }

    // The kernel's own driver for the chip claims it on plug-in: take it over.
    adapter->kernel_driver_was_bound = false;
    if (libusb_kernel_driver_active(adapter->device, INTERFACE) == 1) {
        rc = libusb_detach_kernel_driver(adapter->device, INTERFACE);
        if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND) {
            if (report)
                fprintf(stderr,
                        "Cannot open %s (USB bus %d device %d): the kernel driver holding it could not be detached "
                        "(%s); blacklist the kernel's ds2490 module as docs/usb.md describes and replug the "
                        "adapter.\n",
                        name, bus, address, libusb_strerror(static_cast<libusb_error>(rc)));
            ReleaseDevice(adapter);
            return false;
        }
        adapter->kernel_driver_detached = rc == 0;
        adapter->kernel_driver_was_bound = rc == 0;
    }

    rc = libusb_claim_interface(adapter->device, INTERFACE);
    if (rc != 0) {
        if (report) {
            if (rc == LIBUSB_ERROR_BUSY)
                fprintf(stderr,
                        "Cannot open %s (USB bus %d device %d): the adapter is busy, held by another program; "
                        "close that program and try again.\n",
                        name, bus, address);
            else if (rc == LIBUSB_ERROR_ACCESS)
                ReportNoPermission(name, bus, address);
            else
                fprintf(stderr, "Cannot open %s (USB bus %d device %d): the adapter cannot be claimed (%s).\n", name,
                        bus, address, libusb_strerror(static_cast<libusb_error>(rc)));
        }
        ReleaseDevice(adapter);
        return false;
    }

    rc = libusb_set_interface_alt_setting(adapter->device, INTERFACE, alt.setting);
    if (rc != 0) {
        if (report)
            fprintf(stderr, "Cannot open %s (USB bus %d device %d): alternate setting %d refused (%s).\n", name, bus,
                    address, alt.setting, libusb_strerror(static_cast<libusb_error>(rc)));
        ReleaseDevice(adapter);
        return false;
    }

    adapter->status_timeout_ms = std::max(STATUS_TIMEOUT_MIN_MS, STATUS_TIMEOUT_PERIODS * alt.interval_ms);
    adapter->status_packet =
        static_cast<uint16_t>(std::min<size_t>(alt.status_packet, STATUS_PACKET_MAX));
    adapter->bulk_in_packet = alt.bulk_in_packet;
    adapter->alt = alt;
    adapter->bus = bus;
    adapter->address = address;
    adapter->spill_start = adapter->spill_end = 0;
    return true;
}

// The device is open, or reopened now after an unplug. A reopen that fails
// stays quiet: the adapter may simply not be back yet.
bool EnsureAttached(UsbAdapter* adapter)
{
    if (adapter->device != nullptr)
        return true;
    if (!AttachDevice(adapter, false))
        return false;
    fprintf(stderr, "The DS2490 adapter %s is connected again.\n", adapter->name);
    adapter->announced_loss = false;
    return true;
}

// Judges a failed transfer: an adapter that is gone (or whose link broke) is
// dropped so that the next request opens it afresh; a stalled endpoint is cleared.
void TransferFailed(UsbAdapter* adapter, int rc, uint8_t endpoint)
{
    if (rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_IO) {
        if (!adapter->announced_loss)
            fprintf(stderr, "The DS2490 adapter %s was disconnected; it is reopened once it is back.\n",
                    adapter->name);
        adapter->announced_loss = true;
        ReleaseDevice(adapter, false);
    } else if (rc == LIBUSB_ERROR_PIPE && endpoint != 0) {
        libusb_clear_halt(adapter->device, endpoint);
    }
}

int UsbClaims(const char* device_name)
{
    if (device_name == nullptr || std::strlen(device_name) < NAME_PREFIX_LENGTH)
        return 0;
    for (size_t i = 0; i < NAME_PREFIX_LENGTH; ++i)
        if (std::toupper(static_cast<unsigned char>(device_name[i])) != NAME_PREFIX[i])
            return 0;
    return 1;
}

void* UsbOpen(const char* device_name)
{
    const int number = ParseAdapterNumber(device_name);
    if (number < 1) {
        fprintf(stderr, "Cannot open %s: an adapter name is \\\\.\\DS2490-N with N a number from 1 to %d.\n",
                device_name, MAX_ADAPTER_NUMBER);
        return nullptr;
    }
    UsbAdapter* adapter = new (std::nothrow) UsbAdapter;
    if (adapter == nullptr) {
        fprintf(stderr, "Cannot open %s: out of memory.\n", device_name);
        return nullptr;
    }
    adapter->number = number;
    snprintf(adapter->name, sizeof adapter->name, "%s%d", NAME_PREFIX, number);
    if (!AttachDevice(adapter, true)) {
        delete adapter;
        return nullptr;
    }
    return adapter;
}

int UsbVendorRequest(void* context, const uint8_t record[VENDOR_REQUEST_SIZE])
{
    auto* adapter = static_cast<UsbAdapter*>(context);
    const uint8_t request_type = record[0];
    const uint8_t request = record[1];
    const uint16_t value = static_cast<uint16_t>(record[2] | record[3] << 8);
    const uint16_t index = static_cast<uint16_t>(record[4] | record[5] << 8);
    const uint16_t length = static_cast<uint16_t>(record[6] | record[7] << 8);
    // The record carries no data stage: only host-to-device requests without data.
    if ((request_type & LIBUSB_ENDPOINT_IN) != 0 || length != 0)
        return 0;
    if (!EnsureAttached(adapter))
        return 0;
    const int rc =
        libusb_control_transfer(adapter->device, request_type, request, value, index, nullptr, 0, CONTROL_TIMEOUT_MS);
    if (rc < 0) {
        TransferFailed(adapter, rc, 0);
        return 0;
    }
    // An adapter reset empties its buffers; so does it ours.
    if (request == 0 && value == 0)
        adapter->spill_start = adapter->spill_end = 0;
    return 1;
}

int UsbQueryStatus(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    auto* adapter = static_cast<UsbAdapter*>(context);
    if (!EnsureAttached(adapter))
        return 0;
    uint8_t packet[STATUS_PACKET_MAX];
    int got = 0;
    const int rc = libusb_interrupt_transfer(adapter->device, EP_STATUS, packet, adapter->status_packet, &got,
                                             adapter->status_timeout_ms);
    if (rc != 0) {
        TransferFailed(adapter, rc, EP_STATUS);
        return 0;
    }
    const uint32_t length = std::min(static_cast<uint32_t>(got), capacity);
    std::memcpy(buffer, packet, length);
    *returned = length;
    return 1;
}

int UsbRead(void* context, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    auto* adapter = static_cast<UsbAdapter*>(context);
    if (!EnsureAttached(adapter))
        return 0;
    if (length == 0) {
        *done = 0;
        return 1;
    }
    if (adapter->spill_start == adapter->spill_end) {
        // Whole packets, so that a packet longer than asked is not cut off.
        const size_t packet = adapter->bulk_in_packet == 0 ? 64 : adapter->bulk_in_packet;
        size_t want = (length + packet - 1) / packet * packet;
        want = std::min(want, BULK_IN_BUFFER / packet * packet);
        int got = 0;
        const int rc = libusb_bulk_transfer(adapter->device, EP_BULK_IN, adapter->spill, static_cast<int>(want),
                                            &got, BULK_TIMEOUT_MS);
        // A timeout returns what came in before it.
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) {
            TransferFailed(adapter, rc, EP_BULK_IN);
            return 0;
        }
        adapter->spill_start = 0;
        adapter->spill_end = static_cast<size_t>(got);
    }
    const size_t count = std::min<size_t>(length, adapter->spill_end - adapter->spill_start);
    std::memcpy(buffer, adapter->spill + adapter->spill_start, count);
    adapter->spill_start += count;
    *done = static_cast<uint32_t>(count);
    return 1;
}

int UsbWrite(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    auto* adapter = static_cast<UsbAdapter*>(context);
    if (!EnsureAttached(adapter))
        return 0;
    if (length == 0) {
        *done = 0;
        return 1;
    }
    int sent = 0;
    const int rc = libusb_bulk_transfer(adapter->device, EP_BULK_OUT, const_cast<uint8_t*>(buffer),
                                        static_cast<int>(std::min<uint32_t>(length, 1u << 20)), &sent,
                                        BULK_TIMEOUT_MS);
    if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) {
        TransferFailed(adapter, rc, EP_BULK_OUT);
        return 0;
    }
    *done = static_cast<uint32_t>(sent);
    return 1;
}

void UsbClose(void* context)
{
    auto* adapter = static_cast<UsbAdapter*>(context);
    if (adapter == nullptr)
        return;
    ReleaseDevice(adapter);
    delete adapter;
}

// What the last open found: where the adapter sits, the setting chosen and
// whether a kernel driver had to let go of it.
int UsbDescribe(void* context, DriverDescription* description)
{
    const auto* adapter = static_cast<const UsbAdapter*>(context);
    std::snprintf(description->kind, sizeof description->kind, "%s", "DS2490 on USB (libusb)");
    description->usb_bus = adapter->bus;
    description->usb_address = adapter->address;
    description->alt_setting = adapter->alt.setting;
    description->polling_ms = static_cast<int>(adapter->alt.interval_ms);
    description->status_packet = adapter->alt.status_packet;
    description->bulk_out_packet = adapter->alt.bulk_out_packet;
    description->bulk_in_packet = adapter->alt.bulk_in_packet;
    description->kernel_driver_detached = adapter->kernel_driver_was_bound ? 1 : 0;
    return 1;
}

}  // namespace

const DriverOps UsbDriverOps = {"usb", UsbClaims, UsbOpen, UsbVendorRequest, UsbQueryStatus, UsbRead, UsbWrite,
                                UsbClose, UsbDescribe};
