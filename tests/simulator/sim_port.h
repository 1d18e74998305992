// A port of the adapter stack opened on a software adapter, whose bus file is
// written per test process (so parallel runs don't share it) and always runs
// on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "onewire/adapter.h"
#include "onewire/port.h"
#include "simulator/sim.h"
#include "support/clock.h"
#include "support/errors.h"

class SimPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ErrorStackResetForTest();
        StackResetForTest();
        DriverRegisterBackend(&SimDriverOps);
    }
    void TearDown() override
    {
        if (port >= 0)
            PortClose(port);
        port = -1;
        StackResetForTest();
        ErrorStackResetForTest();
        ClockInstall(nullptr);
        if (!path_.empty())
            std::remove(path_.c_str());
    }
    // Writes the bus file and opens it; codes of the opening are dropped.
    void Open(const std::string& lines)
    {
        path_ = ::testing::TempDir() + "sim_port_bus_" + std::to_string(getpid()) + ".txt";
        std::ofstream(path_) << "clock virtual\n" << lines;
        port = PortOpenFirstFree(("sim:" + path_).c_str());
        ASSERT_GE(port, 0);
        adapter = SimLastOpened();
        ASSERT_NE(adapter, nullptr);
        ErrorStackResetForTest();
    }

    int port = -1;
    SimAdapter* adapter = nullptr;

private:
    std::string path_;
};
