// The marker files shared with a second logger and the end-of-cycle wait.
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "logger/logger.h"

int MarkerExists(const char* name)
{
    struct stat info;
    return stat(name, &info) == 0 ? 1 : 0;
}

void CreateMarker(const char* name)
{
    FILE* file = std::fopen(name, "wb");
    if (!file) {
        LogFileFailure("create", name);
        return;
    }
    std::fclose(file);
}

void RemoveMarker(const char* name)
{
    // unlink never takes a directory. Its errno can't tell whether the name
    // was there (a read-only file system says EROFS either way), so a failure
    // counts only when the name is still present.
    if (unlink(name) == 0)
        return;
    int reason = errno;
    struct stat info;
#ifdef _WIN32
    bool gone = stat(name, &info) != 0 && errno == ENOENT;
#else
    bool gone = lstat(name, &info) != 0 && errno == ENOENT;
#endif
    if (gone)
        return;
    errno = reason;
    LogFileFailure("remove", name);
}

void WaitForSerialSync()
{
    if (!MarkerExists("SerialPresent")) {
        PauseMs(100);
        std::printf("Next cycle");
        std::fflush(stdout);
        for (int i = 0; i < 8; ++i) {
            std::printf(".");
            std::fflush(stdout);
            PauseMs(200);
        }
    } else {
        for (int poll = 1; poll <= 29; ++poll) {
            if (MarkerExists("SerialSyncStart")) {
                std::printf(" Starting");
                RemoveMarker("SerialSyncStart");
                break;
            }
            if (poll == 1)
                std::printf("Waiting for next Serial Sync");
            std::printf(".");
            std::fflush(stdout);
            PauseMs(250);
        }
    }
    WallTime now = WallClockNow();
    std::printf(" %s.%3d\n", FormatLocalTime(now.seconds).c_str(), now.milliseconds);
    std::fflush(stdout);
}
