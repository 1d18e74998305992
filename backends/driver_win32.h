// The real adapter on Windows: its kernel driver opened by device name
// (\\.\DS2490-N), vendor requests and status packets by device control
// requests, the bulk pipes by ReadFile and WriteFile on the same handle.
//
// The backend makes its system calls through Win32Api, so a test can put a
// recorder in their place; the logic compiles on every platform.
#pragma once

#include <cstdint>

#include "onewire/driver.h"

// Values of the Win32 constants the backend passes (same as <windows.h>).
constexpr uint32_t WIN32_GENERIC_READ = 0x80000000u;
constexpr uint32_t WIN32_GENERIC_WRITE = 0x40000000u;
constexpr uint32_t WIN32_FILE_SHARE_READ = 0x00000001u;
constexpr uint32_t WIN32_OPEN_EXISTING = 3;
constexpr uint32_t WIN32_FILE_ATTRIBUTE_NORMAL = 0x00000080u;
// INVALID_HANDLE_VALUE.
inline void* Win32InvalidHandle() { return reinterpret_cast<void*>(static_cast<intptr_t>(-1)); }

// The Win32 calls the backend uses, with their Win32 shapes (BOOL results as
// int, DWORD as uint32_t, HANDLE as void*).
struct Win32Api {
    void* (*create_file)(const char* name, uint32_t access, uint32_t share, void* security, uint32_t disposition,
                         uint32_t flags, void* template_file);
    int (*device_io_control)(void* handle, uint32_t code, void* input, uint32_t input_size, void* output,
                             uint32_t output_size, uint32_t* returned, void* overlapped);
    int (*read_file)(void* handle, void* buffer, uint32_t length, uint32_t* done, void* overlapped);
    int (*write_file)(void* handle, const void* buffer, uint32_t length, uint32_t* done, void* overlapped);
    int (*close_handle)(void* handle);
    uint32_t (*get_last_error)();
};

// Claims "\\.\DS2490-" names.
extern const DriverOps Win32DriverOps;

// Puts api in place of the system's calls; nullptr puts the system's back
// (on Windows; elsewhere every open then fails with a plain reason).
void Win32ApiInstall(const Win32Api* api);
