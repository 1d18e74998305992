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
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <filesystem>
#include <io.h>
#endif

#include "logger/logger.h"
#include "tests/logger/blackbox_util.h"

namespace {

#ifdef _WIN32
// The POSIX calls the fixtures use, from the Windows runtime.
inline char* mkdtemp(char* pattern)
{
    if (_mktemp_s(pattern, std::strlen(pattern) + 1) != 0 || _mkdir(pattern) != 0)
        return nullptr;
    return pattern;
}
inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
#endif

// Runs each test in a fresh working directory, with the event log inside it.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/logger_unit_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        char* old = getcwd(nullptr, 0);
        old_ = old;
        std::free(old);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        ErrorFilePath = "USBerr.txt";
        ClearDirectAccessTable();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_.c_str()), 0);
#ifdef _WIN32
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
        ASSERT_FALSE(error) << error.message();
#else
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
#endif
    }
    std::string dir_, old_;
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
