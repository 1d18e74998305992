// The Win32 driver backend request by request: a recorder stands in for the
// Win32 calls, so the exact names, flags, control codes, records and buffer
// sizes that reach the kernel driver are checked. The recorder can also pass
// the requests on to the software adapter, which runs the whole stack through
// the Win32 shape.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>  // getpid: one bus file per test process

#include "onewire/adapter.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "backends/driver_win32.h"
#include "onewire/link.h"
#include "onewire/network.h"
#include "onewire/port.h"
#include "simulator/sim_driver.h"
#include "support/clock.h"
#include "support/errors.h"

namespace {

struct Call {
    std::string function;
    std::string name;
    uint32_t access = 0, share = 0, disposition = 0, flags = 0;
    bool extras_null = true;  // security attributes, template, overlapped structure
    void* handle = nullptr;
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t input_size = 0;
    bool output_null = true;
    uint32_t output_size = 0;
    uint32_t length = 0;
};

// What the stand-in answers, and what it saw.
struct Recorder {
    std::vector<Call> calls;
    void* open_handle = reinterpret_cast<void*>(0x1234);
    uint32_t last_error = 0;
    bool accept = true;
    std::vector<uint8_t> status;  // the packet the status request returns
    uint32_t status_claimed = 0;  // bytes-returned reported with it (0: its size)
    std::vector<uint8_t> incoming;  // bytes ReadFile delivers
    uint32_t write_taken = 0xFFFFFFFF;  // bytes WriteFile reports (all by default)
    // Forwarding to the software adapter instead of the answers above.
    std::string sim_name;
} R;

void* FakeCreateFile(const char* name, uint32_t access, uint32_t share, void* security, uint32_t disposition,
                     uint32_t flags, void* template_file)
{
    Call call;
    call.function = "CreateFileA";
    call.name = name;
    call.access = access;
    call.share = share;
    call.disposition = disposition;
    call.flags = flags;
    call.extras_null = security == nullptr && template_file == nullptr;
    R.calls.push_back(call);
    if (!R.sim_name.empty()) {
        void* context = SimDriverOps.open(R.sim_name.c_str());
        return context ? context : Win32InvalidHandle();
    }
    return R.open_handle;
}

int FakeDeviceIoControl(void* handle, uint32_t code, void* input, uint32_t input_size, void* output,
                        uint32_t output_size, uint32_t* returned, void* overlapped)
{
    Call call;
    call.function = "DeviceIoControl";
    call.handle = handle;
    call.code = code;
    if (input) call.input.assign(static_cast<uint8_t*>(input), static_cast<uint8_t*>(input) + input_size);
    call.input_size = input_size;
    call.output_null = output == nullptr;
    call.output_size = output_size;
    call.extras_null = overlapped == nullptr;
    R.calls.push_back(call);
    if (!R.sim_name.empty()) {
        if (code == VendorRequestControlCode) return SimDriverOps.vendor_request(handle, static_cast<uint8_t*>(input));
        return SimDriverOps.query_status(handle, static_cast<uint8_t*>(output), output_size, returned);
    }
    if (!R.accept) return 0;
    if (code == StatusControlCode) {
        std::memcpy(output, R.status.data(), std::min<size_t>(R.status.size(), output_size));
        *returned = R.status_claimed ? R.status_claimed : static_cast<uint32_t>(R.status.size());
    }
    return 1;
}

int FakeReadFile(void* handle, void* buffer, uint32_t length, uint32_t* done, void* overlapped)
{
    Call call;
    call.function = "ReadFile";
    call.handle = handle;
    call.length = length;
    call.extras_null = overlapped == nullptr;
    R.calls.push_back(call);
    if (!R.sim_name.empty()) return SimDriverOps.read(handle, static_cast<uint8_t*>(buffer), length, done);
    if (!R.accept) return 0;
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(R.incoming.size()));
    std::memcpy(buffer, R.incoming.data(), n);
    *done = n;
    return 1;
}

int FakeWriteFile(void* handle, const void* buffer, uint32_t length, uint32_t* done, void* overlapped)
{
    Call call;
    call.function = "WriteFile";
    call.handle = handle;
    call.input.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
    call.length = length;
    call.extras_null = overlapped == nullptr;
    R.calls.push_back(call);
    if (!R.sim_name.empty()) return SimDriverOps.write(handle, static_cast<const uint8_t*>(buffer), length, done);
    if (!R.accept) return 0;
    *done = std::min(length, R.write_taken);
    return 1;
}

int FakeCloseHandle(void* handle)
{
    Call call;
    call.function = "CloseHandle";
    call.handle = handle;
    R.calls.push_back(call);
    if (!R.sim_name.empty()) SimDriverOps.close(handle);
    return 1;
}

uint32_t FakeGetLastError() { return R.last_error; }

const Win32Api FakeApi = {FakeCreateFile, FakeDeviceIoControl, FakeReadFile, FakeWriteFile, FakeCloseHandle,
                          FakeGetLastError};

const char* const kDevice = "\\\\.\\DS2490-1";

class Win32BackendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        R = Recorder{};
        Win32ApiInstall(&FakeApi);
        DriverRegisterBackend(&Win32DriverOps);
    }
    void TearDown() override
    {
        if (handle != INVALID_DRIVER_HANDLE) DriverClose(handle);
        DriverUnregisterBackend(&Win32DriverOps);
        Win32ApiInstall(nullptr);
    }
    void Open()
    {
        handle = DriverOpen(kDevice);
        ASSERT_NE(handle, INVALID_DRIVER_HANDLE);
        R.calls.clear();
    }
    DriverHandle handle = INVALID_DRIVER_HANDLE;
};

TEST_F(Win32BackendTest, OpensAndClosesTheDriverWithTheDocumentedArguments)
{
    handle = DriverOpen(kDevice);
    ASSERT_NE(handle, INVALID_DRIVER_HANDLE);
    ASSERT_EQ(R.calls.size(), 1u);
    const Call& create = R.calls[0];
    EXPECT_EQ(create.function, "CreateFileA");
    EXPECT_EQ(create.name, kDevice);  // unchanged
    EXPECT_EQ(create.access, 0xC0000000u);  // GENERIC_READ | GENERIC_WRITE
    EXPECT_EQ(create.share, 1u);            // FILE_SHARE_READ
    EXPECT_EQ(create.disposition, 3u);      // OPEN_EXISTING
    EXPECT_EQ(create.flags, 0x80u);         // FILE_ATTRIBUTE_NORMAL, no overlapped I/O
    EXPECT_TRUE(create.extras_null);

    ASSERT_TRUE(DriverClose(handle));
    handle = INVALID_DRIVER_HANDLE;
    ASSERT_EQ(R.calls.size(), 2u);
    EXPECT_EQ(R.calls[1].function, "CloseHandle");
    EXPECT_EQ(R.calls[1].handle, R.open_handle);
}

TEST_F(Win32BackendTest, ClaimsOnlyTheDriversDeviceNames)
{
    struct Case {
        const char* name;
        int claimed;
    } cases[] = {{"\\\\.\\DS2490-1", 1}, {"\\\\.\\DS2490-12", 1}, {"\\\\.\\ds2490-3", 1}, {"sim:", 0}, {"COM1", 0}, {"\\\\.\\DS2480-1", 0},
                 {"", 0}};
    for (const Case& c : cases) EXPECT_EQ(Win32DriverOps.claims(c.name), c.claimed) << c.name;
    EXPECT_TRUE(R.calls.empty());  // claiming opens nothing
}

TEST_F(Win32BackendTest, RefusedOpenSaysWhyAndLeavesNothingOpen)
{
    struct Case {
        uint32_t error;
        const char* words;
    } cases[] = {{2, "no such device"}, {5, "access denied"}, {1167, "Windows error 1167"}};
    for (const Case& c : cases) {
        R = Recorder{};
        R.open_handle = Win32InvalidHandle();
        R.last_error = c.error;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(DriverOpen(kDevice), INVALID_DRIVER_HANDLE);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(kDevice), std::string::npos) << said;
        EXPECT_NE(said.find(c.words), std::string::npos) << said;
        ASSERT_EQ(R.calls.size(), 1u);  // no CloseHandle on the invalid handle
    }
}

TEST_F(Win32BackendTest, VendorRequestGoesAsNineByteInputWithoutOutput)
{
    Open();
    const uint8_t record[VENDOR_REQUEST_SIZE] = {0x40, 0x01, 0x1B, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00};
    uint32_t returned = 77;
    EXPECT_TRUE(DriverIoControl(handle, VendorRequestControlCode, record, 9, nullptr, 0, &returned));
    ASSERT_EQ(R.calls.size(), 1u);
    const Call& call = R.calls[0];
    EXPECT_EQ(call.function, "DeviceIoControl");
    EXPECT_EQ(call.handle, R.open_handle);
    EXPECT_EQ(call.code, 0x222000u);
    EXPECT_EQ(call.input, std::vector<uint8_t>(record, record + 9));
    EXPECT_EQ(call.input_size, 9u);
    EXPECT_TRUE(call.output_null);
    EXPECT_EQ(call.output_size, 0u);
    EXPECT_TRUE(call.extras_null);

    R.accept = false;
    EXPECT_FALSE(DriverIoControl(handle, VendorRequestControlCode, record, 9, nullptr, 0, &returned));
}

TEST_F(Win32BackendTest, StatusComesIntoA32ByteBufferWithItsLength)
{
    Open();
    struct Case {
        size_t packet;     // bytes the driver fills
        uint32_t claimed;  // bytes-returned it reports (0: the packet's size)
        uint32_t expected;
    } cases[] = {{16, 0, 16}, {18, 0, 18}, {32, 0, 32}, {0, 0, 0}, {32, 40, 32}};
    for (const Case& c : cases) {
        R.calls.clear();
        R.status.assign(c.packet, 0);
        for (size_t i = 0; i < c.packet; ++i) R.status[i] = static_cast<uint8_t>(0xA0 + i);
        R.status_claimed = c.claimed;
        uint8_t buffer[STATUS_BUFFER_SIZE];
        std::memset(buffer, 0xEE, sizeof buffer);
        uint32_t returned = 99;
        ASSERT_TRUE(DriverIoControl(handle, StatusControlCode, nullptr, 0, buffer, sizeof buffer, &returned));
        EXPECT_EQ(returned, c.expected) << c.packet;
        EXPECT_EQ(0, std::memcmp(buffer, R.status.data(), c.packet < c.expected ? c.packet : c.expected));
        ASSERT_EQ(R.calls.size(), 1u);
        const Call& call = R.calls[0];
        EXPECT_EQ(call.code, 0x222004u);
        EXPECT_TRUE(call.input.empty());
        EXPECT_EQ(call.input_size, 0u);
        EXPECT_FALSE(call.output_null);
        EXPECT_EQ(call.output_size, 32u);
        EXPECT_TRUE(call.extras_null);
    }
    R.accept = false;
    uint8_t buffer[STATUS_BUFFER_SIZE];
    uint32_t returned = 99;
    EXPECT_FALSE(DriverIoControl(handle, StatusControlCode, nullptr, 0, buffer, sizeof buffer, &returned));
}

TEST_F(Win32BackendTest, BulkPipesAreReadFileAndWriteFileOnTheSameHandle)
{
    Open();
    R.incoming = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t buffer[16] = {};
    uint32_t done = 0;
    ASSERT_TRUE(DriverRead(handle, buffer, 16, &done));
    EXPECT_EQ(done, 8u);  // fewer than asked is no failure
    EXPECT_EQ(0, std::memcmp(buffer, R.incoming.data(), 8));

    const uint8_t out[3] = {0xCC, 0x44, 0xBE};
    R.write_taken = 2;
    ASSERT_TRUE(DriverWrite(handle, out, 3, &done));
    EXPECT_EQ(done, 2u);

    ASSERT_EQ(R.calls.size(), 2u);
    EXPECT_EQ(R.calls[0].function, "ReadFile");
    EXPECT_EQ(R.calls[0].length, 16u);
    EXPECT_EQ(R.calls[1].function, "WriteFile");
    EXPECT_EQ(R.calls[1].input, std::vector<uint8_t>(out, out + 3));
    for (const Call& call : R.calls) {
        EXPECT_EQ(call.handle, R.open_handle);
        EXPECT_TRUE(call.extras_null);  // synchronous, no overlapped structure
    }

    R.accept = false;
    done = 55;
    EXPECT_FALSE(DriverRead(handle, buffer, 16, &done));
    EXPECT_FALSE(DriverWrite(handle, out, 3, &done));
    EXPECT_EQ(done, 55u);
}

// The whole stack through the Win32 calls, with the software adapter behind them.
TEST_F(Win32BackendTest, StackRunsThroughTheWin32Calls)
{
    const std::string path = ::testing::TempDir() + "win32_bus_" + std::to_string(getpid()) + ".txt";
    std::ofstream(path) << "clock virtual\nsensor 10000000000001 21.5\nsensor 10000000000002 -3\n";
    R.sim_name = "sim:" + path;
    ErrorStackResetForTest();
    StackResetForTest();

    const int port = PortOpenFirstFree(kDevice);
    ASSERT_EQ(port, 0);
    ASSERT_FALSE(R.calls.empty());
    EXPECT_EQ(R.calls[0].function, "CreateFileA");
    // The first request is the adapter's reset: control request 0, value 0.
    ASSERT_GE(R.calls.size(), 2u);
    EXPECT_EQ(R.calls[1].input, (std::vector<uint8_t>{0x40, 0, 0, 0, 0, 0, 0, 0, 0}));

    int found = 0;
    NetTargetFamily(port, 0x10);
    while (NetSearchNext(port, 1, 0) && found < 10) {
        ++found;
        uint8_t block[10] = {0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        SerialNumber serial;
        NetSerialCopy(port, serial.data(), 1);
        ASSERT_TRUE(NetSelect(port));
        ASSERT_TRUE(BusBlockExchange(port, 0, block, 10));
        EXPECT_EQ(Crc8Of(block + 1, 9), 0);
    }
    EXPECT_EQ(found, 2);
    void* const opened = R.calls[1].handle;
    EXPECT_TRUE(PortClose(port));
    EXPECT_EQ(R.calls.back().function, "CloseHandle");
    EXPECT_EQ(R.calls.back().handle, opened);

    // Every request had one of the two shapes the driver accepts, on the one handle.
    for (const Call& call : R.calls) {
        if (call.function == "CreateFileA") continue;
        EXPECT_EQ(call.handle, opened) << call.function;
        if (call.function != "DeviceIoControl") continue;
        if (call.code == 0x222000u) {
            EXPECT_EQ(call.input_size, 9u);
            EXPECT_EQ(call.input[0], 0x40);
            EXPECT_TRUE(call.output_null && call.output_size == 0);
        } else {
            EXPECT_EQ(call.code, 0x222004u);
            EXPECT_EQ(call.input_size, 0u);
            EXPECT_EQ(call.output_size, 32u);
        }
    }
    StackResetForTest();
    ErrorStackResetForTest();
    ClockInstall(nullptr);
}

}  // namespace
