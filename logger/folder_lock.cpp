#include "logger/folder_lock.h"

#ifdef _WIN32

int LockWorkingDirectory(std::string*)
{
    return 1;
}

#else

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// The PID of the flock on (device, inode) in /proc/locks, 0 when none is listed.
long FlockHolder(dev_t device, ino_t inode)
{
    FILE* locks = std::fopen("/proc/locks", "r");
    if (!locks)
        return 0;
    char line[256];
    long found = 0;
    while (!found && std::fgets(line, sizeof line, locks)) {
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned major_ = 0, minor_ = 0;
        unsigned long number = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; blocked waiters start "1: -> ".
        if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &major_, &minor_,
                        &number)
                == 7
            && std::string(kind) == "FLOCK" && major_ == major(device) && minor_ == minor(device)
            && number == inode)
            found = pid;
    }
    std::fclose(locks);
    return found;
}

}  // namespace

int LockWorkingDirectory(std::string* holder)
{
    int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return 1;
    if (flock(folder, LOCK_EX | LOCK_NB) == 0)
        return 1;  // held (with the descriptor) until the process ends
    int reason = errno;
    struct stat info {};
    long pid = reason == EWOULDBLOCK && fstat(folder, &info) == 0 ? FlockHolder(info.st_dev, info.st_ino) : 0;
    close(folder);
    if (reason != EWOULDBLOCK)
        return 1;
    *holder = pid > 0 ? "PID " + std::to_string(pid) : std::string();
    return 0;
}

#endif
