// Backend for the adapter's Windows kernel driver.
#include "backends/driver_win32.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
static_assert(WIN32_GENERIC_READ == GENERIC_READ && WIN32_GENERIC_WRITE == GENERIC_WRITE, "access");
static_assert(WIN32_FILE_SHARE_READ == FILE_SHARE_READ && WIN32_OPEN_EXISTING == OPEN_EXISTING, "open");
static_assert(WIN32_FILE_ATTRIBUTE_NORMAL == FILE_ATTRIBUTE_NORMAL, "attributes");

void* SysCreateFile(const char* name, uint32_t access, uint32_t share, void* security, uint32_t disposition,
                    uint32_t flags, void* template_file)
{
    return CreateFileA(name, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security), disposition, flags,
                       static_cast<HANDLE>(template_file));
}

int SysDeviceIoControl(void* handle, uint32_t code, void* input, uint32_t input_size, void* output,
                       uint32_t output_size, uint32_t* returned, void* overlapped)
{
    DWORD count = 0;
    BOOL ok = DeviceIoControl(static_cast<HANDLE>(handle), code, input, input_size, output, output_size, &count,
                              static_cast<LPOVERLAPPED>(overlapped));
    *returned = count;
    return ok ? 1 : 0;
}

int SysReadFile(void* handle, void* buffer, uint32_t length, uint32_t* done, void* overlapped)
{
    DWORD count = 0;
    BOOL ok = ReadFile(static_cast<HANDLE>(handle), buffer, length, &count, static_cast<LPOVERLAPPED>(overlapped));
    *done = count;
    return ok ? 1 : 0;
}

int SysWriteFile(void* handle, const void* buffer, uint32_t length, uint32_t* done, void* overlapped)
{
    DWORD count = 0;
    BOOL ok = WriteFile(static_cast<HANDLE>(handle), buffer, length, &count, static_cast<LPOVERLAPPED>(overlapped));
    *done = count;
    return ok ? 1 : 0;
}

int SysCloseHandle(void* handle) { return CloseHandle(static_cast<HANDLE>(handle)) ? 1 : 0; }
uint32_t SysGetLastError() { return GetLastError(); }

const Win32Api SystemApi = {SysCreateFile, SysDeviceIoControl, SysReadFile, SysWriteFile, SysCloseHandle,
                            SysGetLastError};
const Win32Api* Api = &SystemApi;
#else
const Win32Api* Api = nullptr;
#endif

struct Device {
    void* handle;
};

// Windows device names are case-insensitive: \\.\ds2490-1 names the same adapter.
int Claims(const char* name)
{
    static const char Prefix[] = "\\\\.\\DS2490-";
    for (size_t i = 0; i + 1 < sizeof Prefix; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != Prefix[i])
            return 0;
    return 1;
}

const char* Reason(uint32_t error)
{
    switch (error) {
    case 2:  // ERROR_FILE_NOT_FOUND
        return "no such device (is the adapter plugged in and its driver installed?)";
    case 5:  // ERROR_ACCESS_DENIED
        return "access denied (is another program using the adapter?)";
    case 32:  // ERROR_SHARING_VIOLATION
        return "the device is in use by another program";
    default:
        return "the driver refused to open it";
    }
}

void* Open(const char* name)
{
    if (Api == nullptr) {
        fprintf(stderr, "Cannot open %s: this build of temp has no Windows driver support.\n", name);
        return nullptr;
    }
    void* handle = Api->create_file(name, WIN32_GENERIC_READ | WIN32_GENERIC_WRITE, WIN32_FILE_SHARE_READ, nullptr,
                                    WIN32_OPEN_EXISTING, WIN32_FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == Win32InvalidHandle()) {
        uint32_t error = Api->get_last_error();
        fprintf(stderr, "Cannot open %s: %s (Windows error %u).\n", name, Reason(error), static_cast<unsigned>(error));
        return nullptr;
    }
    Device* device = new (std::nothrow) Device{handle};
    if (device == nullptr) {
        Api->close_handle(handle);
        fprintf(stderr, "Cannot open %s: out of memory.\n", name);
    }
    return device;
}

int VendorRequest(void* context, const uint8_t record[VENDOR_REQUEST_SIZE])
{
    // The driver takes the record as input and gives nothing back.
    uint8_t copy[VENDOR_REQUEST_SIZE];
    std::memcpy(copy, record, VENDOR_REQUEST_SIZE);
    uint32_t returned = 0;
    return Api->device_io_control(static_cast<Device*>(context)->handle, VendorRequestControlCode, copy,
                                  VENDOR_REQUEST_SIZE, nullptr, 0, &returned, nullptr) != 0;
}

int QueryStatus(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    // Always a whole 32-byte buffer for the driver; the caller gets what fits.
    uint8_t packet[STATUS_BUFFER_SIZE] = {};
    uint32_t got = 0;
    if (!Api->device_io_control(static_cast<Device*>(context)->handle, StatusControlCode, nullptr, 0, packet,
                                STATUS_BUFFER_SIZE, &got, nullptr))
        return 0;
    if (got > STATUS_BUFFER_SIZE) got = STATUS_BUFFER_SIZE;
    if (got > capacity) got = capacity;
    std::memcpy(buffer, packet, got);
    *returned = got;
    return 1;
}

int Read(void* context, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    uint32_t count = 0;
    if (!Api->read_file(static_cast<Device*>(context)->handle, buffer, length, &count, nullptr)) return 0;
    *done = count > length ? length : count;
    return 1;
}

int Write(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    uint32_t count = 0;
    if (!Api->write_file(static_cast<Device*>(context)->handle, buffer, length, &count, nullptr)) return 0;
    *done = count > length ? length : count;
    return 1;
}

void Close(void* context)
{
    Device* device = static_cast<Device*>(context);
    Api->close_handle(device->handle);
    delete device;
}

// The kernel driver hides the USB side: only the kind of device is known.
int Describe(void*, DriverDescription* description)
{
    std::snprintf(description->kind, sizeof description->kind, "%s", "DS2490 through its Windows driver");
    return 1;
}

}  // namespace

const DriverOps Win32DriverOps = {"win32", Claims, Open, VendorRequest, QueryStatus, Read, Write, Close, Describe};

void Win32ApiInstall(const Win32Api* api)
{
#ifdef _WIN32
    Api = api != nullptr ? api : &SystemApi;
#else
    Api = api;
#endif
}
