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

#include "logger/logger.h"
#include "outputs/metrics.h"
#include "outputs/outputs.h"

extern const CycleOutputOps MetricsOutput;

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

SensorReading Reading(const char* serial, int index, const char* label, ReadingOutcome outcome, double extended,
                      time_t seconds)
{
    SensorReading r{};
    std::snprintf(r.serialText, sizeof r.serialText, "%s", serial);
    r.tableIndex = index;
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

// A sensor that stops answering keeps its temperature and its last-good time;
// the failures count by kind.
TEST(MetricsText, SeriesOfASensorThatStopsAnsweringStayWithTheirLastValues)
{
    MetricsState state;
    state.logger = "hall \"B\"";
    EXPECT_EQ(MetricsText(state), "");

    MetricsUpdate(&state, Cycle(1, {Reading(A, 0, "Hall", ReadingOutcome::Good, 21.5, 1700000010),
                                    Reading(B, -1, "", ReadingOutcome::Crc, 0, 1700000010)}));
    MetricsUpdate(&state, Cycle(2, {Reading(A, 0, "Hall", ReadingOutcome::NoPresence, 0, 1700000020),
                                    Reading(B, -1, "", ReadingOutcome::Good, -0.0625, 1700000020)}));
    MetricsUpdate(&state, Cycle(3, {Reading(A, 0, "Hall", ReadingOutcome::NoPresence, 0, 1700000030),
                                    Reading(B, -1, "", ReadingOutcome::CountPerCZero, 0, 1700000030)}));
    std::string text = MetricsText(state);
    const std::string a = "logger=\"hall \\\"B\\\"\",serial=\"" + std::string(A) + "\",place=\"0\",label=\"Hall\"";
    const std::string b = "logger=\"hall \\\"B\\\"\",serial=\"" + std::string(B) + "\",place=\"\",label=\"\"";
    for (const std::string& line : {
             "temp_sensor_temperature_celsius{" + a + "} 21.5\n",
             "temp_sensor_temperature_celsius{" + b + "} -0.0625\n",
             "temp_sensor_last_good_timestamp_seconds{" + a + "} 1700000010.250\n",
             "temp_sensor_last_good_timestamp_seconds{" + b + "} 1700000020.250\n",
             "temp_sensor_good_readings_total{" + a + "} 1\n",
             "temp_sensor_failed_readings_total{" + a + ",kind=\"no_presence\"} 2\n",
             "temp_sensor_failed_readings_total{" + a + ",kind=\"crc\"} 0\n",
             "temp_sensor_failed_readings_total{" + b + ",kind=\"crc\"} 1\n",
             "temp_sensor_failed_readings_total{" + b + ",kind=\"count_per_c_zero\"} 1\n",
             std::string("temp_cycles_total{logger=\"hall \\\"B\\\"\"} 3\n"),
             std::string("temp_cycle_duration_seconds{logger=\"hall \\\"B\\\"\"} 1.081\n"),
             std::string("temp_cycle_period_seconds{logger=\"hall \\\"B\\\"\"} 2.75\n"),
             std::string("temp_cycle_end_timestamp_seconds{logger=\"hall \\\"B\\\"\"} 1700000031.081\n"),
             std::string("temp_info{logger=\"hall \\\"B\\\"\",version=\"10.00\",adapter=\"\\\\\\\\.\\\\DS2490-1\"} 1\n"),
         })
        EXPECT_EQ(Count(text, line), 1) << line << "\nin:\n" << text;
    // Every family once, with its help and type; every sample carries the logger.
    EXPECT_EQ(Count(text, "# HELP "), 13);
    EXPECT_EQ(Count(text, "# TYPE "), 13);
    EXPECT_EQ(Count(text, "\n") - 26, Count(text, "{logger=\"hall \\\"B\\\"\""));
    EXPECT_EQ(Count(text, "temp_sensor_failed_readings_total{"), 2 * (READING_OUTCOME_COUNT - 1));
}

// The output itself, in a scratch folder with the event log inside it.
class MetricsOutputRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/metrics_unit_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ErrorFilePath = dir_ + "/USBerr.txt";
    }
    void TearDown() override
    {
        ErrorFilePath = "USBerr.txt";
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    std::string dir_;
};

// A file that can't be written is logged once when that starts and once when
// it ends; the closing file says the adapter is closed.
TEST_F(MetricsOutputRun, WriteFailureIsLoggedWhenItStartsAndEnds)
{
    TempConfig config;
    EXPECT_EQ(MetricsOutput.open(config), 0);  // no `metrics`: off
    config.metricsFile = dir_ + "/sub/m.prom";
    config.metricsName = "lab";
    ASSERT_EQ(MetricsOutput.open(config), 1);
    for (uint32_t n = 1; n <= 3; ++n)
        MetricsOutput.cycle(Cycle(n, {Reading(A, 0, "Hall", ReadingOutcome::Good, 21.5, 1700000000)}));
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    for (uint32_t n = 4; n <= 5; ++n)
        MetricsOutput.cycle(Cycle(n, {Reading(A, 0, "Hall", ReadingOutcome::Good, 21.5, 1700000000)}));
    std::string text = ReadFile(config.metricsFile);
    EXPECT_EQ(Count(text, "temp_cycles_total{logger=\"lab\"} 5\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_adapter_open{logger=\"lab\"} 1\n"), 1) << text;
    MetricsOutput.close();
    text = ReadFile(config.metricsFile);
    EXPECT_EQ(Count(text, "temp_adapter_open{logger=\"lab\"} 0\n"), 1) << text;
    EXPECT_EQ(Count(text, "temp_sensor_temperature_celsius{"), 1) << text;
    struct stat info;
    EXPECT_NE(stat((config.metricsFile + ".tmp").c_str(), &info), 0);

    LogOutputEvents();
    std::string log = ReadFile(ErrorFilePath);
    EXPECT_EQ(Count(log, "\r\n"), 2) << log;
    EXPECT_EQ(Count(log, "Metrics file " + config.metricsFile + " not written, can't open " + config.metricsFile +
                             ".tmp: No such file or directory\r\n"),
              1)
        << log;
    EXPECT_EQ(Count(log, "Metrics file " + config.metricsFile + " written again\r\n"), 1) << log;
}

}  // namespace
