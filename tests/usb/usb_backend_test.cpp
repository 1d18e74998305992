// The libusb backend's own paths against the emulated adapter, with a small
// scripted stand-in device behind the USB emulation.
#include <gtest/gtest.h>

#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/driver.h"
#include "backends/driver_libusb.h"
#include "tests/usb/usb_emulator.h"

namespace {

// A scripted device: records vendor requests, answers a fixed status packet,
// and loops bulk data written back to the reader.
struct ScriptedDevice {
    std::vector<std::array<uint8_t, VENDOR_REQUEST_SIZE>> requests;
    std::vector<uint8_t> status = std::vector<uint8_t>(16, 0);
    std::deque<uint8_t> data;
    bool refuse_vendor = false;
};

ScriptedDevice Scripted[2];

int ScriptedClaims(const char* name) { return std::strncmp(name, "scripted:", 9) == 0; }
void* ScriptedOpen(const char* name) { return &Scripted[name[9] == 'B' ? 1 : 0]; }
int ScriptedVendor(void* context, const uint8_t* record)
{
    auto* device = static_cast<ScriptedDevice*>(context);
    std::array<uint8_t, VENDOR_REQUEST_SIZE> copy{};
    std::memcpy(copy.data(), record, copy.size());
    device->requests.push_back(copy);
    return device->refuse_vendor ? 0 : 1;
}
int ScriptedStatus(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    auto* device = static_cast<ScriptedDevice*>(context);
    const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(device->status.size()));
    std::memcpy(buffer, device->status.data(), n);
    *returned = n;
    return 1;
}
int ScriptedRead(void* context, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    auto* device = static_cast<ScriptedDevice*>(context);
    uint32_t n = 0;
    while (n < length && !device->data.empty()) {
        buffer[n++] = device->data.front();
        device->data.pop_front();
    }
    *done = n;
    return 1;
}
int ScriptedWrite(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    auto* device = static_cast<ScriptedDevice*>(context);
    device->data.insert(device->data.end(), buffer, buffer + length);
    *done = length;
    return 1;
}
void ScriptedClose(void*) {}

const DriverOps ScriptedOps = {"scripted", ScriptedClaims, ScriptedOpen, ScriptedVendor,
                               ScriptedStatus, ScriptedRead, ScriptedWrite, ScriptedClose, DriverDescribeNothing};

constexpr const char* Adapter1 = "\\\\.\\DS2490-1";
constexpr const char* Adapter2 = "\\\\.\\DS2490-2";

int SendRequest(DriverHandle handle, uint8_t kind, uint16_t value, uint16_t index)
{
    const uint8_t record[VENDOR_REQUEST_SIZE] = {0x40, kind, static_cast<uint8_t>(value & 0xFF),
                                                 static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(index & 0xFF),
                                                 static_cast<uint8_t>(index >> 8), 0, 0, 0};
    uint32_t returned = 0;
    return DriverIoControl(handle, VendorRequestControlCode, record, VENDOR_REQUEST_SIZE, nullptr, 0, &returned);
}

class UsbBackendTest : public testing::Test {
protected:
    void SetUp() override
    {
        FreshEmulator();
        if (!UsbEmulator::InMockEnvironment())
            GTEST_SKIP() << "umockdev's preload library is not active, the USB device cannot be emulated";
        Scripted[0] = ScriptedDevice{};
        Scripted[1] = ScriptedDevice{};
        DriverRegisterBackend(&UsbDriverOps);
    }

    void TearDown() override
    {
        if (handle_ > 0)
            DriverClose(handle_);
        emulator_.reset();
    }

    // A new, empty testbed. The old one goes first: two at once confuse umockdev.
    void FreshEmulator()
    {
        emulator_.reset();
        emulator_ = std::make_unique<UsbEmulator>();
    }

    int AddScripted(char which = 'A', int bus = 1, int address = 2,
                    const std::vector<AltSettingSpec>& settings = Ds2490AltSettings())
    {
        return emulator_->AddAdapter(&ScriptedOps, std::string("scripted:") + which, bus, address, settings);
    }

    // Opens the name and returns what the backend wrote to standard error.
    std::string OpenCapturingErrors(const char* name)
    {
        testing::internal::CaptureStderr();
        handle_ = DriverOpen(name);
        return testing::internal::GetCapturedStderr();
    }

    std::unique_ptr<UsbEmulator> emulator_;
    DriverHandle handle_ = INVALID_DRIVER_HANDLE;
};

TEST_F(UsbBackendTest, ClaimsOnlyAdapterNames)
{
    EXPECT_EQ(1, UsbDriverOps.claims("\\\\.\\DS2490-1"));
    EXPECT_EQ(1, UsbDriverOps.claims("\\\\.\\ds2490-12"));
    EXPECT_EQ(1, UsbDriverOps.claims("\\\\.\\DS2490-x"));  // claimed, so the open explains what is wrong
    EXPECT_EQ(0, UsbDriverOps.claims("sim:"));
    EXPECT_EQ(0, UsbDriverOps.claims("\\\\.\\COM1"));
    EXPECT_EQ(0, UsbDriverOps.claims("DS2490-1"));
}

TEST_F(UsbBackendTest, CountsAdaptersInBusAndAddressOrder)
{
    AddScripted('B', 2, 3);
    AddScripted('A', 1, 7);
    handle_ = DriverOpen(Adapter1);
    ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
    ASSERT_EQ(1, SendRequest(handle_, 1, 0x0053, 0x42));
    EXPECT_EQ(1u, Scripted[0].requests.size());
    EXPECT_EQ(0u, Scripted[1].requests.size());

    const DriverHandle second = DriverOpen(Adapter2);
    ASSERT_NE(INVALID_DRIVER_HANDLE, second);
    ASSERT_EQ(1, SendRequest(second, 1, 0x0053, 0x42));
    EXPECT_EQ(1u, Scripted[1].requests.size());
    DriverClose(second);
}

struct OpenFailureCase {
    const char* label;
    const char* name;
    std::function<void(UsbEmulator&, int)> arrange;  // nullptr: no adapter plugged in
    const char* expected;
};

TEST_F(UsbBackendTest, FailedOpensSayWhyInOneSentence)
{
    const std::vector<OpenFailureCase> cases = {
        {"no adapter", Adapter1, nullptr, "no DS2490 adapter is connected"},
        {"number too high", Adapter2, [](UsbEmulator&, int) {}, "there is no such adapter, only 1"},
        {"bad number", "\\\\.\\DS2490-0", [](UsbEmulator&, int) {}, "N a number from 1"},
        {"busy", Adapter1, [](UsbEmulator& e, int a) { e.SetClaimBusy(a, true); },
         "busy, held by another program"},
        {"kernel driver stays", Adapter1,
         [](UsbEmulator& e, int a) {
             e.SetKernelDriverBound(a, true);
             e.SetRefuseDetach(a, true);
         },
         "kernel driver holding it could not be detached"},
    };
    for (const OpenFailureCase& c : cases) {
        SCOPED_TRACE(c.label);
        FreshEmulator();
        if (c.arrange)
            c.arrange(*emulator_, AddScripted());
        const std::string errors = OpenCapturingErrors(c.name);
        EXPECT_EQ(INVALID_DRIVER_HANDLE, handle_);
        EXPECT_NE(std::string::npos, errors.find(c.expected)) << errors;
        EXPECT_EQ(1, std::count(errors.begin(), errors.end(), '\n')) << errors;
        handle_ = INVALID_DRIVER_HANDLE;
    }
}

int MakeReadable(const char* path, const struct stat* info, int type, struct FTW*)
{
    if (type == FTW_D || type == FTW_DP)
        chmod(path, (info->st_mode & 07777) | 0777);
    else if (type == FTW_F)
        chmod(path, (info->st_mode & 07777) | (S_ISSOCK(info->st_mode) ? 0666 : 0444));
    return 0;
}

TEST_F(UsbBackendTest, PermissionDeniedNamesTheUdevRule)
{
    const int adapter = AddScripted();
    const std::string node = emulator_->DeviceNodePath(adapter);
    if (geteuid() != 0) {
        ASSERT_EQ(0, chmod(node.c_str(), 0));
        const std::string errors = OpenCapturingErrors(Adapter1);
        EXPECT_EQ(INVALID_DRIVER_HANDLE, handle_);
        EXPECT_NE(std::string::npos, errors.find("permission denied")) << errors;
        EXPECT_NE(std::string::npos, errors.find(DS2490_UDEV_RULE)) << errors;
        return;
    }
    // As root every node is accessible: open as an unprivileged user in a child,
    // with the emulated tree open to it (a throw-away directory) but the device
    // node root's alone (0600).
    const std::string root = node.substr(0, node.find("/dev/"));
    ASSERT_EQ(0, nftw(root.c_str(), MakeReadable, 16, FTW_PHYS));
    ASSERT_EQ(0, chmod(node.c_str(), 0600));
    char log[] = "/tmp/usb-permission-XXXXXX";
    const int log_fd = mkstemp(log);
    ASSERT_GE(log_fd, 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(log_fd, STDERR_FILENO);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        _exit(DriverOpen(Adapter1) == INVALID_DRIVER_HANDLE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    std::string errors(4096, '\0');
    const ssize_t length = pread(log_fd, errors.data(), errors.size(), 0);
    close(log_fd);
    unlink(log);
    errors.resize(length > 0 ? static_cast<size_t>(length) : 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot switch to an unprivileged user here, so access checks cannot be tried";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the open should have failed";
    EXPECT_NE(std::string::npos, errors.find("permission denied")) << errors;
    EXPECT_NE(std::string::npos, errors.find(DS2490_UDEV_RULE)) << errors;
}

struct AltSettingCase {
    const char* label;
    std::vector<AltSettingSpec> settings;
    int expected;
};

TEST_F(UsbBackendTest, ChoosesTheOneMillisecondSixtyFourByteSettingAndDescribesIt)
{
    const std::vector<AltSettingCase> cases = {
        {"adapter order", Ds2490AltSettings(), 3},
        {"reversed", {{1, 64}, {10, 64}, {1, 16}, {10, 16}}, 0},
        {"mixed", {{10, 16}, {1, 64}, {10, 64}, {1, 16}}, 1},
        {"no 1 ms setting", {{10, 16}, {10, 64}}, 1},
    };
    for (const AltSettingCase& c : cases) {
        SCOPED_TRACE(c.label);
        FreshEmulator();
        const int adapter = AddScripted('A', 1, 2, c.settings);
        handle_ = DriverOpen(Adapter1);
        ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
        EXPECT_EQ(std::vector<int>{c.expected}, emulator_->AltSettingsSet(adapter));
        EXPECT_TRUE(emulator_->Claimed(adapter));
        DriverDescription d;
        ASSERT_EQ(1, DriverDescribe(handle_, &d));
        const AltSettingSpec& chosen = c.settings[static_cast<size_t>(c.expected)];
        EXPECT_EQ((std::vector<int>{1, 2, c.expected, chosen.interval_ms, 32, chosen.bulk_packet, chosen.bulk_packet, 0}),
                  (std::vector<int>{d.usb_bus, d.usb_address, d.alt_setting, d.polling_ms, d.status_packet,
                                    d.bulk_out_packet, d.bulk_in_packet, d.kernel_driver_detached}));
        DriverClose(handle_);
        EXPECT_FALSE(emulator_->Claimed(adapter));
        handle_ = INVALID_DRIVER_HANDLE;
    }
}

TEST_F(UsbBackendTest, DetachesTheKernelDriverAndGivesItBackOnClose)
{
    const int adapter = AddScripted();
    emulator_->SetKernelDriverBound(adapter, true);
    handle_ = DriverOpen(Adapter1);
    ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
    EXPECT_FALSE(emulator_->KernelDriverBound(adapter));
    EXPECT_TRUE(emulator_->Claimed(adapter));
    DriverDescription description;
    ASSERT_EQ(1, DriverDescribe(handle_, &description));
    EXPECT_EQ(1, description.kernel_driver_detached);
    DriverClose(handle_);
    handle_ = INVALID_DRIVER_HANDLE;
    EXPECT_TRUE(emulator_->KernelDriverBound(adapter));
}

TEST_F(UsbBackendTest, VendorRequestsBecomeControlTransfers)
{
    const int adapter = AddScripted();
    handle_ = DriverOpen(Adapter1);
    ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
    const std::vector<std::array<uint8_t, VENDOR_REQUEST_SIZE>> records = {
        {0x40, 0, 0x00, 0x00, 0x00, 0x00, 0, 0, 0},  // adapter reset
        {0x40, 1, 0x4B, 0x08, 0x01, 0x00, 0, 0, 0},  // 1-Wire reset
        {0x40, 1, 0xFD, 0x48, 0xF0, 0x01, 0, 0, 0},  // search pass
        {0x40, 2, 0x02, 0x00, 0x02, 0x00, 0, 0, 0},  // speed
    };
    for (const auto& record : records) {
        uint32_t returned = 7;
        EXPECT_EQ(1, DriverIoControl(handle_, VendorRequestControlCode, record.data(), VENDOR_REQUEST_SIZE, nullptr,
                                     0, &returned));
    }
    ASSERT_EQ(records, Scripted[0].requests);
    const auto setups = emulator_->ControlRequests(adapter);
    ASSERT_EQ(records.size(), setups.size());
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(std::vector<uint8_t>(records[i].begin(), records[i].begin() + 8), setups[i]);

    // A refused request is a failure, and the adapter stays usable.
    Scripted[0].refuse_vendor = true;
    EXPECT_EQ(0, SendRequest(handle_, 1, 0x0053, 0));
    Scripted[0].refuse_vendor = false;
    EXPECT_EQ(1, SendRequest(handle_, 1, 0x0053, 0));

    // Records that would need a data stage are refused without reaching the device.
    const size_t seen = Scripted[0].requests.size();
    const uint8_t with_data[VENDOR_REQUEST_SIZE] = {0x40, 1, 0x53, 0, 0, 0, 4, 0, 0};
    const uint8_t device_to_host[VENDOR_REQUEST_SIZE] = {0xC0, 1, 0x53, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, DriverIoControl(handle_, VendorRequestControlCode, with_data, VENDOR_REQUEST_SIZE, nullptr, 0,
                                 nullptr));
    EXPECT_EQ(0, DriverIoControl(handle_, VendorRequestControlCode, device_to_host, VENDOR_REQUEST_SIZE, nullptr, 0,
                                 nullptr));
    EXPECT_EQ(seen, Scripted[0].requests.size());
}

TEST_F(UsbBackendTest, StatusPacketLengthIsWhatTheInterruptReadReturns)
{
    AddScripted();
    handle_ = DriverOpen(Adapter1);
    ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
    for (size_t length : {16u, 19u, 32u}) {
        SCOPED_TRACE(length);
        Scripted[0].status.assign(length, 0);
        for (size_t i = 0; i < length; ++i)
            Scripted[0].status[i] = static_cast<uint8_t>(0xA0 + i);
        uint8_t buffer[STATUS_BUFFER_SIZE] = {};
        uint32_t returned = 0;
        ASSERT_EQ(1, DriverIoControl(handle_, StatusControlCode, nullptr, 0, buffer, sizeof buffer, &returned));
        ASSERT_EQ(length, returned);
        EXPECT_EQ(0, std::memcmp(buffer, Scripted[0].status.data(), length));
    }
}

TEST_F(UsbBackendTest, BulkDataTravelsBothWaysAndShortReadsReturnWhatIsThere)
{
    AddScripted();
    handle_ = DriverOpen(Adapter1);
    ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
    std::vector<uint8_t> sent(100);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7 + 1);
    uint32_t done = 0;
    ASSERT_EQ(1, DriverWrite(handle_, sent.data(), static_cast<uint32_t>(sent.size()), &done));
    ASSERT_EQ(sent.size(), done);

    // One byte asked while more is waiting, then the rest in whatever pieces come.
    std::vector<uint8_t> received;
    uint8_t buffer[256];
    ASSERT_EQ(1, DriverRead(handle_, buffer, 1, &done));
    ASSERT_EQ(1u, done);
    received.push_back(buffer[0]);
    while (received.size() < sent.size()) {
        ASSERT_EQ(1, DriverRead(handle_, buffer, sizeof buffer, &done));
        ASSERT_GT(done, 0u);
        received.insert(received.end(), buffer, buffer + done);
    }
    EXPECT_EQ(sent, received);

    // Nothing waiting: the read ends after its time-out with no bytes, not as a failure.
    ASSERT_EQ(1, DriverRead(handle_, buffer, 8, &done));
    EXPECT_EQ(0u, done);
}

TEST_F(UsbBackendTest, UnpluggedAdapterRefusesRequestsAndIsReopenedWhenBack)
{
    const int adapter = AddScripted();
    handle_ = DriverOpen(Adapter1);
    ASSERT_NE(INVALID_DRIVER_HANDLE, handle_);
    ASSERT_EQ(1, SendRequest(handle_, 0, 0, 0));

    testing::internal::CaptureStderr();
    emulator_->Unplug(adapter);
    uint8_t status[STATUS_BUFFER_SIZE];
    uint32_t returned = 0, done = 0;
    EXPECT_EQ(0, SendRequest(handle_, 0, 0, 0));
    EXPECT_EQ(0, DriverIoControl(handle_, StatusControlCode, nullptr, 0, status, sizeof status, &returned));
    EXPECT_EQ(0, DriverWrite(handle_, status, 1, &done));
    EXPECT_EQ(0, DriverRead(handle_, status, 1, &done));

    // Plugged in again, the adapter is first claimed by the kernel's driver.
    emulator_->Replug(adapter);
    emulator_->SetKernelDriverBound(adapter, true);
    EXPECT_EQ(1, SendRequest(handle_, 0, 0, 0));
    EXPECT_EQ(1, DriverIoControl(handle_, StatusControlCode, nullptr, 0, status, sizeof status, &returned));
    EXPECT_FALSE(emulator_->KernelDriverBound(adapter));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("disconnected")) << errors;
    EXPECT_NE(std::string::npos, errors.find("connected again")) << errors;
    EXPECT_EQ(2, std::count(errors.begin(), errors.end(), '\n')) << errors;
    // Reopened: the interface claimed and the setting chosen again.
    EXPECT_TRUE(emulator_->Claimed(adapter));
    EXPECT_EQ((std::vector<int>{3, 3}), emulator_->AltSettingsSet(adapter));
}

}  // namespace
