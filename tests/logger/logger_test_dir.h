// Shared by the logger's in-process tests: file helpers, a fixture that runs
// each test in a fresh working directory, and place tables of any size.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <memory>

#include "logger/logger.h"
#include "tests/common/scratch_dir.h"
#include "tests/logger/blackbox_util.h"

namespace {

#ifdef _WIN32
// The POSIX call the fixtures use, from the Windows runtime.
inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
#endif

// Runs each test in a fresh working directory, with the event log inside it.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = std::make_unique<InScratchDir>("logger_unit");
        dir_ = scratch_->path();
        ASSERT_FALSE(dir_.empty());
        ErrorFilePath = "USBerr.txt";
        ClearDirectAccessTable();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { scratch_.reset(); }
    std::unique_ptr<InScratchDir> scratch_;
    std::string dir_;
};

// A place table of n entries: serial 10 followed by the index in hex, place = index.
inline std::string TableOf(int n)
{
    std::string text;
    char serial[17];
    for (int i = 0; i < n; ++i) {
        std::snprintf(serial, sizeof serial, "10%014X", i);
        text += std::string(serial) + " " + std::to_string(i) + " P" + std::to_string(i) + "\n";
    }
    return text;
}

}  // namespace
