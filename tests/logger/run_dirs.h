// A working directory and a program directory ("app/") for one logger run,
// under a fresh temporary root that is removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/stat.h>

#include "tests/common/scratch_dir.h"

class RunDirectories : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = std::make_unique<ScratchDir>("logger_run");
        root_ = scratch_->path();
        ASSERT_FALSE(root_.empty());
        work_ = root_ + "/work";
        app_ = root_ + "/app/";
        ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(app_.c_str(), 0755), 0);
    }
    void TearDown() override { scratch_.reset(); }

    std::string W(const std::string& name) const { return work_ + "/" + name; }

    std::unique_ptr<ScratchDir> scratch_;
    std::string root_, work_, app_;
};
