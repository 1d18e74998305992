// The metrics text: label escaping, the state kept across cycles, and the
// output's file replacement and its failure log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#ifndef _WIN32
#include <sys/syscall.h>
#endif

#include "logger/config.h"
#include "logger/logger.h"
#include "backends/backends.h"
#include "onewire/port.h"
#include "outputs/metrics.h"
#include "outputs/outputs.h"
#include "support/clock.h"
#include "tests/common/scratch_dir.h"

extern const CycleOutputOps MetricsOutput;

namespace {

#ifndef _WIN32
// Each fsync while a test watches: the name the descriptor had at that moment
// and what that file held, so a test sees what was on the disk before a rename.
struct Synced {
    std::string path;
    std::string text;
};
std::vector<Synced>* SyncLog = nullptr;
#endif

std::string ReadFile(const std::string& path);

}  // namespace

#ifndef _WIN32
// Takes the place of the C library's fsync in this program, and does its work.
extern "C" int fsync(int fd)
{
    if (SyncLog) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        char target[4096];
        ssize_t length = readlink(link, target, sizeof target - 1);
        std::string path = length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
        SyncLog->push_back({path, ReadFile(path)});
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}
#endif

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

TEST(MetricsEscapeLabel, EscapesTheFormatsThreeCharactersAndReplacesBytesThatAreNotUtf8)
{
    const struct {
        const char* raw;
        const char* escaped;
    } cases[] = {
        {"Kitchen", "Kitchen"},
        {"", ""},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\temp\\", "C:\\\\temp\\\\"},
        {"\\\\.\\DS2490-1", "\\\\\\\\.\\\\DS2490-1"},
        {"two\nlines", "two\\nlines"},
        {"tab\tand\rcr", "tab\tand\rcr"},  // only the three are escaped
        {"K\xC3\xBC" "che 21\xC2\xB0", "K\xC3\xBC" "che 21\xC2\xB0"},       // UTF-8 kept: Küche 21°
        {"\xE6\xB8\xA9\xE5\xBA\xA6", "\xE6\xB8\xA9\xE5\xBA\xA6"},             // three-byte characters
        {"\xF0\x9F\x8C\xA1", "\xF0\x9F\x8C\xA1"},                             // four bytes: a thermometer
        {"K\xFC" "che", "K\xEF\xBF\xBD" "che"},                               // Latin-1 ü: replaced
        {"\xC3", "\xEF\xBF\xBD"},                                             // cut-short sequence at the end
        {"\xC3\"", "\xEF\xBF\xBD\\\""},                                       // a quote is no continuation
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                             // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},             // a surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
        {"\x80\\\xFF\n", "\xEF\xBF\xBD\\\\\xEF\xBF\xBD\\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MetricsEscapeLabel(c.raw), c.escaped) << c.raw;
}

TEST(MetricsNumber, PrintsReadingsExactlyAndSpecialValuesAsTheFormatSpellsThem)
{
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {21.0, "21"}, {25.0625, "25.0625"}, {-0.0625, "-0.0625"}, {-55.0, "-55"}, {125.0, "125"},
        {2.776, "2.776"}, {0.1, "0.1"}, {0.1 + 0.2, "0.30000000000000004"}, {0.0 / 0.0, "NaN"},
        {1.0 / 0.0, "+Inf"}, {-1.0 / 0.0, "-Inf"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MetricsNumber(c.value), c.text) << c.value;
    EXPECT_EQ(MetricsSeconds({1700000000, 5}), "1700000000.005");
}

SensorReading Reading(const char* serial, int place, const char* label, ReadingOutcome outcome, double extended,
                      time_t seconds)
{
    SensorReading r{};
    std::snprintf(r.serialText, sizeof r.serialText, "%s", serial);
    r.place = place;
    r.tableIndex = place >= 0 ? 0 : -1;  // the record is not the place
    std::snprintf(r.label, sizeof r.label, "%s", label);
    r.outcome = outcome;
    r.extended = extended;
    r.stamp = {seconds, 250};
    return r;
}

CycleReport Cycle(uint32_t number, std::initializer_list<SensorReading> readings)
{
    CycleReport report{};
    report.cycleNumber = number;
    report.started = {1700000000 + 10 * static_cast<time_t>(number), 0};
    report.ended = {report.started.seconds + 1, 81};
    report.durationMs = 1081;
    report.previousPeriodMs = number > 1 ? 2750 : 0;
    report.conversionComplete = true;
    report.adapterOpen = true;
    report.adapterName = "\\\\.\\DS2490-1";
    for (const SensorReading& r : readings)
        report.readings[report.count++] = r;
    return report;
}

const char* const A = "10000000000011AB";
const char* const B = "10000000000022CD";

// A sensor whose latest reading failed, of whatever kind, has no temperature;
// its last-good time and counters stay, and the failure counts in its kind.
// The `place` label is the table line's PLACE number.
TEST(MetricsText, ASensorWhoseLatestReadingFailedHasNoTemperature)
{
    const std::string a = "logger=\"hall \\\"B\\\"\",serial=\"" + std::string(A) + "\",place=\"7\",label=\"Hall\"";
    const std::string b = "logger=\"hall \\\"B\\\"\",serial=\"" + std::string(B) + "\",place=\"\",label=\"\"";
    for (ReadingOutcome failure : {ReadingOutcome::NoPresence, ReadingOutcome::Crc, ReadingOutcome::ConversionIncomplete,
                                   ReadingOutcome::CountPerCZero, ReadingOutcome::PowerOnValue}) {
        SCOPED_TRACE(ReadingOutcomeName(failure));
        const std::string kind = std::string(",kind=\"") + ReadingOutcomeName(failure) + "\"} ";
        MetricsState state;
        state.logger = "hall \"B\"";
        EXPECT_EQ(MetricsText(state), "");
        // A failed reading may carry a value (a power-on 85, an unfinished conversion): it is not taken.
        MetricsUpdate(&state, Cycle(1, {Reading(A, 7, "Hall", ReadingOutcome::Good, 21.5, 1700000010),
                                        Reading(B, -1, "", failure, 85, 1700000010)}));
        MetricsUpdate(&state, Cycle(2, {Reading(A, 7, "Hall", failure, 85, 1700000020),
                                        Reading(B, -1, "", ReadingOutcome::Good, -0.0625, 1700000020)}));
        MetricsUpdate(&state, Cycle(3, {Reading(A, 7, "Hall", failure, 85, 1700000030),
                                        Reading(B, -1, "", ReadingOutcome::Good, 0.5, 1700000030)}));
        std::string text = MetricsText(state);
        for (const std::string& line : {
                 "temp_sensor_temperature_celsius{" + b + "} 0.5\n",
                 "temp_sensor_last_good_timestamp_seconds{" + a + "} 1700000010.250\n",
                 "temp_sensor_last_good_timestamp_seconds{" + b + "} 1700000030.250\n",
                 "temp_sensor_good_readings_total{" + a + "} 1\n",
                 "temp_sensor_good_readings_total{" + b + "} 2\n",
                 "temp_sensor_failed_readings_total{" + a + kind + "2\n",
                 "temp_sensor_failed_readings_total{" + b + kind + "1\n",
                 std::string("temp_up{logger=\"hall \\\"B\\\"\"} 1\n"),
                 std::string("temp_cycles_total{logger=\"hall \\\"B\\\"\"} 3\n"),
                 std::string("temp_cycle_period_seconds{logger=\"hall \\\"B\\\"\"} 2.75\n"),
                 std::string("temp_cycle_end_timestamp_seconds{logger=\"hall \\\"B\\\"\"} 1700000031.081\n"),
                 std::string("temp_info{logger=\"hall \\\"B\\\"\",version=\"10.00\",adapter=\"\\\\\\\\.\\\\DS2490-1\"} 1\n"),
             })
            EXPECT_EQ(Count(text, line), 1) << line << "\nin:\n" << text;
        EXPECT_EQ(Count(text, "temp_sensor_temperature_celsius{"), 1) << text;
        // The other kinds stay at 0: every kind is there from the first cycle.
        EXPECT_EQ(Count(text, "temp_sensor_failed_readings_total{"), 2 * (READING_OUTCOME_COUNT - 1)) << text;
        EXPECT_EQ(Count(text, "temp_sensor_failed_readings_total{" + a + ",kind="), READING_OUTCOME_COUNT - 1);
        // Every family once, with its help and type; every sample carries the logger.
        EXPECT_EQ(Count(text, "# HELP "), 15);
        EXPECT_EQ(Count(text, "# TYPE "), 15);
        EXPECT_EQ(Count(text, "\n") - 30, Count(text, "{logger=\"hall \\\"B\\\"\""));

        // A good reading brings the temperature back.
        MetricsUpdate(&state, Cycle(4, {Reading(A, 7, "Hall", ReadingOutcome::Good, 22, 1700000040),
                                        Reading(B, -1, "", ReadingOutcome::Good, 0.5, 1700000040)}));
        EXPECT_EQ(Count(MetricsText(state), "temp_sensor_temperature_celsius{" + a + "} 22\n"), 1);
    }
}

// The output itself, in a scratch folder with the event log inside it.
class MetricsOutputRun : public ::testing::Test {
protected:
    void SetUp() override { ErrorFilePath = dir_ + "/USBerr.txt"; }
    void TearDown() override { ErrorFilePath = "USBerr.txt"; }
    ScratchDir scratch_{"metrics_unit"};
    std::string dir_ = scratch_.path();
};

// A file that can't be written is logged once when that starts and once when
// it ends; the closing file says the logger is down and the adapter closed,
// and has no temperature left, while counters and last-good times stay.
TEST_F(MetricsOutputRun, WriteFailureIsLoggedWhenItStartsAndEnds)
{
    TempConfig config;
    EXPECT_EQ(MetricsOutput.open(config), 0);  // no `metrics`: off
    config.outputSettings["metrics"] = dir_ + "/sub/m.prom";
    config.outputSettings["metrics-name"] = "lab";
    ASSERT_EQ(MetricsOutput.open(config), 1);
    for (uint32_t n = 1; n <= 3; ++n)
        MetricsOutput.cycle(Cycle(n, {Reading(A, 7, "Hall", ReadingOutcome::Good, 21.5, 1700000000)}));
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    for (uint32_t n = 4; n <= 5; ++n)
        MetricsOutput.cycle(Cycle(n, {Reading(A, 7, "Hall", ReadingOutcome::Good, 21.5, 1700000000)}));
    std::string text = ReadFile(config.outputSettings["metrics"]);
    EXPECT_EQ(Count(text, "temp_cycles_total{logger=\"lab\"} 5\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_adapter_open{logger=\"lab\"} 1\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_up{logger=\"lab\"} 1\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_sensor_temperature_celsius{"), 1) << text;
    MetricsOutput.close();
    text = ReadFile(config.outputSettings["metrics"]);
    EXPECT_EQ(Count(text, "temp_up{logger=\"lab\"} 0\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_adapter_open{logger=\"lab\"} 0\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_sensor_temperature_celsius{"), 0) << text;
    EXPECT_EQ(Count(text, "temp_sensor_last_good_timestamp_seconds{"), 1) << text;
    EXPECT_EQ(Count(text, "temp_sensor_good_readings_total{logger=\"lab\",serial=\"" + std::string(A) + "\",place=\"7\",label=\"Hall\"} 5\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_cycles_total{logger=\"lab\"} 5\n"), 1) << text;
    struct stat info;
    EXPECT_NE(stat((config.outputSettings["metrics"] + ".tmp").c_str(), &info), 0);

    LogOutputEvents();
    std::string log = ReadFile(ErrorFilePath);
    EXPECT_EQ(Count(log, "\r\n"), 2) << log;
    EXPECT_EQ(Count(log, "Metrics file " + config.outputSettings["metrics"] + " not written, can't open " + config.outputSettings["metrics"] +
                             ".tmp: No such file or directory\r\n"),
              1)
        << log;
    EXPECT_EQ(Count(log, "Metrics file " + config.outputSettings["metrics"] + " written again\r\n"), 1) << log;
}

// A clock whose sleeps advance it at once, and whose wall clock jumps by
// `WallStep` seconds at every look, as on a board whose time is being set.
uint64_t FakeMicros = 0;
time_t FakeWall = 1700000000;
time_t WallStep = 0;
uint64_t FakeNow(void*) { return FakeMicros; }
void FakeSleep(void*, uint64_t micros) { FakeMicros += micros; }
WallTime FakeWallNow(void*)
{
    FakeWall += WallStep;
    return WallTime{FakeWall, 0};
}

// The cycle's duration comes from the monotonic clock: however the wall clock
// jumps during the cycle, it is the cycle's real length.
TEST_F(MetricsOutputRun, CycleDurationIgnoresWallClockJumps)
{
    char* old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    {
        std::ofstream bus("bus.txt");
        bus << "sensor 10000000000001 21\n";
    }
    ClearDirectAccessTable();
    Config = TempConfig();
    Config.outputSettings["metrics"] = dir_ + "/m.prom";
    Config.outputSettings["metrics-name"] = "lab";
    DriverRegisterBuiltinBackends();
    int port = PortOpenFirstFree("sim:bus.txt");
    ASSERT_GE(port, 0);
    ClockSource fake{FakeNow, FakeSleep, FakeWallNow, nullptr};
    ClockInstall(&fake);
    testing::internal::CaptureStdout();
    SerialNumber sensors[SENSOR_SLOTS];
    int count = FindConfiguredSensors(port, sensors, SENSOR_SLOTS);
    OutputsOpen(Config);
    std::vector<std::string> durations;
    for (time_t step : {time_t{-3600}, time_t{86400}, time_t{0}}) {
        WallStep = step;
        uint64_t before = FakeMicros;
        RunMeasurementCycle(port, sensors, count);
        OutputsFlush();
        uint64_t whole = FakeMicros - before;  // the cycle and its wait for the next
        std::string text = ReadFile(Config.outputSettings["metrics"]);
        size_t at = text.find("temp_cycle_duration_seconds{logger=\"lab\"} ");
        ASSERT_NE(at, std::string::npos) << text;
        double seconds = std::atof(text.c_str() + text.find("} ", at) + 2);
        EXPECT_GT(seconds, 0.5) << "wall clock step " << step << "\n" << text;
        EXPECT_LT(seconds, whole / 1e6) << "wall clock step " << step << "\n" << text;
    }
    OutputsClose();
    testing::internal::GetCapturedStdout();
    PortClose(port);
    ClockInstall(nullptr);
    Config = TempConfig();
    LogOutputEvents();
    ASSERT_EQ(chdir(old), 0);
    std::free(old);
}

#ifndef _WIN32
// Every file is whole on the disk under its .tmp name before the rename puts
// it in place, so a power cut leaves the old text or the new one.
TEST_F(MetricsOutputRun, EachFileIsSyncedWholeBeforeTheRename)
{
    TempConfig config;
    config.outputSettings["metrics"] = dir_ + "/m.prom";
    config.outputSettings["metrics-name"] = "lab";
    ASSERT_EQ(MetricsOutput.open(config), 1);
    std::vector<Synced> synced;
    SyncLog = &synced;
    for (uint32_t n = 1; n <= 3; ++n) {
        MetricsOutput.cycle(Cycle(n, {Reading(A, 7, "Hall", ReadingOutcome::Good, 20.0 + n, 1700000000)}));
        ASSERT_EQ(synced.size(), n);
        EXPECT_EQ(synced.back().path, config.outputSettings["metrics"] + ".tmp");
        EXPECT_EQ(synced.back().text, ReadFile(config.outputSettings["metrics"]));
        EXPECT_EQ(Count(synced.back().text, "temp_cycles_total{logger=\"lab\"} " + std::to_string(n) + "\n"), 1);
    }
    MetricsOutput.close();
    SyncLog = nullptr;
    ASSERT_EQ(synced.size(), 4u);
    EXPECT_EQ(synced.back().text, ReadFile(config.outputSettings["metrics"]));
    EXPECT_EQ(Count(synced.back().text, "temp_up{logger=\"lab\"} 0\n"), 1);
}
#endif

}  // namespace
