// What a finished cycle hands to the outputs beyond the data files (history,
// metrics). The cycle publishes one report after temp.pd is updated; each
// output runs on a thread of its own with a queue of its own, so a slow disk,
// a locked database or a hung publish never lengthens the cycle nor costs
// another output its reports; the close has a bound of its own.
#pragma once

#include <cstddef>
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
    NoPresence = 1,            // the sensor did not answer its selection, or its scratchpad read all ones
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
    uint64_t startedMicros;  // the same moment on the monotonic clock (ClockMicros)
    WallTime ended;          // temp.pd updated
    uint32_t durationMs;     // from the convert command to temp.pd updated, by the monotonic clock
    uint32_t previousPeriodMs;  // the whole previous cycle, sync wait included; 0 for the first
    uint32_t cycleNumber;    // 1 for the first cycle
    bool conversionComplete;
    int count;               // sensors listed and read this cycle
    SensorReading readings[SENSOR_SLOTS];
    // The adapter: open, and no reinitialisation failed this cycle (so it answers).
    bool adapterOpen;
    // Since the opening (its own preparation not counted): reinitialisations
    // tried after failed requests, and recoveries: the adapter passing a
    // scratchpad again after a reinitialisation failed.
    uint32_t adapterReinitAttempts;
    uint32_t adapterRecoveries;
    const char* adapterName;            // the device name from the command line
};

// The version the banner shows.
constexpr const char* LoggerVersion = TEMP_VERSION;

// One output, as a table of operations. `setting` and `open` run on the
// cycle's thread, before the output's thread starts; `cycle` and `close` on
// the output's own thread, never on the cycle's.
struct CycleOutputOps {
    const char* name;  // in the workers' entries ("Output mqtt is behind: ...")
    // Opens the output for this run with the settings temp.conf gave it (read
    // back by key: outputs/output_settings.h). Returns 1 when it is active, 0
    // when the settings leave it off or it can't start (the output logs why).
    // Cycle's thread, once per run (OutputsOpenTable).
    int (*open)(const TempConfig& config);
    // One finished cycle. Failures are the output's own to log (once when a
    // failure starts, once when it ends); it never stops the logger. The
    // output's thread, one report at a time, in order.
    void (*cycle)(const CycleReport& report);
    // Flushes and closes, on the output's thread after its last report. May be
    // null.
    void (*close)();
    // The temp.conf keys this output owns, in the order the message of an
    // unknown key lists them, ended by nullptr. May be null: no keys. A key
    // listed by two outputs belongs to the first in the table.
    const char* const* keys;
    // Judges `value` for one of `keys` while temp.conf is read (before open,
    // with no output running). Returns OUTPUT_SETTING_TAKEN, or
    // OUTPUT_SETTING_BAD with `why` set to the event-log entry after
    // "<file> line <n>: " (OutputSettingExpects writes the usual one); a bad
    // value keeps the default. Pure: it keeps nothing, the loader stores what
    // it takes. Cycle's thread (LoadTempConfig), or any thread for a pure
    // ParseTempConfig. Null when `keys` is.
    int (*setting)(const char* key, const char* value, std::string* why);
};
constexpr int OUTPUT_SETTING_BAD = 0;
constexpr int OUTPUT_SETTING_TAKEN = 1;

// The outputs built in (outputs_table.cpp). Adding an output is one file
// that defines its ops and one line there (docs/architecture.md, "Adding an
// output").
extern const CycleOutputOps* const BuiltinOutputs[];
extern const int BuiltinOutputCount;

// Reports that may wait for one output: about an hour of cycles at the
// fastest pace. Past that the output's oldest waiting report is dropped.
constexpr size_t OUTPUT_QUEUE_LIMIT = 1500;

// Opens each output of the table with `config` and starts a thread for each
// one that is active, with a queue of at most `queueLimit` reports.
// Idempotent until OutputsClose.
void OutputsOpenTable(const TempConfig& config, const CycleOutputOps* const* table, int count, size_t queueLimit);
// The same with the built-in outputs and OUTPUT_QUEUE_LIMIT.
void OutputsOpen(const TempConfig& config);
// Hands the report to every active output and returns at once. An output
// whose queue is full loses its oldest waiting report; the first drop is
// logged, and so is the end of the run of drops (once the output has room
// for half its queue again, or at the close) with how many it cost.
void OutputsPublish(const CycleReport& report);
// Waits until every output has handled every published report.
void OutputsFlush();
// Reports the output `name` has lost to its queue's bound since it opened.
uint64_t OutputsDropped(const char* name);
// The close's bound: an output that has not ended this long after
// OutputsClose began is left behind (well inside the service's stop timeout).
constexpr int OUTPUT_CLOSE_MS = 6000;
// Lets each output handle what waits for it, closes it and stops its thread,
// within OUTPUT_CLOSE_MS: an output that has not ended by then (a write that
// hangs) is left behind, with one entry naming it and the cycle reports it
// still held; its thread and state are kept (never destroyed under it).
// Returns how many were left behind: the process should then end with
// _exit, so that no destructor runs under their threads.
int OutputsClose();
// For outputs, on their own thread: 1 once OutputsClose has begun, with the
// milliseconds left of its bound in *leftMs (may be null). An output then
// hands over what it holds instead of waiting (for a lock, a peer).
int OutputsClosing(int64_t* leftMs);

// For outputs on the worker thread: queues an event-log entry that the cycle
// writes on its own thread (the event log and the console are the cycle's).
// At most OUTPUT_EVENT_LIMIT entries wait; those past it are dropped and
// counted in one entry that follows them.
constexpr size_t OUTPUT_EVENT_LIMIT = 100;
void OutputsLogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Hands over the queued entries, oldest first, and empties the queue. The
// cycle writes them to its event log before it publishes a report, and after
// the outputs are closed.
std::vector<std::string> OutputsTakeEvents();
