// The adapter's driver boundary: one handle per opened adapter, vendor requests
// and status packets through device control requests, and the bulk pipes
// through reads and writes. Backends are chosen by device name.
//
// The public calls have the shape of the platform's device API (open by name,
// device control, read, write, close), so the layers above use them exactly as
// they would use the adapter's kernel driver.
#pragma once

#include <cstddef>
#include <cstdint>

// Device control codes of the adapter's driver.
constexpr uint32_t VendorRequestControlCode = 0x222000;  // in: 9-byte VendorRequest, out: none
constexpr uint32_t StatusControlCode = 0x222004;         // in: none, out: status packet (up to 32 bytes)

constexpr uint32_t VENDOR_REQUEST_SIZE = 9;
constexpr uint32_t STATUS_BUFFER_SIZE = 32;

// An open adapter. Never 0 (0 marks a free port slot); INVALID_DRIVER_HANDLE when an open failed.
using DriverHandle = intptr_t;
constexpr DriverHandle INVALID_DRIVER_HANDLE = -1;

// What a backend can tell about an open device, for diagnostics (temp-probe).
// Numbers a backend does not know stay at their defaults.
struct DriverDescription {
    char kind[64] = "";            // one phrase, e.g. "DS2490 on USB", "software DS2490"
    char source[160] = "";         // sim: the bus file or "built-in demo bus"; win32: the device name
    int usb_bus = -1;              // USB bus number and device address, -1 when not USB
    int usb_address = -1;
    int alt_setting = -1;          // alternate setting of interface 0 in use
    int polling_ms = -1;           // status endpoint polling period
    int status_packet = -1;        // max packet sizes in bytes: status endpoint, bulk out, bulk in
    int bulk_out_packet = -1;
    int bulk_in_packet = -1;
    int kernel_driver_detached = -1;  // 1 detached at open, 0 none was bound, -1 not applicable
};

// One backend. Every member is required.
struct DriverOps {
    // Short name for messages, e.g. "sim".
    const char* name;

    // Returns 1 when this backend serves the device name, else 0. Must not open anything.
    int (*claims)(const char* device_name);

    // Opens the device. Returns a non-null context on success. On failure returns
    // nullptr after writing one plain sentence to standard error saying why.
    void* (*open)(const char* device_name);

    // Gives the device one VendorRequest record (9 bytes: the USB setup packet
    // bmRequestType, bRequest, wValue, wIndex, wLength little-endian, then one
    // reserved byte). Returns 1 when the device accepted it, 0 when refused.
    int (*vendor_request)(void* context, const uint8_t record[VENDOR_REQUEST_SIZE]);

    // Reads the status packet (16 register bytes and 0..16 result bytes) into
    // buffer. Returns 1 and sets *returned to the packet length (at most
    // capacity), or 0 when refused (*returned untouched).
    int (*query_status)(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned);

    // Reads up to length bytes from the bulk input pipe. Returns 1 and sets *done
    // to the count read (may be fewer than asked, also 0), or 0 when refused.
    int (*read)(void* context, uint8_t* buffer, uint32_t length, uint32_t* done);

    // Hands up to length bytes to the bulk output pipe. Returns 1 and sets *done
    // to the count taken, or 0 when refused.
    int (*write)(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done);

    // Releases the device and the context. Never fails.
    void (*close)(void* context);

    // Fills *description with what the backend knows of the open device. Read-only:
    // sends nothing to the device. Returns 1 when filled, 0 when it has nothing to say.
    int (*describe)(void* context, DriverDescription* description);
};

// A describe member for backends with nothing to say: returns 0.
int DriverDescribeNothing(void* context, DriverDescription* description);

// Adds a backend. Backends are asked in the order registered; the first that
// claims a name opens it. Registering the same table twice has no effect.
void DriverRegisterBackend(const DriverOps* ops);
void DriverUnregisterBackend(const DriverOps* ops);

// Opens a device by name. Returns a handle, or INVALID_DRIVER_HANDLE when no
// backend claims the name or the backend's open fails.
DriverHandle DriverOpen(const char* device_name);

// Device control request. For VendorRequestControlCode: input is the 9-byte
// record, no output. For StatusControlCode: no input, output buffer receives the
// packet and *returned its length. Returns non-zero on success, 0 on failure
// (unknown or closed handle, unknown code, wrong sizes, or the device refused).
int DriverIoControl(DriverHandle handle, uint32_t code, const void* input, uint32_t input_size,
                    void* output, uint32_t output_size, uint32_t* returned);

// Bulk pipes. Non-zero on success with *done the count moved; 0 on failure.
int DriverRead(DriverHandle handle, void* buffer, uint32_t length, uint32_t* done);
int DriverWrite(DriverHandle handle, const void* buffer, uint32_t length, uint32_t* done);

// The backend's description of the open device (see DriverOps::describe). Non-zero
// on success, 0 for a handle that is not open or a backend with nothing to say.
int DriverDescribe(DriverHandle handle, DriverDescription* description);

// Closes the handle. Non-zero on success, 0 for a handle that is not open.
int DriverClose(DriverHandle handle);
