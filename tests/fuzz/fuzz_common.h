// Shared set-up of the fuzz targets: a private working directory, since the
// logger's files have fixed names relative to it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <unistd.h>

namespace fuzz_detail {
inline char ScratchPath[] = "/tmp/temp_fuzz_XXXXXX";
inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }
inline void RemoveScratch() { nftw(ScratchPath, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS); }
}  // namespace fuzz_detail

// Enters a fresh directory under /tmp, removed again when the process exits.
inline void FuzzEnterScratchDirectory()
{
    static bool done = false;
    if (done)
        return;
    if (!mkdtemp(fuzz_detail::ScratchPath) || chdir(fuzz_detail::ScratchPath) != 0) {
        std::perror("fuzz scratch directory");
        std::abort();
    }
    std::atexit(fuzz_detail::RemoveScratch);
    done = true;
}

inline void FuzzWriteFile(const char* name, const void* data, size_t size)
{
    FILE* file = std::fopen(name, "wb");
    if (!file)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
}

// Fails the run (libFuzzer keeps the input) when a check does not hold.
#define FUZZ_CHECK(condition)                                                   \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition,     \
                         __FILE__, __LINE__);                                   \
            std::abort();                                                       \
        }                                                                       \
    } while (0)
