// usb_adapter_host BUSFILE COMMAND [ARG...]
//
// Plugs an emulated DS2490 (the software adapter with the bus file BUSFILE,
// behind a umockdev testbed, at USB bus 1 address 2) into a testbed and runs
// COMMAND inside it. The command is a separate process: umockdev's preload
// library in it hands the device's usbdevfs requests to this process, which
// answers them. Used to make the synthetic recording with umockdev-record.
// Exits with the command's status, or 125 when the emulation cannot be set up.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "simulator/sim_driver.h"
#include "tests/usb/usb_emulator.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: usb_adapter_host BUSFILE COMMAND [ARG...]\n");
        return 125;
    }
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr) {
        std::string list = TEMP_USB_TEST_PRELOAD;
        if (preload != nullptr && *preload != '\0')
            list += std::string(":") + preload;
        setenv("LD_PRELOAD", list.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("usb_adapter_host: cannot restart with umockdev's preload library");
        return 125;
    }

    UsbEmulator emulator;
    if (!UsbEmulator::InMockEnvironment()) {
        std::fprintf(stderr, "usb_adapter_host: umockdev's preload library is not active\n");
        return 125;
    }
    const int adapter = emulator.AddAdapter(&SimDriverOps, std::string("sim:") + argv[1]);
    if (adapter < 0)
        return 125;
    if (const char* path = std::getenv("USB_HOST_DEVICE_FILE")) {
        FILE* file = std::fopen(path, "w");
        if (file == nullptr)
            return 125;
        std::fputs(emulator.Description(adapter).c_str(), file);
        std::fclose(file);
    }
    if (const char* path = std::getenv("USB_HOST_IOCTL_FILE")) {
        if (!emulator.RecordIoctls(adapter, path))
            return 125;
    }

    const pid_t child = fork();
    if (child < 0) {
        std::perror("usb_adapter_host: fork");
        return 125;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
