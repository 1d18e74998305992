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
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// A whole unsigned number of `text` in `base`, or -1.
long long Number(const std::string& text, int base)
{
    if (text.empty())
        return -1;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && *end == '\0' && value <= 0x7FFFFFFFFFFFFFFFull ? static_cast<long long>(value) : -1;
}

// The PID of the flock on (device, inode) in /proc/locks, 0 when none is listed.
long FlockHolder(dev_t device, ino_t inode)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; blocked waiters have "->" after the number.
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, file;
        fields >> number >> kind >> mode >> access >> pid >> file;
        size_t first = file.find(':'), second = file.rfind(':');
        if (kind != "FLOCK" || first == std::string::npos || first == second)
            continue;
        long long major_ = Number(file.substr(0, first), 16);
        long long minor_ = Number(file.substr(first + 1, second - first - 1), 16);
        long long node = Number(file.substr(second + 1), 10);
        long long holder = Number(pid, 10);
        if (holder > 0 && major_ == static_cast<long long>(major(device))
            && minor_ == static_cast<long long>(minor(device)) && node == static_cast<long long>(inode))
            return static_cast<long>(holder);
    }
    return 0;
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
