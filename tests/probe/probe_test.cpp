// temp-probe run as a program on software adapters: the report and the exit
// status for each kind of bus, and the command line.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/scratch_dir.h"

namespace {

struct ProbeRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class ProbeTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    // Writes the bus file and returns the adapter name that opens it.
    std::string Bus(const std::string& text)
    {
        const std::string path = dir_ + "/bus.txt";
        std::ofstream(path) << "clock virtual\n" << text;
        return "sim:" + path;
    }

    ProbeRun Probe(const std::vector<std::string>& args)
    {
        std::string command = Quote(TEMP_PROBE_BINARY);
        for (const std::string& arg : args)
            command += " " + Quote(arg);
        command += " > " + Quote(dir_ + "/out") + " 2> " + Quote(dir_ + "/err");
        ProbeRun run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFile(dir_ + "/out");
        run.err = ReadFile(dir_ + "/err");
        return run;
    }

    ScratchDir scratch_{"probe_test"};
    std::string dir_ = scratch_.path();
};

// Serials as the report prints them (CRC byte appended by the bus file).
constexpr const char* S1 = "10A1B2C3D4E5F649";
constexpr const char* S2 = "10112233445566B3";
constexpr const char* S3 = "100F1E2D3C4B5A94";
constexpr const char* S4 = "1024A3B6010800A9";
constexpr const char* SWITCH = "05FFEEDDCCBBAA63";
constexpr const char* B1 = "280102030405069E";  // a DS18B20

struct BusCase {
    const char* name;
    std::string bus;
    int status;
    std::vector<std::string> present;  // in the report, in this order
    std::vector<std::string> absent;
};

std::string Sensor(const char* serial, const char* rest) { return std::string("sensor ") + serial + " " + rest + "\n"; }

const std::vector<BusCase> BusCases = {
    {"EmptyBus", "", 0,
     {"Status registers: ", "[8] state flags 20: idle", "Bus reset: no presence: no device answered (result bytes: 01)",
      "Devices: 0\n", "Sensors: 0\n"},
     {"stack error"}},
    {"ShortedLine", Sensor(S1, "21") + "fault short-line always\n", 0,
     {"Bus reset: short: the 1-Wire line is shorted (result bytes: 02)", "Devices: 0\n", "Sensors: 0\n"},
     {S1}},
    {"FourSensorsAndASwitch",
     Sensor(S1, "21.5") + Sensor(S2, "-0.0625 parasite") + Sensor(S3, "25.0625") + Sensor(S4, "-55") +
         "device " + SWITCH + "\n",
     0,
     {"Bus reset: presence (result bytes: A5)", "Devices: 5\n",
      std::string("  ") + SWITCH + "  family 05 DS2405 addressable switch  CRC8 ok",
      "Sensors: 4\n", "    temperature: -55.000 C (whole degrees -55.000)\n",
      std::string("  ") + S1 + "\n    power: external\n    scratchpad: 2B 00 4B 46 FF FF 04 10 20  CRC8 ok\n"
                            "    temperature: 21.500 C (whole degrees 21.000)\n    time taken: ",
      std::string("  ") + S2 + "\n    power: parasite\n", "    temperature: -0.063 C (whole degrees 0.000)\n",
      "    temperature: 25.063 C (whole degrees 25.000)\n"},
     {"mismatch", "not present", "power-on", "stack error"}},
    {"ScratchpadCrcFault", Sensor(S1, "21.5") + Sensor(S2, "20") + "fault crc " + S2 + " always\n", 0,
     {"Sensors: 2\n", "    temperature: 21.500 C", std::string("  ") + S2 + "\n    power: external\n    scratchpad: ",
      "CRC8 mismatch\n    time taken: "},
     {"temperature: 20.000"}},
    {"RegistrationNumberCrcFault", Sensor(S1, "21.5") + "device 05FFEEDDCCBBAA00\n", 0,
     {"search stopped: a registration number failed its CRC8 check"},
     {"05FFEEDDCCBBAA00"}},
    {"SensorLeaves", Sensor(S1, "21.5") + Sensor(S2, "19") + "fault leave " + S2 + " conversions=1-1000\n", 0,
     {"Devices: 2\n", "Sensors: 2\n", "    temperature: 21.500 C",
      std::string("  ") + S2 + "\n    not present: the sensor did not answer a search for its number (gone from the bus?)\n"},
     {"temperature: 19.000"}},
    {"PowerOnValue", Sensor(S1, "21.5 parasite") + "fault no-pullup " + S1 + " always\n", 0,
     {"    power: parasite\n    scratchpad: AA 00 4B 46 FF FF 0C 10 87  CRC8 ok\n"
      "    temperature: 85.000 C (whole degrees 85.000)\n    note: 85 C is the power-on value"},
     {"temperature: 21.500"}},
    {"CountPerCZero", Sensor(S1, "21.5") + "fault count-per-c-zero " + S1 + " always\n", 0,
     {"    temperature: 21.000 C (whole degrees 21.000; COUNT_PER_C 0, not extended)\n"},
     {"power-on"}},
    {"UnpluggedAdapter", Sensor(S1, "21.5") + "fault unplug always\n", 1, {}, {}},
    {"Ds18b20DecodedAsTheLoggerDoes", Sensor(S1, "21.5") + Sensor(B1, "-10.125 resolution=12"), 0,
     {"Sensors: 2\n", std::string("  ") + B1 + "\n    power: external\n",
      "    temperature: -10.125 C (whole degrees -11.000)\n"},
     {"power-on", "mismatch"}},
};

TEST_F(ProbeTest, ReportsEachKindOfBus)
{
    for (const BusCase& c : BusCases) {
        SCOPED_TRACE(c.name);
        const std::string adapter = Bus(c.bus);
        const ProbeRun run = Probe({adapter});
        EXPECT_EQ(c.status, run.status) << run.out << run.err;
        if (c.status == 0) {
            EXPECT_EQ(0u, run.out.find("temp-probe: adapter " + adapter + "\nAdapter\n  kind: software DS2490"))
                << run.out;
            EXPECT_EQ("", run.err);
        } else {
            EXPECT_EQ("", run.out);
            EXPECT_EQ(0u, run.err.find("Cannot open " + adapter + ": the adapter does not answer")) << run.err;
            EXPECT_NE(std::string::npos, run.err.find("Error 24: ")) << run.err;
        }
        size_t at = 0;
        for (const std::string& text : c.present) {
            const size_t found = run.out.find(text, at);
            EXPECT_NE(std::string::npos, found) << "missing, or out of order: " << text << "\n" << run.out;
            if (found != std::string::npos)
                at = found + text.size();
        }
        for (const std::string& text : c.absent)
            EXPECT_EQ(std::string::npos, run.out.find(text)) << "unexpected: " << text << "\n" << run.out;
    }
}

TEST_F(ProbeTest, JsonCarriesTheSameFindings)
{
    const std::string adapter = Bus(Sensor(S1, "21.5") + "device " + SWITCH + "\n");
    const ProbeRun run = Probe({"--json", adapter});
    EXPECT_EQ(0, run.status) << run.err;
    for (const std::string& text :
         {std::string("\"adapter\": \"sim:") + dir_, std::string("\"presence\": true, \"short\": false"),
          std::string("{\"serial\": \"") + SWITCH + "\", \"family\": \"05\", \"name\": \"DS2405 addressable switch\"",
          std::string("\"power\": \"external\""), std::string("\"celsius\": 21.500, \"whole\": 21.000"),
          std::string("\"power_on_value\": false")})
        EXPECT_NE(std::string::npos, run.out.find(text)) << text << "\n" << run.out;
    EXPECT_EQ('}', run.out[run.out.size() - 2]);
}

TEST_F(ProbeTest, CommandLine)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {{"--verbose"}, 2, "unknown option --verbose"},
        {{"sim:", "sim:"}, 2, "only one adapter name may be given"},
        {{""}, 2, "the adapter name is empty"},
        {{"sim:" + std::string("/nonexistent/bus.txt")}, 1, "/nonexistent/bus.txt"},
        {{"COM1"}, 1, "Error 23: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const ProbeRun run = Probe(c.args);
        EXPECT_EQ(c.status, run.status);
        EXPECT_NE(std::string::npos, run.err.find(c.err)) << run.err;
        EXPECT_EQ("", run.out);
    }
    const ProbeRun help = Probe({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("Usage: temp-probe [ADAPTER] [--json]"));
}

}  // namespace
