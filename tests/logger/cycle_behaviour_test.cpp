// Whole logger runs: the port opening's error report, the fixed sensor list,
// and the measurement files of a cycle without a good reading.
#include <regex>

#include "tests/logger/recorded_run.h"

namespace recorded {
namespace {

using CycleBehaviour = RecordedRun;

TEST_F(CycleBehaviour, FailedPortOpeningPrintsEveryStackedCodeNewestFirst)
{
    struct Case {
        const char* name;
        std::string bus;
        std::vector<int> codes;  // as printed
    } cases[] = {
        // The status query of the preparation is refused (110), so the adapter does not come up (24).
        {"status refused", "fault refuse-status always\n", {24, 110}},
        {"unplugged", "fault unplug always\n", {24, 110}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Result r = Run("timing off\nsensor 10000000000041 20\n" + c.bus);
        EXPECT_EQ(r.status, 1);
        std::vector<int> printed;
        const std::regex error(R"(Error (\d+): [^\r\n]+\r\n)");
        for (std::sregex_iterator it(r.console.begin(), r.console.end(), error), end; it != end; ++it)
            printed.push_back(std::stoi((*it)[1]));
        EXPECT_EQ(printed, c.codes) << r.console;
        EXPECT_EQ(r.console.find("Port opened"), std::string::npos);
        EXPECT_TRUE(Exists(W("USBPresent")));
    }
}

TEST_F(CycleBehaviour, SensorJoiningAfterTheListingIsNeverRead)
{
    const std::string early = FullSerial("10000000000051"), late = FullSerial("10000000000052");
    Result r = Run("timing off\nsensor 10000000000051 20\nsensor 10000000000052 21\n"
                   "fault leave 10000000000052 seconds=0-1\nfault interrupt conversion=4\n");
    ASSERT_EQ(r.status, 0) << r.console;
    const std::string listing = r.console.substr(0, r.console.find("Enter to continue"));
    EXPECT_NE(listing.find("Temp      " + early + " "), std::string::npos) << listing;
    EXPECT_EQ(listing.find(late), std::string::npos) << listing;

    // Four cycles, all searches before the first, and only the early sensor selected.
    const size_t firstConvert = FindFrom(r.events, "V1:1053:0044");
    ASSERT_LT(firstConvert, r.events.size());
    EXPECT_GE(MsBetween(r.events, 0, r.events.size() - 1), 1000.0) << "the late sensor has joined";
    EXPECT_EQ(FindFrom(r.events, "V1:48FD", firstConvert), r.events.size());
    int selections = 0;
    for (const Event& event : r.events) {
        if (event.what.rfind("W55", 0) == 0) {
            EXPECT_EQ(event.what, "W55" + early);
            ++selections;
        }
    }
    EXPECT_EQ(selections, 8) << "two per reading, one reading per cycle";
    const std::string lines = ReadFile(W("tempu.tmp"));
    EXPECT_NE(lines.find(early), std::string::npos);
    EXPECT_EQ(lines.find(late), std::string::npos);
}

TEST_F(CycleBehaviour, CycleWithoutAGoodReadingLeavesBothFilesEmpty)
{
    const std::string serial = FullSerial("10000000000061");
    Result r = Run("timing off\nsensor 10000000000061 20\nfault crc 10000000000061 conversions=2-9\n"
                   "fault interrupt conversion=2\n");
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(Exists(W("tempu.tmp")));
    EXPECT_TRUE(Exists(W("tempu.csv")));
    EXPECT_EQ(ReadFile(W("tempu.tmp")), "");
    EXPECT_EQ(ReadFile(W("tempu.csv")), "");
    // The record keeps the first cycle's reading.
    const std::string pool = ReadFile(W("temp.pd"));
    ASSERT_GE(pool.size(), 100u);
    EXPECT_EQ(pool.substr(15, 16), serial);
    EXPECT_NE(ReadFile(App("USBerr.txt")).find("Error reading temperature, verify device present:1\r\n"),
              std::string::npos);
}

}  // namespace
}  // namespace recorded
