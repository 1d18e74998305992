// A working directory and a program directory ("app/") for one logger run,
// under a fresh temporary root that is removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class RunDirectories : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/logger_run_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        work_ = root_ + "/work";
        app_ = root_ + "/app/";
        ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(app_.c_str(), 0755), 0);
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::string W(const std::string& name) const { return work_ + "/" + name; }

    std::string root_, work_, app_;
};
