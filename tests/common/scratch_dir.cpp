#include "tests/common/scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <sys/stat.h>
#endif
#ifdef __linux__
#include <sys/mount.h>
#endif

namespace {

char* MakeTempDir(char* pattern)
{
#ifdef _WIN32
    if (_mktemp_s(pattern, std::strlen(pattern) + 1) != 0 || _mkdir(pattern) != 0)
        return nullptr;
    return pattern;
#else
    return mkdtemp(pattern);
#endif
}

}  // namespace

ScratchDir::ScratchDir(const std::string& prefix)
{
    // TMPDIR puts the folders elsewhere, e.g. on a tmpfs for a long soak.
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "_XXXXXX";
    if (MakeTempDir(&pattern[0]))
        path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "can't make " << pattern << ": " << std::strerror(errno);
}

ScratchDir::~ScratchDir()
{
#ifdef __linux__
    for (const std::string& mount : mounts_)
        umount2(mount.c_str(), MNT_DETACH);
#endif
    if (path_.empty() || keep_)
        return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    EXPECT_FALSE(error) << "can't remove " << path_ << ": " << error.message();
}

std::string ScratchDir::MountTmpfs(const std::string& name, int kib)
{
#ifdef __linux__
    std::string where = *this / name;
    mkdir(where.c_str(), 0755);
    std::string options = "size=" + std::to_string(kib) + "k";
    if (mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0)
        return std::string("can't mount a tmpfs (needs root): ") + std::strerror(errno);
    mounts_.push_back(where);
    return "";
#else
    (void)name;
    (void)kib;
    return "no tmpfs here";
#endif
}

void ScratchDir::Keep()
{
    keep_ = true;
    std::printf("test files kept in %s\n", path_.c_str());
}

InScratchDir::InScratchDir(const std::string& prefix) : dir_(prefix)
{
    char* old = getcwd(nullptr, 0);
    old_ = old ? old : ".";
    std::free(old);
    EXPECT_EQ(chdir(dir_.path().c_str()), 0);
}

InScratchDir::~InScratchDir() { EXPECT_EQ(chdir(old_.c_str()), 0); }
