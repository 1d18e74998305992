// Test entry: the emulation needs umockdev's preload library, so a run started
// without it (straight from a shell) starts itself again with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const char* preload = std::getenv("LD_PRELOAD");
    if ((preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr) &&
        std::getenv("TEMP_USB_TEST_REEXEC") == nullptr) {
        std::string list = TEMP_USB_TEST_PRELOAD;
        if (preload != nullptr && *preload != '\0')
            list += std::string(":") + preload;
        setenv("LD_PRELOAD", list.c_str(), 1);
        setenv("TEMP_USB_TEST_REEXEC", "1", 1);
        execv("/proc/self/exe", argv);
        // Not possible here: run anyway, the tests skip without the emulation.
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
