#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "onewire/crc.h"
#include "simulator/sim.h"

namespace {

TEST(BusFile, GoodFileSetsEverything)
{
    const char* text =
        "# a comment line\n"
        "timing on   # trailing comment\n"
        "clock virtual\n"
        "program-voltage on\n"
        "seed 42\n"
        "\n"
        "sensor 10A1B2C3D4E5F6 25.0625\r\n"
        "sensor 10112233445566 18..22/600 parasite th=30 tl=-10 conversion-ms=750\n"
        "\tdevice 05FFEEDDCCBBAA\n"
        "sensor 3BA1B2C3D4E5F6 -10.125 resolution=9 parasite\n"
        "fault crc 10A1B2C3D4E5F6 conversions=2-4\n"
        "fault leave 05FFEEDDCCBBAA seconds=1.5-3\n"
        "fault interrupt conversion=3\n"
        "fault refuse-read p=0.25\n"
        "fault unplug seconds=10\n";
    SimBusSpec bus;
    std::string error;
    ASSERT_TRUE(SimParseBusText(text, "bus.txt", &bus, &error)) << error;
    EXPECT_TRUE(bus.timing);
    EXPECT_TRUE(bus.virtual_clock);
    EXPECT_TRUE(bus.program_voltage);
    EXPECT_EQ(bus.seed, 42u);
    ASSERT_EQ(bus.devices.size(), 4u);
    const SimDeviceSpec& first = bus.devices[0];
    EXPECT_TRUE(first.sensor);
    EXPECT_EQ(first.temp_low, 25.0625);
    EXPECT_EQ(first.period_s, 0);
    EXPECT_EQ(first.serial[7], Crc8Of(first.serial.data(), 7));
    const SimDeviceSpec& second = bus.devices[1];
    EXPECT_TRUE(second.parasite);
    EXPECT_EQ(second.temp_low, 18);
    EXPECT_EQ(second.temp_high, 22);
    EXPECT_EQ(second.period_s, 600);
    EXPECT_EQ(second.th, 30);
    EXPECT_EQ(second.tl, -10);
    EXPECT_EQ(second.conversion_ms, 750u);
    EXPECT_FALSE(bus.devices[2].sensor);
    EXPECT_TRUE(bus.devices[3].sensor);
    EXPECT_EQ(bus.devices[3].resolution, 9);
    EXPECT_EQ(first.resolution, 12);
    ASSERT_EQ(bus.faults.size(), 5u);
    EXPECT_EQ(bus.faults[0].kind, SimFaultKind::Crc);
    EXPECT_EQ(bus.faults[0].window.kind, SimWindowKind::Conversions);
    EXPECT_EQ(bus.faults[0].window.first, 2u);
    EXPECT_EQ(bus.faults[0].window.last, 4u);
    EXPECT_EQ(bus.faults[1].window.first, 1500000u);
    EXPECT_EQ(bus.faults[1].window.last, 3000000u);
    EXPECT_EQ(bus.faults[2].window.first, 3u);
    EXPECT_EQ(bus.faults[3].window.probability, 0.25);
    EXPECT_EQ(bus.faults[4].window.last, UINT64_MAX);
}

TEST(BusFile, VirtualClockTakesAStartAndALaterClockLineOverridesIt)
{
    SimBusSpec bus;
    std::string error;
    ASSERT_TRUE(SimParseBusText("clock virtual 1700000000\n", "bus.txt", &bus, &error)) << error;
    EXPECT_TRUE(bus.virtual_clock);
    EXPECT_EQ(bus.virtual_start, 1700000000u);
    ASSERT_TRUE(SimParseBusText("clock virtual 1700000000\nclock virtual\n", "bus.txt", &bus, &error)) << error;
    EXPECT_EQ(bus.virtual_start, 0u);
}

TEST(BusFile, ClockJumpsTakeAMomentAndSignedSeconds)
{
    SimBusSpec bus;
    std::string error;
    ASSERT_TRUE(SimParseBusText("clock jump conversion=3 -86400\nclock jump seconds=2.5 +2592000\n"
                                "clock jump conversion=9 32503680000\nclock virtual 1700000000\n"
                                "clock jump conversion=4 -3.007\nclock jump conversion=5 +0.5\n"
                                "clock jump conversion=6 -32503680000.000\n",
                                "bus.txt", &bus, &error))
        << error;
    ASSERT_EQ(bus.clock_jumps.size(), 6u);
    EXPECT_EQ(bus.virtual_start, 1700000000u) << "a jump line leaves the start alone";
    EXPECT_EQ(bus.clock_jumps[0].when.kind, SimWindowKind::Conversions);
    EXPECT_EQ(bus.clock_jumps[0].when.first, 3u);
    EXPECT_EQ(bus.clock_jumps[0].when.last, 3u);
    EXPECT_EQ(bus.clock_jumps[0].milliseconds, -86400000);
    EXPECT_EQ(bus.clock_jumps[0].line, 1);
    EXPECT_EQ(bus.clock_jumps[1].when.kind, SimWindowKind::Seconds);
    EXPECT_EQ(bus.clock_jumps[1].when.first, 2500000u);
    EXPECT_EQ(bus.clock_jumps[1].when.last, UINT64_MAX);
    EXPECT_EQ(bus.clock_jumps[1].milliseconds, 2592000000);
    EXPECT_EQ(bus.clock_jumps[2].milliseconds, 32503680000000);
    EXPECT_EQ(bus.clock_jumps[3].milliseconds, -3007);
    EXPECT_EQ(bus.clock_jumps[4].milliseconds, 500);
    EXPECT_EQ(bus.clock_jumps[5].milliseconds, -32503680000000);
}

TEST(BusFile, SerialWithSixteenDigitsIsTakenAsWritten)
{
    SimSerial serial{};
    std::string error;
    ASSERT_TRUE(SimParseSerial("10a1b2c3d4e5f600", &serial, &error));
    EXPECT_EQ(serial[7], 0x00);
    EXPECT_EQ(SimSerialText(serial), "10A1B2C3D4E5F600");
}

TEST(BusFile, BadLinesNameFileAndLine)
{
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"timing on\n\nsensor 10ZZ 21\n", "bus.txt:3: bad serial \"10ZZ\": expected 14 or 16 hex digits"},
        {"frobnicate\n", "bus.txt:1: unknown directive \"frobnicate\""},
        {"timing maybe\n", "bus.txt:1: \"timing\" takes on or off"},
        {"clock virtual 0\n", "bus.txt:1: \"clock virtual\" takes a start in seconds since 1970 (1..32503680000)"},
        {"clock virtual soon\n", "bus.txt:1: \"clock virtual\" takes a start in seconds since 1970 (1..32503680000)"},
        {"clock virtual\nclock jump conversion=3\n",
         "bus.txt:2: \"clock jump\" takes WHEN SECONDS, e.g. clock jump conversion=3 -86400"},
        {"clock virtual\nclock jump 3 -60\n",
         "bus.txt:2: bad clock jump moment \"3\": expected conversion=N or seconds=S"},
        {"clock virtual\nclock jump conversion=0 -60\n", "bus.txt:2: bad clock jump moment \"conversion=0\""},
        {"clock virtual\nclock jump conversions=2-4 -60\n", "bus.txt:2: bad clock jump moment \"conversions=2-4\""},
        {"clock virtual\nclock jump seconds=5-9 -60\n", "bus.txt:2: bad clock jump moment \"seconds=5-9\""},
        {"clock virtual\nclock jump once -60\n", "bus.txt:2: bad clock jump moment \"once\""},
        {"clock virtual\nclock jump conversion=2 0\n",
         "bus.txt:2: bad clock jump \"0\": expected seconds with up to three decimals, + or - 0.001..32503680000"},
        {"clock virtual\nclock jump conversion=2 -0.000\n", "bus.txt:2: bad clock jump \"-0.000\""},
        {"clock virtual\nclock jump conversion=2 1.2345\n", "bus.txt:2: bad clock jump \"1.2345\""},
        {"clock virtual\nclock jump conversion=2 1.\n", "bus.txt:2: bad clock jump \"1.\""},
        {"clock virtual\nclock jump conversion=2 -.5\n", "bus.txt:2: bad clock jump \"-.5\""},
        {"clock virtual\nclock jump conversion=2 1.-5\n", "bus.txt:2: bad clock jump \"1.-5\""},
        {"clock virtual\nclock jump conversion=2 32503680000.001\n",
         "bus.txt:2: bad clock jump \"32503680000.001\""},
        {"clock virtual\nclock jump conversion=2 -1d\n", "bus.txt:2: bad clock jump \"-1d\""},
        {"clock virtual\nclock jump conversion=2 +\n", "bus.txt:2: bad clock jump \"+\""},
        {"clock virtual\nclock jump conversion=2 --5\n", "bus.txt:2: bad clock jump \"--5\""},
        {"clock virtual\nclock jump conversion=2 32503680001\n", "bus.txt:2: bad clock jump \"32503680001\""},
        {"timing off\nclock jump conversion=2 -60\n",
         "bus.txt:2: \"clock jump\" needs the virtual clock (clock virtual)"},
        {"clock virtual\nclock jump conversion=2 -60\nclock real\n",
         "bus.txt:2: \"clock jump\" needs the virtual clock (clock virtual)"},
        {"sensor 10A1B2C3D4E5F6 warm\n", "bus.txt:1: bad temperature \"warm\": expected a number or LOW..HIGH/PERIOD"},
        {"sensor 10A1B2C3D4E5F6 130\n", "bus.txt:1: temperature \"130\" outside -55..125"},
        {"sensor 10A1B2C3D4E5F6 22..18/60\n",
         "bus.txt:1: bad temperature \"22..18/60\": LOW must not exceed HIGH and PERIOD must be positive"},
        {"sensor 29A1B2C3D4E5F6 21\n",
         "bus.txt:1: sensor serial \"29A1B2C3D4E5F6\" must start with family code 10, 28, 22, 3B or 42"},
        {"sensor 28A1B2C3D4E5F6 21 resolution=8\n", "bus.txt:1: bad resolution \"resolution=8\": expected 9 to 12"},
        {"sensor 10A1B2C3D4E5F6 21 resolution=9\n", "bus.txt:1: \"resolution=9\" is for the families 28"},
        {"sensor 22A1B2C3D4E5F6 21 conversion-ms=100\n", "bus.txt:1: \"conversion-ms=100\" is for family 10"},
        {"sensor 10A1B2C3D4E5F6 21 loud\n", "bus.txt:1: unknown sensor option \"loud\""},
        {"sensor 10A1B2C3D4E5F6 21 th=300\n",
         "bus.txt:1: bad alarm limit \"th=300\": expected an integer from -128 to 127"},
        {"device 05FFEEDDCCBBAA\ndevice 05ffeeddccbbaa\n", "bus.txt:2: duplicate serial 05FFEEDDCCBBAA63"},
        {"fault explode always\n", "bus.txt:1: unknown fault kind \"explode\""},
        {"fault crc always\n", "bus.txt:1: fault \"crc\" takes SERIAL WINDOW"},
        {"fault busy sometimes\n",
         "bus.txt:1: bad fault window \"sometimes\": expected always, once, p=PROB, conversion=N, "
         "conversions=N-M, seconds=S or seconds=S-T"},
        {"fault busy conversions=4-2\n",
         "bus.txt:1: bad fault window \"conversions=4-2\": expected conversions=N-M with 1 <= N <= M"},
        {"fault busy p=1.5\n", "bus.txt:1: bad fault window \"p=1.5\": expected a probability from 0 to 1"},
        {"device 05FFEEDDCCBBAA\n\nfault crc 05FFEEDDCCBBAA once\n",
         "bus.txt:3: fault names 05FFEEDDCCBBAA63, which is not a sensor"},
        {"fault leave 10A1B2C3D4E5F6 once\n", "bus.txt:1: fault names 10A1B2C3D4E5F6"},
    };
    for (const Case& c : cases) {
        SimBusSpec bus;
        std::string error;
        EXPECT_FALSE(SimParseBusText(c.text, "bus.txt", &bus, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
    }
}

TEST(BusFile, DeviceNames)
{
    SimBusSpec bus;
    std::string error;
    ASSERT_TRUE(SimParseDeviceName("sim:", &bus, &error));
    EXPECT_EQ(bus.devices.size(), 4u);
    EXPECT_TRUE(bus.timing);
    EXPECT_FALSE(SimParseDeviceName("sim:/nonexistent/bus.txt", &bus, &error));
    EXPECT_EQ(error, "/nonexistent/bus.txt: cannot read the bus file");
    EXPECT_FALSE(SimParseDeviceName("sim:/tmp", &bus, &error));

    char path[] = "/tmp/simbusXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "w");
    fputs("sensor 10A1B2C3D4E5F6 21\nsensor 10A1B2C3D4E5F7 x\n", file);
    fclose(file);
    EXPECT_FALSE(SimParseDeviceName((std::string("sim:") + path).c_str(), &bus, &error));
    EXPECT_EQ(error.rfind(std::string(path) + ":2: bad temperature", 0), 0u) << error;
    remove(path);
}

TEST(BusFile, ArbitraryBytesNeverCrash)
{
    std::string text;
    unsigned state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245u + 12345u;
        text += static_cast<char>((state >> 16) & 0xFF);
    }
    SimBusSpec bus;
    std::string error;
    EXPECT_FALSE(SimParseBusText(text, "noise", &bus, &error));
    EXPECT_EQ(error.rfind("noise:", 0), 0u);
}

}  // namespace
