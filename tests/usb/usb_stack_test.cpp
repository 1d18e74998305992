// The whole adapter stack over the libusb backend, with the software DS2490
// answering behind the emulated USB device: what the logger does on a real adapter.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "onewire/adapter.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/driver.h"
#include "backends/driver_libusb.h"
#include "onewire/link.h"
#include "onewire/network.h"
#include "onewire/port.h"
#include "simulator/sim_driver.h"
#include "support/errors.h"
#include "tests/usb/usb_emulator.h"

namespace {

constexpr const char* Adapter1 = "\\\\.\\DS2490-1";

// Sensors of the bus file, with their CRC bytes.
const std::vector<SerialNumber> Sensors = {
    {0x10, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0},
    {0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0},
    {0x10, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0},
};

SerialNumber WithCrc(SerialNumber serial)
{
    serial[7] = Crc8Of(serial.data(), 7);
    return serial;
}

class UsbStackTest : public testing::Test {
protected:
    void SetUp() override
    {
        emulator_ = std::make_unique<UsbEmulator>();
        if (!UsbEmulator::InMockEnvironment())
            GTEST_SKIP() << "umockdev's preload library is not active, the USB device cannot be emulated";
        ErrorStackResetForTest();
        StackResetForTest();
        DriverRegisterBackend(&UsbDriverOps);

        char path[] = "/tmp/usb-bus-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        bus_file_ = path;
        std::string text = "# three sensors at their power-on reading, timed like a real adapter\ntiming on\n";
        for (const SerialNumber& sensor : Sensors)
            text += "sensor " + HexText(WithCrc(sensor).data(), 8) + " 21.5\n";
        ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    }

    void TearDown() override
    {
        if (port_ >= 0)
            PortClose(port_);
        emulator_.reset();
        if (!bus_file_.empty())
            unlink(bus_file_.c_str());
    }

    int PlugSimulatedAdapter()
    {
        return emulator_->AddAdapter(&SimDriverOps, "sim:" + bus_file_);
    }

    // Selects the sensor and reads its scratchpad; true when the CRC8 holds.
    bool ReadScratchpad(const SerialNumber& sensor, uint8_t scratchpad[9])
    {
        SerialNumber serial = WithCrc(sensor);
        NetSerialCopy(port_, serial.data(), 0);
        if (NetSelect(port_) != 1)
            return false;
        uint8_t block[10] = {0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (BusBlockExchange(port_, 0, block, 10) != 1)
            return false;
        std::copy(block + 1, block + 10, scratchpad);
        // COUNT_PER_C is 0x10 on a DS1820: an all-zero block passes the CRC but not this.
        return Crc8Of(scratchpad, 9) == 0 && scratchpad[7] == 0x10;
    }

    std::unique_ptr<UsbEmulator> emulator_;
    std::string bus_file_;
    int port_ = -1;
};

TEST_F(UsbStackTest, OpeningWithoutAnAdapterRaisesOnlyError23)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, PortOpenFirstFree(Adapter1));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("no DS2490 adapter is connected")) << errors;
    EXPECT_EQ(23, PopErrorCode());
    EXPECT_EQ(0, ErrorCodePending());
}

TEST_F(UsbStackTest, SelectsASensorAndReadsItsScratchpad)
{
    ASSERT_GE(PlugSimulatedAdapter(), 0) << "the software adapter does not open";
    port_ = PortOpenFirstFree(Adapter1);
    ASSERT_GE(port_, 0);
    uint8_t scratchpad[9];
    ASSERT_TRUE(ReadScratchpad(Sensors[1], scratchpad));
    // Power-on reading, 85 degrees: LSB 0xAA, MSB 0x00, COUNT_PER_C 0x10.
    EXPECT_EQ(0xAA, scratchpad[0]);
    EXPECT_EQ(0x00, scratchpad[1]);
    EXPECT_EQ(0x10, scratchpad[7]);
}

TEST_F(UsbStackTest, ListsEverySensorOfTheFamily)
{
    ASSERT_GE(PlugSimulatedAdapter(), 0) << "the software adapter does not open";
    port_ = PortOpenFirstFree(Adapter1);
    ASSERT_GE(port_, 0);
    std::vector<SerialNumber> found;
    NetTargetFamily(port_, 0x10);
    while (NetSearchNext(port_, 1, 0) == 1 && found.size() <= Sensors.size()) {
        SerialNumber serial{};
        NetSerialCopy(port_, serial.data(), 1);
        found.push_back(serial);
    }
    std::vector<SerialNumber> expected;
    for (const SerialNumber& sensor : Sensors)
        expected.push_back(WithCrc(sensor));
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, found);
}

TEST_F(UsbStackTest, CarriesOnAfterTheAdapterIsUnpluggedAndPluggedBackIn)
{
    const int adapter = PlugSimulatedAdapter();
    ASSERT_GE(adapter, 0) << "the software adapter does not open";
    port_ = PortOpenFirstFree(Adapter1);
    ASSERT_GE(port_, 0);
    uint8_t scratchpad[9];
    ASSERT_TRUE(ReadScratchpad(Sensors[0], scratchpad));

    testing::internal::CaptureStderr();
    emulator_->Unplug(adapter);
    ErrorStackResetForTest();
    EXPECT_FALSE(ReadScratchpad(Sensors[0], scratchpad));
    EXPECT_EQ(0, AdapterReinitialize(port_));
    EXPECT_EQ(24, PopErrorCode());

    emulator_->Replug(adapter);
    EXPECT_EQ(1, AdapterReinitialize(port_));
    EXPECT_TRUE(ReadScratchpad(Sensors[0], scratchpad));
    EXPECT_TRUE(ReadScratchpad(Sensors[2], scratchpad));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("connected again")) << errors;
}

}  // namespace
