// A fresh folder for one test, removed with everything in it (unmounting a
// tmpfs mounted inside) when the object goes. Every suite's scratch folders
// come from here.
#pragma once

#include <string>
#include <vector>

class ScratchDir {
public:
    // A new folder /tmp/<prefix>_XXXXXX (or in $TMPDIR); a failure to make it fails the test.
    explicit ScratchDir(const std::string& prefix = "temp_test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Mounts a tmpfs of `kib` KiB at `name` (Linux, needs root); "" on success, else why not.
    std::string MountTmpfs(const std::string& name, int kib);
    // Leaves the folder in place (a failed test's files to look at) and says where.
    void Keep();

private:
    std::string path_;
    bool keep_ = false;
    std::vector<std::string> mounts_;
};

// Runs each test in a fresh working directory, and returns to the old one after.
class InScratchDir {
public:
    explicit InScratchDir(const std::string& prefix = "temp_test");
    ~InScratchDir();
    InScratchDir(const InScratchDir&) = delete;
    InScratchDir& operator=(const InScratchDir&) = delete;
    const std::string& path() const { return dir_.path(); }
    void Keep() { dir_.Keep(); }

private:
    ScratchDir dir_;
    std::string old_;
};
