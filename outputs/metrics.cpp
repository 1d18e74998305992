// The metrics state and the Prometheus text made from it.
#include "outputs/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none.
size_t Utf8Length(const std::string& text, size_t at)
{
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    auto follows = [&](size_t i, unsigned low, unsigned high) { return byte(i) >= low && byte(i) <= high; };
    unsigned lead = byte(at);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return follows(at + 1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        // No overlong forms (E0 needs A0..BF) and no surrogates (ED needs 80..9F).
        unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return follows(at + 1, low, high) && follows(at + 2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        // Nothing overlong (F0 needs 90..BF) and nothing past U+10FFFF (F4 needs 80..8F).
        unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return follows(at + 1, low, high) && follows(at + 2, 0x80, 0xBF) && follows(at + 3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

constexpr Family Up = {"temp_up", "gauge", "1 while the logger runs, 0 in the file it writes when it stops."};
constexpr Family Temperature = {"temp_sensor_temperature_celsius", "gauge",
                                "Extended temperature of the sensor's latest reading, in degrees Celsius; "
                                "absent while that reading failed."};
constexpr Family LastGood = {"temp_sensor_last_good_timestamp_seconds", "gauge",
                             "Time of the sensor's latest good reading, in Unix seconds."};
constexpr Family GoodReadings = {"temp_sensor_good_readings_total", "counter",
                                 "Good readings of the sensor since the logger started."};
constexpr Family FailedReadings = {"temp_sensor_failed_readings_total", "counter",
                                   "Failed readings of the sensor since the logger started, by kind of failure."};
constexpr Family SensorsListed = {"temp_sensors_listed", "gauge", "Sensors listed at the start and read every cycle."};
constexpr Family Cycles = {"temp_cycles_total", "counter", "Measurement cycles since the logger started."};
constexpr Family CycleDuration = {"temp_cycle_duration_seconds", "gauge",
                                  "Duration of the latest cycle, from the convert command to the data files updated."};
constexpr Family CyclePeriod = {"temp_cycle_period_seconds", "gauge",
                                "Duration of the whole previous cycle, its wait for the next one included."};
constexpr Family CycleEnd = {"temp_cycle_end_timestamp_seconds", "gauge",
                             "Time the latest cycle updated the data files, in Unix seconds."};
constexpr Family ConversionComplete = {"temp_cycle_conversion_complete", "gauge",
                                       "1 when the sensors released the bus after the latest convert wait, else 0."};
constexpr Family AdapterOpen = {"temp_adapter_open", "gauge",
                                "1 while the adapter is open and answering, 0 when it could not be brought back "
                                "in the latest cycle or the logger has closed it."};
constexpr Family ReinitAttempts = {"temp_adapter_reinit_attempts_total", "counter",
                                   "Reinitialisations of the adapter tried after failed requests since it was "
                                   "opened, successful or not."};
constexpr Family Recoveries = {"temp_adapter_recoveries_total", "counter",
                               "Reinitialisations of the adapter after failed requests that succeeded, since it "
                               "was opened."};
constexpr Family Info = {"temp_info", "gauge", "Always 1: the logger's version and adapter name as labels."};

class Writer {
public:
    explicit Writer(const std::string& logger) : logger_("logger=\"" + MetricsEscapeLabel(logger) + "\"") {}

    void Begin(const Family& family)
    {
        family_ = family.name;
        text_ += std::string("# HELP ") + family.name + " " + family.help + "\n";
        text_ += std::string("# TYPE ") + family.name + " " + family.type + "\n";
    }
    // One sample of the family begun last; `labels` are escaped pairs after `logger`.
    void Sample(const std::string& labels, const std::string& value)
    {
        text_ += family_ + "{" + logger_ + labels + "} " + value + "\n";
    }
    void Only(const Family& family, const std::string& value)
    {
        Begin(family);
        Sample("", value);
    }
    const std::string& Text() const { return text_; }

private:
    std::string logger_;
    std::string family_;
    std::string text_;
};

std::string Label(const char* name, const std::string& value)
{
    return std::string(",") + name + "=\"" + MetricsEscapeLabel(value) + "\"";
}

std::string SensorLabels(const std::string& serial, const MetricsSensor& sensor)
{
    return Label("serial", serial) + Label("place", sensor.place) + Label("label", sensor.label);
}

std::string Count(uint64_t value) { return std::to_string(value); }

}  // namespace

std::string MetricsEscapeLabel(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    size_t at = 0;
    while (at < value.size()) {
        size_t length = Utf8Length(value, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
            ++at;
            continue;
        }
        char c = value[at];
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out.append(value, at, length);
        at += length;
    }
    return out;
}

std::string MetricsNumber(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    if (std::strtod(text, nullptr) != value)
        std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string MetricsSeconds(WallTime when)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%03d", static_cast<long long>(when.seconds), when.milliseconds);
    return text;
}

void MetricsUpdate(MetricsState* state, const CycleReport& report)
{
    state->haveCycle = true;
    state->last = report;
    for (int i = 0; i < report.count && i < SENSOR_SLOTS; ++i) {
        const SensorReading& reading = report.readings[i];
        MetricsSensor& sensor = state->sensors[std::string(reading.serialText, strnlen(reading.serialText, 16))];
        sensor.place = reading.place >= 0 ? std::to_string(reading.place) : std::string();
        sensor.label.assign(reading.label, strnlen(reading.label, sizeof reading.label));
        auto outcome = static_cast<size_t>(reading.outcome);
        if (outcome < READING_OUTCOME_COUNT)
            ++sensor.outcomes[outcome];
        sensor.current = reading.outcome == ReadingOutcome::Good;
        if (sensor.current) {
            sensor.everGood = true;
            sensor.temperature = reading.extended;
            sensor.lastGood = reading.stamp;
        }
    }
}

void MetricsStop(MetricsState* state)
{
    state->up = false;
    state->last.adapterOpen = false;
    for (auto& entry : state->sensors)
        entry.second.current = false;
}

std::string MetricsText(const MetricsState& state)
{
    if (!state.haveCycle)
        return std::string();
    Writer out(state.logger);
    const CycleReport& last = state.last;

    out.Only(Up, state.up ? "1" : "0");
    out.Begin(Temperature);
    for (const auto& [serial, sensor] : state.sensors)
        if (sensor.current)
            out.Sample(SensorLabels(serial, sensor), MetricsNumber(sensor.temperature));
    out.Begin(LastGood);
    for (const auto& [serial, sensor] : state.sensors)
        if (sensor.everGood)
            out.Sample(SensorLabels(serial, sensor), MetricsSeconds(sensor.lastGood));
    out.Begin(GoodReadings);
    for (const auto& [serial, sensor] : state.sensors)
        out.Sample(SensorLabels(serial, sensor), Count(sensor.outcomes[0]));
    out.Begin(FailedReadings);
    for (const auto& [serial, sensor] : state.sensors)
        for (int kind = 1; kind < READING_OUTCOME_COUNT; ++kind)
            out.Sample(SensorLabels(serial, sensor) + Label("kind", ReadingOutcomeName(static_cast<ReadingOutcome>(kind))),
                       Count(sensor.outcomes[static_cast<size_t>(kind)]));

    out.Only(SensorsListed, Count(static_cast<uint64_t>(last.count)));
    out.Only(Cycles, Count(last.cycleNumber));
    out.Only(CycleDuration, MetricsNumber(last.durationMs / 1000.0));
    if (last.previousPeriodMs > 0)
        out.Only(CyclePeriod, MetricsNumber(last.previousPeriodMs / 1000.0));
    out.Only(CycleEnd, MetricsSeconds(last.ended));
    out.Only(ConversionComplete, last.conversionComplete ? "1" : "0");
    out.Only(AdapterOpen, last.adapterOpen ? "1" : "0");
    out.Only(ReinitAttempts, Count(last.adapterReinitAttempts));
    out.Only(Recoveries, Count(last.adapterRecoveries));
    out.Begin(Info);
    out.Sample(Label("version", LoggerVersion) + Label("adapter", last.adapterName ? last.adapterName : ""), "1");
    return out.Text();
}
