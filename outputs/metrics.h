// The metrics output's state and its Prometheus text: what every sensor
// last read and how often each outcome came, kept across cycles, and the
// file's text made from it. Pure: no files, no clock, no event log.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "outputs/outputs.h"

struct MetricsSensor {
    std::string place;   // the PLACE number of its table line, empty without one
    std::string label;   // the table's label, raw bytes
    bool everGood = false;        // a good reading has come: lastGood is valid
    bool current = false;         // the latest reading was good: temperature is valid
    double temperature = 0;       // extended °C of the latest reading, when good
    WallTime lastGood{};
    std::array<uint64_t, READING_OUTCOME_COUNT> outcomes{};  // readings per ReadingOutcome
};

struct MetricsState {
    std::string logger;   // the value of the `logger` label
    bool haveCycle = false;
    bool up = true;       // false once the logger has stopped: the last file says so
    CycleReport last{};   // the latest cycle
    // Every sensor seen since the start, by serial text; a sensor that stops
    // answering keeps its entry, so its counters and last-good time stay.
    std::map<std::string, MetricsSensor> sensors;
};

// temp.conf's metrics and metrics-name (or the service's TEMP_METRICS and
// TEMP_METRICS_NAME), over their defaults.
struct MetricsSettings {
    std::string file;  // metrics: the text file written after every cycle; empty is off
    std::string name;  // metrics-name: the `logger` label; empty means the working directory
};
MetricsSettings MetricsSettingsOf(const TempConfig& config);

// A label value as the text format wants it: backslash, double quote and line
// feed escaped; bytes that are not UTF-8 replaced by U+FFFD.
std::string MetricsEscapeLabel(const std::string& value);
// A sample value: exact for readings (multiples of 1/16), no exponent below 1e15.
std::string MetricsNumber(double value);
// Unix seconds with the milliseconds, e.g. "1700000000.123".
std::string MetricsSeconds(WallTime when);

// Takes one finished cycle into the state.
void MetricsUpdate(MetricsState* state, const CycleReport& report);
// The logger has stopped: no temperature is current, the adapter is closed,
// and `temp_up` says 0.
void MetricsStop(MetricsState* state);
// The whole file: every family with # HELP and # TYPE, every series with the
// `logger` label, one "\n" per line. Empty until the first cycle.
std::string MetricsText(const MetricsState& state);
