// Common set-up of the adapter stack's scripted tests: a fresh stack, error
// stack and script, and one port opened on the scripted driver.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "onewire/adapter.h"
#include "onewire/port.h"
#include "support/errors.h"
#include "tests/onewire/script_driver.h"

namespace script {

// The traffic of a successful AdapterReinitialize and of a normal-speed BusReset.
inline std::vector<std::string> Prepare()
{
    return {Vendor(0, 0x0000, 0), Vendor(1, 0x0013, 0), Vendor(1, 0x001B, 0x40), Vendor(2, 0x0000, 1), "S"};
}
inline std::vector<std::string> Reset()
{
    return {Vendor(1, 0x084B, 1), "P5", "S"};
}
inline std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The codes on the error stack in the order they were pushed; empties the stack.
inline std::vector<int> Codes()
{
    std::vector<int> codes;
    while (ErrorCodePending())
        codes.insert(codes.begin(), PopErrorCode());
    ErrorStackResetForTest();
    return codes;
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Install();
        ErrorStackResetForTest();
        StackResetForTest();
    }
    void TearDown() override
    {
        Remove();
        StackResetForTest();
        ErrorStackResetForTest();
    }
    // Opens port 0 and forgets the opening's traffic and codes.
    int Open()
    {
        int port = PortOpenFirstFree("script:adapter");
        Log().clear();
        ErrorStackResetForTest();
        return port;
    }
};

// A StackTest with port 0 already open.
class OpenPortTest : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        port = Open();
    }
    int port = -1;
};

}  // namespace script
