// temp: the console temperature logger.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "logger/folder_lock.h"
#include "logger/logger.h"

int main(int argc, char** argv)
{
#ifdef SIGXFSZ
    // A write past the file-size limit then fails with EFBIG, which the
    // logger reports ("Can't write temp.pd: File too large") and outlives.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    std::string holder;
    if (!LockWorkingDirectory(&holder)) {
        char* folder = getcwd(nullptr, 0);
        std::printf("Another temp%s is already logging in %s: a second one would write the same files. Stopped.\n",
                    holder.empty() ? "" : (" (" + holder + ")").c_str(), folder ? folder : "this folder");
        std::free(folder);
        return 1;
    }
    return RunLogger(argc, argv);
}
