#include "onewire/driver.h"

#include <array>
#include <cstdio>

namespace {

constexpr size_t MAX_BACKENDS = 8;
std::array<const DriverOps*, MAX_BACKENDS> Backends{};

// Open devices. Handles count up from 1 and are never reused, so a closed
// handle kept by a caller can never reach a device opened later.
struct OpenDevice {
    DriverHandle handle = 0;
    const DriverOps* ops = nullptr;
    void* context = nullptr;
};
constexpr size_t MAX_OPEN = 64;
std::array<OpenDevice, MAX_OPEN> Devices{};
DriverHandle NextHandle = 1;

OpenDevice* Lookup(DriverHandle handle)
{
    if (handle <= 0)
        return nullptr;
    for (OpenDevice& device : Devices)
        if (device.ops != nullptr && device.handle == handle)
            return &device;
    return nullptr;
}

}  // namespace

void DriverRegisterBackend(const DriverOps* ops)
{
    for (const DriverOps* known : Backends)
        if (known == ops)
            return;
    for (const DriverOps*& slot : Backends) {
        if (slot == nullptr) {
            slot = ops;
            return;
        }
    }
}

void DriverUnregisterBackend(const DriverOps* ops)
{
    for (const DriverOps*& slot : Backends)
        if (slot == ops)
            slot = nullptr;
}

int DriverClaims(const char* device_name)
{
    if (device_name == nullptr)
        return 0;
    for (const DriverOps* ops : Backends)
        if (ops != nullptr && ops->claims(device_name))
            return 1;
    return 0;
}

DriverHandle DriverOpen(const char* device_name)
{
    if (device_name == nullptr)
        return INVALID_DRIVER_HANDLE;
    for (const DriverOps* ops : Backends) {
        if (ops == nullptr || !ops->claims(device_name))
            continue;
        for (size_t i = 0; i < MAX_OPEN; ++i) {
            if (Devices[i].ops != nullptr)
                continue;
            void* context = ops->open(device_name);
            if (context == nullptr)
                return INVALID_DRIVER_HANDLE;
            Devices[i] = OpenDevice{NextHandle++, ops, context};
            return Devices[i].handle;
        }
        fprintf(stderr, "Cannot open %s: too many adapters open in this process.\n", device_name);
        return INVALID_DRIVER_HANDLE;
    }
    return INVALID_DRIVER_HANDLE;
}

int DriverIoControl(DriverHandle handle, uint32_t code, const void* input, uint32_t input_size,
                    void* output, uint32_t output_size, uint32_t* returned)
{
    OpenDevice* device = Lookup(handle);
    if (device == nullptr)
        return 0;
    if (code == VendorRequestControlCode) {
        if (input == nullptr || input_size != VENDOR_REQUEST_SIZE)
            return 0;
        if (returned != nullptr)
            *returned = 0;
        return device->ops->vendor_request(device->context, static_cast<const uint8_t*>(input));
    }
    if (code == StatusControlCode) {
        if (output == nullptr || output_size == 0)
            return 0;
        uint32_t length = 0;
        if (!device->ops->query_status(device->context, static_cast<uint8_t*>(output), output_size, &length))
            return 0;
        if (returned != nullptr)
            *returned = length < output_size ? length : output_size;
        return 1;
    }
    return 0;
}

int DriverRead(DriverHandle handle, void* buffer, uint32_t length, uint32_t* done)
{
    OpenDevice* device = Lookup(handle);
    if (device == nullptr || (buffer == nullptr && length != 0))
        return 0;
    uint32_t count = 0;
    if (!device->ops->read(device->context, static_cast<uint8_t*>(buffer), length, &count))
        return 0;
    if (done != nullptr)
        *done = count < length ? count : length;
    return 1;
}

int DriverWrite(DriverHandle handle, const void* buffer, uint32_t length, uint32_t* done)
{
    OpenDevice* device = Lookup(handle);
    if (device == nullptr || (buffer == nullptr && length != 0))
        return 0;
    uint32_t count = 0;
    if (!device->ops->write(device->context, static_cast<const uint8_t*>(buffer), length, &count))
        return 0;
    if (done != nullptr)
        *done = count < length ? count : length;
    return 1;
}

int DriverDescribeNothing(void*, DriverDescription*) { return 0; }

int DriverDescribe(DriverHandle handle, DriverDescription* description)
{
    OpenDevice* device = Lookup(handle);
    if (device == nullptr || description == nullptr)
        return 0;
    *description = DriverDescription{};
    return device->ops->describe(device->context, description);
}

int DriverClose(DriverHandle handle)
{
    OpenDevice* device = Lookup(handle);
    if (device == nullptr)
        return 0;
    device->ops->close(device->context);
    *device = OpenDevice{};
    return 1;
}
