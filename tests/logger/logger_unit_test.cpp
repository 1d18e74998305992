// Unit tests of the logger's pure pieces: number and time formatting, the
// place table, record padding, the Pool Database update and the event log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <filesystem>
#include <io.h>
#endif

#include "backends/backends.h"
#include "logger/config.h"
#include "logger/logger.h"
#include "outputs/outputs.h"
#include "onewire/adapter.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "simulator/sim.h"
#include "logger_test_dir.h"

namespace {

TEST(FormatFixed3, RoundsHalvesAwayFromZero)
{
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {25.0625, "25.063"}, {-0.0625, "-0.063"}, {25.0, "25.000"},    {-1.0, "-1.000"},
        {-55.25, "-55.250"}, {0.0, "0.000"},      {21.1875, "21.188"}, {-10.4375, "-10.438"},
        {0.0004, "0.000"},   {85.0, "85.000"},    {19.9375, "19.938"}, {1.0 / 3.0, "0.333"},
        // Just below or above a tie once exact, a tie when the product is rounded to a double.
        {1.0005, "1.000"},   {-1.0005, "-1.000"}, {12.3455, "12.345"}, {0.0005, "0.001"},
        {2.0005, "2.001"},   {1e-30, "0.000"},    {999999999999.9995, "1000000000000.000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatFixed3(c.value), c.text) << c.value;
}

TEST(Degrees, WorkedExamplesOfTheScratchpad)
{
    struct Case {
        uint8_t low, high, countRemain, countPerC;
        const char* whole;
        const char* extended;  // nullptr: no extended value (COUNT_PER_C 0)
    } cases[] = {
        {0x2A, 0x00, 0x0C, 0x10, "21.000", "21.000"},   {0x32, 0x00, 0x0B, 0x10, "25.000", "25.063"},
        {0xFF, 0xFF, 0x0C, 0x10, "-1.000", "-1.000"},   {0x92, 0xFF, 0x10, 0x10, "-55.000", "-55.250"},
        {0x00, 0x00, 0x0D, 0x10, "0.000", "-0.063"},    {0x92, 0x01, 0x10, 0x10, "-55.000", "-55.250"},
        {0x2A, 0x00, 0x0C, 0x00, "21.000", nullptr},
    };
    for (const Case& c : cases) {
        float whole = WholeDegrees(c.low, c.high);
        EXPECT_EQ(FormatFixed3(whole), c.whole);
        if (c.extended) {
            EXPECT_EQ(FormatFixed3(ExtendedDegrees(whole, c.countRemain, c.countPerC)), c.extended);
        }
    }
}

// DecodeTemperature over the families, with scratchpad bytes 0, 1 and 4
// (0x10: bytes 0, 1, 6, 7) as a sensor sends them.
TEST(Degrees, DecodeByFamily)
{
    struct Case {
        uint8_t family;
        uint8_t b0, b1, b4;          // for 0x10 b4 is COUNT_REMAIN, with COUNT_PER_C 16 (0 when b4 is 0xFF)
        int result;
        const char* whole;
        const char* extended;
    } cases[] = {
        {0x28, 0x91, 0x01, 0x7F, 1, "25.000", "25.063"},    // +25.0625
        {0x28, 0x5E, 0xFF, 0x7F, 1, "-11.000", "-10.125"},  // -10.125
        {0x28, 0xFF, 0xFF, 0x7F, 1, "-1.000", "-0.063"},    // -0.0625
        {0x28, 0xD0, 0x07, 0x7F, 1, "125.000", "125.000"},
        {0x28, 0x90, 0xFC, 0x7F, 1, "-55.000", "-55.000"},
        {0x28, 0x50, 0x05, 0x7F, 1, "85.000", "85.000"},
        {0x28, 0x00, 0x00, 0x7F, 1, "0.000", "0.000"},
        {0x28, 0xF8, 0xFF, 0x7F, 1, "-1.000", "-0.500"},
        // Lower resolutions: the undefined low bits are cleared.
        {0x28, 0x97, 0x01, 0x1F, 1, "25.000", "25.000"},    // 9 bits: 3 bits
        {0x28, 0x5F, 0xFF, 0x1F, 1, "-11.000", "-10.500"},
        {0x28, 0x97, 0x01, 0x3F, 1, "25.000", "25.250"},    // 10 bits: 2 bits
        {0x28, 0x97, 0x01, 0x5F, 1, "25.000", "25.375"},    // 11 bits: 1 bit
        // The relatives decode alike; the DS1825's address pins in the low nibble.
        {0x22, 0x5E, 0xFF, 0x7F, 1, "-11.000", "-10.125"},
        {0x3B, 0x91, 0x01, 0x7A, 1, "25.000", "25.063"},
        {0x3B, 0x97, 0x01, 0x15, 1, "25.000", "25.000"},
        {0x42, 0xFF, 0xFF, 0x7F, 1, "-1.000", "-0.063"},
        // The DS1820 rule, and its missing COUNT_PER_C.
        {0x10, 0x32, 0x00, 0x0B, 1, "25.000", "25.063"},
        {0x10, 0x92, 0xFF, 0x10, 1, "-55.000", "-55.250"},
        {0x10, 0x2A, 0x00, 0xFF, 0, "21.000", "21.000"},
        // Not a temperature family.
        {0x05, 0x91, 0x01, 0x7F, 0, "0.000", "0.000"},
    };
    for (const Case& c : cases) {
        uint8_t pad[9] = {c.b0, c.b1, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0x00};
        if (c.family == 0x10) {
            pad[6] = c.b4 == 0xFF ? 0x0C : c.b4;
            pad[7] = c.b4 == 0xFF ? 0 : 0x10;
        } else {
            pad[4] = c.b4;
        }
        double whole = -99, extended = -99;
        SCOPED_TRACE(::testing::Message() << std::hex << int(c.family) << " " << int(c.b1) << int(c.b0));
        EXPECT_EQ(DecodeTemperature(c.family, pad, &whole, &extended), c.result);
        EXPECT_EQ(FormatFixed3(whole), c.whole);
        EXPECT_EQ(FormatFixed3(extended), c.extended);
    }
}

TEST(Stamps, ZeroPaddedDayEnglishNamesOneReading)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // Sunday 4 November 2018, 07:31:00 UTC.
    WallTime when{1541316660, 5};
    EXPECT_EQ(FormatEventStamp(when), "Sun Nov 04 07:31:00.005 ");
    EXPECT_EQ(FormatEventStamp(WallTime{1541316660 + 86400 * 30 + 3600 * 13, 999}), "Tue Dec 04 20:31:00.999 ");
    EXPECT_EQ(FormatLocalDate(when.seconds), "11/04/18");
    EXPECT_EQ(FormatLocalTime(when.seconds), "07:31:00");
    // Past January 2038, where a 32-bit time_t would wrap to 1901.
    WallTime late{2214131696, 42};
    EXPECT_EQ(FormatEventStamp(late), "Wed Feb 29 12:34:56.042 ");
    EXPECT_EQ(FormatLocalDate(late.seconds), "02/29/40");
    EXPECT_EQ(FormatLocalTime(late.seconds), "12:34:56");
}

TEST(Paths, AppDirectoryIsCutAfterTheLastSeparator)
{
    EXPECT_EQ(AppDirectoryFrom("/opt/loggers/temp"), "/opt/loggers/");
    EXPECT_EQ(AppDirectoryFrom("./temp"), "./");
    EXPECT_EQ(AppDirectoryFrom("temp"), "");
    EXPECT_EQ(AppDirectoryFrom(nullptr), "");
    std::string longPath = "/" + std::string(5000, 'd') + "/temp";
    EXPECT_EQ(AppDirectoryFrom(longPath.c_str()), longPath.substr(0, longPath.size() - 4));
#ifdef _WIN32
    // Windows takes both separators.
    EXPECT_EQ(AppDirectoryFrom("C:\\loggers\\temp.exe"), "C:\\loggers\\");
    EXPECT_EQ(AppDirectoryFrom("C:\\loggers/x\\temp.exe"), "C:\\loggers/x\\");
    EXPECT_EQ(AppDirectoryFrom("D:/loggers\\bin/temp.exe"), "D:/loggers\\bin/");
    EXPECT_EQ(AppDirectoryFrom("C:temp.exe"), "");
#endif
}

struct TableCase {
    const char* name;
    std::string text;
    std::vector<std::tuple<std::string, int, std::string>> entries;
};

TEST(DirectAccessTableText, ReadsTriplesWithTheScanQuirks)
{
    std::string longLabel(60, 'L');
    TableCase cases[] = {
        {"empty", "", {}},
        {"blank lines only", " \r\n\n\t", {}},
        {"places kept as written",
         "1000000000000001 5 Kitchen\r\n1000000000000002 7 Hall\r\n1000000000000003 9 Attic\r\n",
         {{"1000000000000001", 5, "Kitchen"}, {"1000000000000002", 7, "Hall"}, {"1000000000000003", 9, "Attic"}}},
        {"final serial without place and label",
         "1000000000000001 -3 Cellar\n1000000000000002\n",
         {{"1000000000000001", -3, "Cellar"}, {"1000000000000002", -3, "Cellar"}}},
        {"first entry short: place 0 and a blank label", "1000000000000001", {{"1000000000000001", 0, " "}}},
        {"a non-number place is the next serial",
         "1000000000000001 x 4 Porch 1000000000000002",
         {{"1000000000000001", 0, " "}, {"x", 4, "Porch"}, {"1000000000000002", 4, "Porch"}}},
        {"a long serial spills into the place", "100000000000000142 Shed", {{"1000000000000001", 42, "Shed"}}},
        {"a long label is cut, not spilled",
         "1000000000000001 1 " + longLabel + " 1000000000000002 2 B",
         {{"1000000000000001", 1, std::string(39, 'L')}, {"1000000000000002", 2, "B"}}},
    };
    for (const TableCase& c : cases) {
        EXPECT_EQ(ParseDirectAccessTable(c.text), 0) << c.name;
        ASSERT_EQ(DirectAccessTable.lastIndex + 1, static_cast<int>(c.entries.size())) << c.name;
        for (size_t i = 0; i < c.entries.size(); ++i) {
            const TableEntry& e = DirectAccessTable.entries[i];
            EXPECT_EQ(e.serial, std::get<0>(c.entries[i])) << c.name << " entry " << i;
            EXPECT_EQ(e.place, std::get<1>(c.entries[i])) << c.name << " entry " << i;
            EXPECT_EQ(e.label, std::get<2>(c.entries[i])) << c.name << " entry " << i;
        }
    }
}

TEST(DirectAccessTableText, CapacityOfFiftyCountsAdditions)
{
    EXPECT_EQ(ParseDirectAccessTable(TableOf(53)), 3);
    EXPECT_EQ(DirectAccessTable.lastIndex, 49);
    EXPECT_EQ(AddTableEntry("10FFFFFFFFFFFF00"), -1);
    EXPECT_EQ(DirectAccessTable.lastIndex, 49);

    ParseDirectAccessTable(TableOf(48));
    EXPECT_EQ(DirectAccessTable.lastIndex, 47);
    EXPECT_EQ(AddTableEntry("10AAAAAAAAAAAA01"), 48);
    EXPECT_EQ(AddTableEntry("10AAAAAAAAAAAA02"), 49);
    EXPECT_EQ(AddTableEntry("10AAAAAAAAAAAA03"), -1);
    EXPECT_STREQ(DirectAccessTable.entries[49].label, "");
    EXPECT_EQ(DirectAccessTable.entries[49].place, 0);
}

TEST(DirectAccessTableText, MatchingIsExactAndCaseSensitive)
{
    ParseDirectAccessTable("10a1b2c3d4e5f601 0 Lower\n10A1B2C3D4E5F601 1 Upper\n");
    EXPECT_EQ(FindTableEntry("10A1B2C3D4E5F601"), 1);
    EXPECT_EQ(FindTableEntry("10a1b2c3d4e5f601"), 0);
    EXPECT_EQ(FindTableEntry("10A1B2C3D4E5F602"), -1);
    EXPECT_EQ(FindTableEntry("10A1B2C3D4E5F601,trailing"), 1);  // first 16 characters only
}

TEST(PoolRecord, PaddedOrCutTo98PlusCrLf)
{
    struct Case {
        std::string line, text;
    } cases[] = {
        {",,,,", ",,,," + std::string(94, ' ')},
        {"abc\r\n", "abc" + std::string(95, ' ')},
        {"abc\n", "abc" + std::string(95, ' ')},
        {std::string(120, 'x'), std::string(98, 'x')},
        {"", std::string(98, ' ')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MakePoolRecord(c.line), c.text + "\r\n") << c.line;
}

TEST_F(InTempDir, UpdateWritesEachLineAtItsIndexAndLogsUnknownSerials)
{
    ParseDirectAccessTable("10000000000000AA 9 A\n10000000000000BB 3 B\n");
    AddTableEntry("10000000000000CC");
    CreatePoolDatabase();
    std::string before = ReadFile("temp.pd");
    std::string lineC = "1700000000.123,10000000000000CC,BE2A00FFFF00000C10CE,21.000,21.000 ";
    std::string lineX = "1700000000.456,10000000000000DD,BE2A00FFFF00000C10CE,21.000,21.000 ";
    std::string lineA = "1700000000.789,10000000000000AA,BE2A00FFFF00000C10CE,21.000,21.000 ";
    WriteFile("tempu.tmp", lineC + "\r\n" + lineX + "\r\n" + lineA + "\r\n");
    testing::internal::CaptureStdout();
    UpdatePoolDatabase();
    std::string console = testing::internal::GetCapturedStdout();

    std::string pool = ReadFile("temp.pd");
    ASSERT_EQ(pool.size(), 4100u);
    EXPECT_EQ(pool.substr(0, 100), MakePoolRecord(lineA));
    EXPECT_EQ(pool.substr(100, 100), before.substr(100, 100));  // B not read: record kept
    EXPECT_EQ(pool.substr(200, 100), MakePoolRecord(lineC));
    EXPECT_EQ(pool.substr(300), before.substr(300));

    std::string padded = MakePoolRecord(lineX);
    EXPECT_EQ(console, "10000000000000DD Error - new device attached to system \n" +
                           padded.substr(0, 98) + "\n \n");
    std::string log = ReadFile("USBerr.txt");
    ASSERT_GE(log.size(), 24u);
    EXPECT_EQ(log.substr(24), " Error - new device attached to system \r\n" + padded + " \r\n");
}

// "%u" seconds have fewer than ten digits before September 2001 (a clock set
// back to 1970): the serial is found after the stamp's comma all the same.
TEST_F(InTempDir, UpdateFindsTheSerialAfterStampsOfAnyLength)
{
    ParseDirectAccessTable("10000000000000AA 1 A\n10000000000000BB 2 B\n10000000000000CC 3 C\n"
                           "10000000000000DD 4 D\n");
    CreatePoolDatabase();
    const std::string serials[] = {"10000000000000AA", "10000000000000BB", "10000000000000CC", "10000000000000DD"};
    const char* stamps[] = {"0.015", "86400.000", "999999999.999", "1700000000.123"};
    std::string lines;
    for (int i = 0; i < 4; ++i)
        lines += std::string(stamps[i]) + "," + serials[i] + ",BE2A00FFFF00000C10CE,21.000,21.000 \r\n";
    WriteFile("tempu.tmp", lines);
    testing::internal::CaptureStdout();
    UpdatePoolDatabase();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::string pool = ReadFile("temp.pd");
    ASSERT_EQ(pool.size(), 4100u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(pool.substr(100 * static_cast<size_t>(i), 100),
                  MakePoolRecord(std::string(stamps[i]) + "," + serials[i] + ",BE2A00FFFF00000C10CE,21.000,21.000 "))
            << stamps[i];
    EXPECT_EQ(ReadFile("USBerr.txt"), "") << "an entry for a line of a known sensor";
}

TEST_F(InTempDir, UpdateBeyondRecord40ExtendsThePool)
{
    ParseDirectAccessTable(TableOf(45));
    CreatePoolDatabase();
    WriteFile("tempu.tmp", "1700000000.123,100000000000002C,BE2A00FFFF00000C10CE,21.000,21.000 \r\n");
    testing::internal::CaptureStdout();
    UpdatePoolDatabase();
    testing::internal::GetCapturedStdout();
    std::string pool = ReadFile("temp.pd");
    ASSERT_EQ(pool.size(), 4500u);
    EXPECT_EQ(pool.substr(4400, 100).substr(0, 16), "1700000000.123,1");
}

// When a reading of +85 degrees is the power-on value and when a temperature.
TEST_F(InTempDir, CyclePowerOnValueRefusedOnlyWhenTheSensorMayNotHaveConverted)
{
    // A DS1820 and a DS18B20, both at +85 degrees, on a software adapter.
    WriteFile("bus.txt", "clock virtual\nsensor 10000000000001 85\nsensor 28000000000002 85\n");
    Config = TempConfig();
    Config.families = {0x10, 0x28};
    Config.familyCount = 2;
    DriverRegisterBuiltinBackends();
    struct Open {
        int port = PortOpenFirstFree("sim:bus.txt");
        ~Open()
        {
            if (port >= 0)
                PortClose(port);
            ClockInstall(nullptr);
            Config = TempConfig();
        }
    } open;
    const int port = open.port;
    ASSERT_GE(port, 0);
    SerialNumber sensors[SENSOR_SLOTS];
    ASSERT_EQ(FindConfiguredSensors(port, sensors, SENSOR_SLOTS), 2);
    ASSERT_EQ(sensors[0][0], 0x10);
    ASSERT_EQ(sensors[1][0], 0x28);
    SimSerial ds18b20;
    std::copy(sensors[1].begin(), sensors[1].end(), ds18b20.begin());
    const struct {
        const char* name;
        void (*before)(int port, const SimSerial& serial);
        ReadingOutcome outcome;
    } steps[] = {
        {"first cycle", nullptr, ReadingOutcome::PowerOnValue},
        {"second cycle", nullptr, ReadingOutcome::Good},
        {"after an adapter reinitialisation", [](int port, const SimSerial&) { AdapterReinitialize(port); },
         ReadingOutcome::PowerOnValue},
        {"the cycle after", nullptr, ReadingOutcome::Good},
        {"sensor gone", [](int, const SimSerial& s) { SimSetPresent(SimLastOpened(), s, false); },
         ReadingOutcome::NoPresence},  // Match ROM finds nobody: all ones
        {"sensor back", [](int, const SimSerial& s) { SimSetPresent(SimLastOpened(), s, true); },
         ReadingOutcome::PowerOnValue},
        {"and read", nullptr, ReadingOutcome::Good},
    };
    int refused = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.before)
            step.before(port, ds18b20);
        RunMeasurementCycle(port, sensors, 2);
        EXPECT_EQ(LastReading.outcome, step.outcome);
        std::string tmp = ReadFile("tempu.tmp");
        EXPECT_NE(tmp.find(",10000000000001"), std::string::npos) << "a DS1820's 85 is always stored";
        bool stored = step.outcome == ReadingOutcome::Good;
        EXPECT_EQ(tmp.find(",28000000000002") != std::string::npos, stored) << tmp;
        if (step.outcome == ReadingOutcome::PowerOnValue) {
            ++refused;
            EXPECT_TRUE(LastReading.hasWhole);
            EXPECT_EQ(LastReading.scratchpad[0], 0x50);
            EXPECT_EQ(LastReading.scratchpad[1], 0x05);
        }
    }
    std::string log = ReadFile("USBerr.txt");
    size_t entries = 0;
    for (size_t at = log.find("Power-on value 85.000 from 28"); at != std::string::npos;
         at = log.find("Power-on value 85.000 from 28", at + 1))
        ++entries;
    EXPECT_EQ(entries, static_cast<size_t>(refused)) << log;
}

TEST_F(InTempDir, EventLogStampsEachEntryAndWritesCrLf)
{
    ClockUseVirtual(0, 1541316660);
    testing::internal::CaptureStdout();
    LogEvent("first %d\n", 1);
    LogEvent("no end");
    LogEvent("two\nlines\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "first 1\nno endtwo\nlines\n");
    ClockInstall(nullptr);
    std::string log = ReadFile("USBerr.txt");
    EXPECT_EQ(log, "Sun Nov 04 07:31:00.000 first 1\r\n"
                   "Sun Nov 04 07:31:00.000 no endSun Nov 04 07:31:00.000 two\r\nlines\r\n");

    // A log that can't be opened is said once, and again only after it worked in between.
    const std::string said = "Can't open event log missing-directory/USBerr.txt: No such file or directory (said "
                             "once; the run goes on, entries only on the console)\n";
    const struct {
        const char* path;
        const char* entry;
        std::string console;
    } steps[] = {
        {"missing-directory/USBerr.txt", "still shown\n", said + "still shown\n"},
        {"missing-directory/USBerr.txt", "again\n", "again\n"},
        {"USBerr.txt", "back\n", "back\n"},
        {"missing-directory/USBerr.txt", "gone again\n", said + "gone again\n"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.entry);
        ErrorFilePath = step.path;
        testing::internal::CaptureStdout();
        LogEvent("%s", step.entry);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), step.console);
    }
    ErrorFilePath = "USBerr.txt";
}

#ifndef _WIN32
TEST_F(InTempDir, EventLogPastTwoGibibytesIsStillAppended)
{
    // A sparse log just past 2 GiB: without 64-bit file offsets a 32-bit
    // build can't open it (EOVERFLOW) and every later entry is lost. qemu-user
    // on a 64-bit machine opens it anyway, so the width of off_t is checked too.
    ASSERT_EQ(sizeof(off_t), 8u);
    const off_t big = (off_t{1} << 31) + 100;
    FILE* log = std::fopen("USBerr.txt", "wb");
    ASSERT_NE(log, nullptr);
    std::fclose(log);
    ASSERT_EQ(truncate("USBerr.txt", big), 0) << std::strerror(errno);
    testing::internal::CaptureStdout();
    LogEvent("late entry\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "late entry\n");
    struct stat info {};
    ASSERT_EQ(stat("USBerr.txt", &info), 0);
    ASSERT_GT(info.st_size, big);
    std::ifstream tail("USBerr.txt", std::ios::binary);
    tail.seekg(big);
    std::string added((std::istreambuf_iterator<char>(tail)), std::istreambuf_iterator<char>());
    EXPECT_NE(added.find("late entry\r\n"), std::string::npos) << added;
}
#endif

TEST(DirectAccessTableText, LinesThatWontReadAsMeantAreNamed)
{
    const std::string good = "10A1B2C3D4E5F601 1 Kitchen";
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> problems;  // each message begins with these
    } cases[] = {
        {"clean table, CR LF, blank lines and a short last line", good + "\r\n\r\n  \n10A1B2C3D4E5F602 2 Hall\n10A1B2C3D4E5F603", {}},
        {"a label with a blank", "\n" + good + "\n10A1B2C3D4E5F602 3 Living room\r\n",
         {"T line 3 \"10A1B2C3D4E5F602 3 Living room\": 4 fields, expected SERIAL PLACE LABEL; a label is one word"}},
        {"lower-case serial", "10a1b2c3d4e5f601 1 Kitchen\n",
         {"T line 1 \"10a1b2c3d4e5f601 1 Kitchen\": the serial must be 16 upper-case hex digits"}},
        {"serial too long and too short", "100000000000000142 Shed\n10A1B2C3D4E5F6 2 Attic\n",
         {"T line 1 \"100000000000000142 Shed\": the serial", "T line 2 \"10A1B2C3D4E5F6 2 Attic\": the serial"}},
        {"bad serial and too many fields on one line", "10-A1 1 Boiler room north\n",
         {"T line 1 \"10-A1 1 Boiler room north\": the serial", "T line 1 \"10-A1 1 Boiler room north\": 5 fields"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> problems = CheckDirectAccessTableLines(c.text, "T");
        ASSERT_EQ(problems.size(), c.problems.size()) << (problems.empty() ? "" : problems[0]);
        for (size_t i = 0; i < problems.size(); ++i)
            EXPECT_EQ(problems[i].rfind(c.problems[i], 0), 0u) << problems[i];
    }
    // The parse itself keeps its documented rules: the blank splits the entry.
    ParseDirectAccessTable("10A1B2C3D4E5F602 3 Living room\n");
    EXPECT_EQ(DirectAccessTable.lastIndex, 1);
    EXPECT_STREQ(DirectAccessTable.entries[1].serial, "room");
}

TEST(AdapterNames, OnlyTheAcceptedFormsPass)
{
    DriverRegisterBuiltinBackends();
    const struct {
        const char* name;
        int accepted;
    } cases[] = {
        {"\\\\.\\DS2490-1", 1}, {"\\\\.\\ds2490-12", 1}, {"sim:", 1}, {"sim:/tmp/bus.txt", 1},
        {"DS2490-1", 0},           {"\\\\.\\DS2490-", 0},  {"\\\\.\\DS2490-1x", 0}, {"sim", 0},
        {"SIM:", 0},               {"--help", 0},            {"COM1", 0},            {"", 0},
        {"/dev/ttyUSB0", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsAdapterNameForm(c.name), c.accepted) << c.name;
    EXPECT_EQ(IsAdapterNameForm(nullptr), 0);
}

TEST(OtherFamilies, HintNamesTheCountsTheLineAndTheFile)
{
    const uint8_t ds1820[] = {0x10};
    const uint8_t ds18b20[] = {0x28};
    const struct {
        const char* name;
        std::vector<std::pair<int, int>> counts;  // family, sensors
        const uint8_t* families;
        int familyCount;
        std::string hint;
    } cases[] = {
        {"none", {}, ds1820, 1, ""},
        {"one DS18B20", {{0x28, 1}}, ds1820, 1,
         "1 DS18B20 (family 28) temperature sensor is on the bus but not read: add the line \"families = 10 28\" to "
         "/etc/x/temp.conf (in place of any families line there) and start temp again\n"},
        {"two families, in code order after the configured one", {{0x42, 1}, {0x10, 3}}, ds18b20, 1,
         "3 DS1820 (family 10) and 1 DS28EA00 (family 42) temperature sensors are on the bus but not read: add the "
         "line \"families = 28 10 42\" to /etc/x/temp.conf (in place of any families line there) and start temp "
         "again\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int counts[256] = {};
        for (const auto& count : c.counts)
            counts[count.first] = count.second;
        EXPECT_EQ(OtherFamiliesHint(counts, c.families, c.familyCount, "/etc/x/temp.conf"), c.hint);
    }
}

}  // namespace
