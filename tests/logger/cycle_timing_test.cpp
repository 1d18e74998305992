// The cycle's fixed waits, measured on the virtual clock between the requests
// the logger makes to the adapter. The software adapter runs without its timing
// model, so requests take no time and every gap is exactly the logger's pauses.
#include <regex>
#include <set>

#include "tests/logger/recorded_run.h"

namespace recorded {
namespace {

using Pauses = std::vector<std::string>;

const char ConvertT[] = "V1:1053:0044";  // Convert T with the strong pull-up after it
const char Halt[] = "V0:0003:0000";      // ends the strong pull-up
const char Reset[] = "V1:084B:0001";
const char ReadScratchpad[] = "WBEFFFFFFFFFFFFFFFFFF";

Pauses Repeat(const std::string& pause, int times, Pauses before = {})
{
    before.insert(before.end(), static_cast<size_t>(times), pause);
    return before;
}

// Indexes of the Convert T requests.
std::vector<size_t> Conversions(const Timeline& events)
{
    std::vector<size_t> at;
    for (size_t i = FindFrom(events, ConvertT); i < events.size(); i = FindFrom(events, ConvertT, i + 1))
        at.push_back(i);
    return at;
}

// The scratchpad reads between two events: the index of the read that brings
// the block back, and the serial selected before it.
std::vector<std::pair<size_t, std::string>> Reads(const Timeline& events, size_t from, size_t to)
{
    std::vector<std::pair<size_t, std::string>> reads;
    for (size_t i = FindFrom(events, ReadScratchpad, from); i < to; i = FindFrom(events, ReadScratchpad, i + 1)) {
        std::string serial;
        for (size_t j = i; j-- > from;)
            if (events[j].what.rfind("W55", 0) == 0) {
                serial = events[j].what.substr(3);
                break;
            }
        reads.push_back({FindFrom(events, "R10", i), serial});
    }
    return reads;
}

using CycleTiming = RecordedRun;

TEST_F(CycleTiming, ConversionWaitRunsFromConvertTToTheEndOfThePullUp)
{
    Result r = Run("timing off\nsensor 10000000000011 21\nsensor 10000000000012 22\nfault interrupt conversion=3\n");
    ASSERT_EQ(r.status, 0) << r.console;
    const std::vector<size_t> converts = Conversions(r.events);
    ASSERT_EQ(converts.size(), 3u);
    for (size_t convert : converts) {
        // The echo of the command byte, then the wait, then the halt.
        const size_t echo = NextRequest(r.events, convert);
        const size_t halt = NextRequest(r.events, echo);
        ASSERT_LT(halt, r.events.size());
        EXPECT_EQ(r.events[echo].what, "R1");
        EXPECT_EQ(r.events[halt].what, Halt);
        EXPECT_EQ(PausesBetween(r.events, echo, halt), Pauses{"P850"});
        EXPECT_EQ(MsBetween(r.events, convert, halt), 850.0);
    }
}

TEST_F(CycleTiming, HundredMsAfterEachGoodReadingNoneAfterAFailedOne)
{
    // In search order 04, 02, 01, 03: a reading without COUNT_PER_C (its line is
    // written, but it counts as failed) and a bad CRC, each before a good one.
    const std::set<std::string> failing = {FullSerial("10000000000001"), FullSerial("10000000000004")};
    Result r = Run("timing off\nsensor 10000000000001 21\nsensor 10000000000002 22\nsensor 10000000000003 23\n"
                   "sensor 10000000000004 24\nfault crc 10000000000001 always\n"
                   "fault count-per-c-zero 10000000000004 always\nfault interrupt conversion=3\n");
    ASSERT_EQ(r.status, 0) << r.console;
    std::vector<size_t> converts = Conversions(r.events);
    ASSERT_EQ(converts.size(), 3u);
    converts.push_back(r.events.size());
    int good = 0, failed = 0;
    for (size_t c = 0; c + 1 < converts.size(); ++c) {
        const auto reads = Reads(r.events, converts[c], converts[c + 1]);
        ASSERT_EQ(reads.size(), 4u);
        ASSERT_EQ(failing.count(reads.back().second), 0u) << "the last read of a cycle also waits for the next cycle";
        for (size_t k = 0; k + 1 < reads.size(); ++k) {
            const size_t read = reads[k].first;
            const size_t next = NextRequest(r.events, read);
            const bool ok = failing.count(reads[k].second) == 0;
            SCOPED_TRACE("cycle " + std::to_string(c + 1) + " sensor " + reads[k].second);
            EXPECT_EQ(PausesBetween(r.events, read, next), ok ? Pauses{"P100"} : Pauses{});
            EXPECT_EQ(MsBetween(r.events, read, next), ok ? 100.0 : 0.0);
            (ok ? good : failed) += 1;
        }
    }
    EXPECT_EQ(good, 3);
    EXPECT_EQ(failed, 6);
}

TEST_F(CycleTiming, EndOfCycleWaitFollowsTheSecondLoggersMarkers)
{
    const std::string dots10(10, '.'), dots29(29, '.');
    struct Case {
        const char* name;
        std::vector<std::string> markers;
        Trigger trigger;
        Pauses wait;  // after the 100 ms that follow the cycle's good reading
        std::string line;
    } cases[] = {
        {"alone", {}, {}, Repeat("P200", 8, {"P100"}), "Next cycle........"},
        {"second logger running", {"SerialPresent"}, {}, Repeat("P250", 29),
         "Waiting for next Serial Sync" + dots29},
        {"second logger done", {"SerialPresent", "SerialSyncStart"}, {}, {}, " Starting"},
        {"marker comes at poll 11", {"SerialPresent"}, {250, 10, "SerialSyncStart"}, Repeat("P250", 10),
         "Waiting for next Serial Sync" + dots10 + " Starting"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Result r = Run("timing off\nsensor 10000000000021 20\nfault interrupt conversion=2\n", c.markers, c.trigger);
        ASSERT_EQ(r.status, 0) << r.console;
        const std::vector<size_t> converts = Conversions(r.events);
        ASSERT_EQ(converts.size(), 2u);
        const auto reads = Reads(r.events, converts[0], converts[1]);
        ASSERT_EQ(reads.size(), 1u);
        // From the cycle's last reading to the next cycle's first request.
        const size_t read = reads[0].first;
        const size_t next = NextRequest(r.events, read);
        EXPECT_EQ(r.events.at(next).what, Reset);
        Pauses expected = {"P100"};
        expected.insert(expected.end(), c.wait.begin(), c.wait.end());
        EXPECT_EQ(PausesBetween(r.events, read, next), expected);
        double total = 0;
        for (const std::string& pause : expected)
            total += std::stod(pause.substr(1));
        EXPECT_EQ(MsBetween(r.events, read, next), total);
        std::smatch m;
        EXPECT_TRUE(std::regex_search(r.console, m, std::regex("\n\n" + std::regex_replace(c.line, std::regex("\\."), "\\.") +
                                                               R"( \d\d:\d\d:\d\d\.[ \d]{2}\d\n)")))
            << r.console;
        EXPECT_FALSE(Exists(W("SerialSyncStart")));
    }
}

TEST_F(CycleTiming, SearchRepeatsEvery5000MsWhileNoSensorAnswers)
{
    // The sensor joins the bus 12 s after the open: three searches find nothing.
    Result r = Run("timing off\nsensor 10000000000031 20\nfault leave 10000000000031 seconds=0-12\n"
                   "fault interrupt conversion=2\n");
    ASSERT_EQ(r.status, 0) << r.console;
    const size_t firstSearch = FindFrom(r.events, "V1:48FD");
    ASSERT_LT(firstSearch, r.events.size()) << "the sensor was found at last";
    int retries = 0;
    for (size_t i = FindFrom(r.events, "P5000"); i < firstSearch; i = FindFrom(r.events, "P5000", i + 1)) {
        size_t before = i;
        while (before > 0 && r.events[before].what[0] == 'P')
            --before;
        const size_t after = NextRequest(r.events, i);
        EXPECT_EQ(r.events[before].what, "S") << "the failed search's reset";
        EXPECT_EQ(r.events[after].what, Reset) << "the next search's reset";
        EXPECT_EQ(PausesBetween(r.events, before, after), Pauses{"P5000"});
        EXPECT_EQ(MsBetween(r.events, before, after), 5000.0);
        ++retries;
    }
    EXPECT_EQ(retries, 3);
    const std::string notFound = "\n\n\nERROR, device DS1920/DS1820 not found!\n";
    size_t shown = 0;
    for (size_t at = r.console.find(notFound); at != std::string::npos; at = r.console.find(notFound, at + 1))
        ++shown;
    EXPECT_EQ(shown, 3u) << r.console;
}

}  // namespace
}  // namespace recorded
