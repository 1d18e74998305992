// Preloaded before umockdev's library when a recording is replayed.
//
// umockdev 0.17 neither records nor replays USBDEVFS_SETINTERFACE: a recording
// holds no trace of it and the replay refuses it, so the libusb backend could
// not open a recorded adapter. The alternate setting only selects endpoints
// whose traffic the recording holds anyway, so the request is accepted here
// for USB device nodes; every other request goes on to umockdev.
#include <dlfcn.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (request == USBDEVFS_SETINTERFACE) {
        char link[64];
        char target[4096] = {};
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) > 0 && std::strstr(target, "/dev/bus/usb/") != nullptr)
            return 0;
    }
    using IoctlFunction = int (*)(int, unsigned long, ...);
    static IoctlFunction next = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}
