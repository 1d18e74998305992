// What a finished cycle hands to the outputs beyond the data files (history,
// metrics). The cycle publishes one report after temp.pd is updated; the
// outputs run on a worker thread of their own, so a slow disk or a locked
// database never lengthens the cycle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/clock.h"
#include "support/serial_number.h"
#include "support/temp_config.h"

// The place table's label length and the cycle's sensor slots, as the report
// carries them.
constexpr int TABLE_LABEL_CHARS = 39;
constexpr int SENSOR_SLOTS = 40;

enum class ReadingOutcome : uint8_t {
    Good = 0,
    NoPresence = 1,            // the sensor did not answer its selection
    Crc = 2,                   // the scratchpad failed its CRC8 (or the block exchange failed)
    ConversionIncomplete = 3,  // the bus was not released after the convert wait
    CountPerCZero = 4,         // COUNT_PER_C 0: no extended temperature
    PowerOnValue = 5,          // the power-on value in a sensor's first cycle
};
constexpr int READING_OUTCOME_COUNT = 6;
// "good", "no_presence", "crc", "conversion_incomplete", "count_per_c_zero", "power_on_value".
const char* ReadingOutcomeName(ReadingOutcome outcome);

struct SensorReading {
    SerialNumber serial;
    char serialText[17];
    int tableIndex;          // the sensor's record in temp.pd, -1 when it has none
    int place;               // the PLACE number of its table line (what the user sees), -1 when it has none
    char label[TABLE_LABEL_CHARS + 1];
    WallTime stamp;          // the measurement line's stamp (when the scratchpad was read)
    ReadingOutcome outcome;
    bool hasWhole;           // the scratchpad passed its CRC: `whole` is valid
    double whole;
    double extended;         // valid when outcome is Good
    uint8_t scratchpad[9];   // valid when hasWhole
};

struct CycleReport {
    WallTime started;        // the convert command
    WallTime ended;          // temp.pd updated
    uint32_t previousPeriodMs;  // the whole previous cycle, sync wait included; 0 for the first
    uint32_t cycleNumber;    // 1 for the first cycle
    bool conversionComplete;
    int count;               // sensors listed and read this cycle
    SensorReading readings[SENSOR_SLOTS];
    // The adapter: open, and no reinitialisation failed this cycle (so it answers).
    bool adapterOpen;
    uint32_t adapterReinitializations;  // recoveries since the opening
    const char* adapterName;            // the device name from the command line
};

// The version the banner shows.
constexpr const char* LoggerVersion = "10.00";

// One output, as a table of operations. Every member runs on the outputs'
// worker thread, never on the cycle's.
struct CycleOutputOps {
    const char* name;
    // Opens the output for this run. Returns 1 when it is active, 0 when the
    // settings leave it off or it can't start (the output logs why).
    int (*open)(const TempConfig& config);
    // One finished cycle. Failures are the output's own to log (once when a
    // failure starts, once when it ends); it never stops the logger.
    void (*cycle)(const CycleReport& report);
    // Flushes and closes. May be null.
    void (*close)();
};

// The outputs built in, in the order they run.
extern const CycleOutputOps* const BuiltinOutputs[];
extern const int BuiltinOutputCount;

// Starts the worker and opens each output with `config`. Idempotent.
void OutputsOpen(const TempConfig& config);
// Hands a copy of the report to the worker and returns at once. When the
// worker has fallen far behind, the oldest waiting report is dropped.
void OutputsPublish(const CycleReport& report);
// Waits until every published report has been handled.
void OutputsFlush();
// Flushes, closes each output and stops the worker.
void OutputsClose();

// For outputs on the worker thread: queues an event-log entry that the cycle
// writes on its own thread (the event log and the console are the cycle's).
void OutputsLogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Hands over the queued entries, oldest first, and empties the queue. The
// cycle writes them to its event log before it publishes a report, and after
// the outputs are closed.
std::vector<std::string> OutputsTakeEvents();
