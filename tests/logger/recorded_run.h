// Runs the whole logger (RunLogger) in a child process on the software adapter,
// with a virtual clock and a driver that record, stamped with the virtual time,
// every pause and every request to the adapter. Each run has its own directory
// and bus file, so runs may go on in parallel.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/logger/run_dirs.h"

namespace recorded {

// One entry of the timeline. `what` is
//   "V<kind>:<value>:<index>" (hex, 4 digits) a vendor request   "S" a status query
//   "R<n>" a bulk read of n asked      "W<hex bytes>" a bulk write
//   "P<ms>" a pause (a fraction of a millisecond as ".uuu")
struct Event {
    uint64_t micros;  // virtual time when it began
    std::string what;
};
using Timeline = std::vector<Event>;

struct Result {
    int status = -1000;  // exit status, or minus the signal that ended the run
    Timeline events;
    std::string console;  // standard output and error
};

// After the `count`-th pause of `pauseMs` milliseconds, the run creates the
// file `create` in its working directory (a second logger's marker, say).
struct Trigger {
    unsigned pauseMs = 0;
    int count = 0;
    std::string create;
};

class RecordedRun : public RunDirectories {
protected:
    // Runs the logger on a bus described by `bus` (no "clock" line: the
    // recording clock is the process clock), after creating `markers` in the
    // working directory. Standard input is empty, so key waits return at once.
    Result Run(const std::string& bus, const std::vector<std::string>& markers = {}, const Trigger& trigger = {});

    std::string App(const std::string& name) const { return app_ + name; }
};

// Index of the first event at or after `from` whose text starts with `prefix`,
// or events.size().
size_t FindFrom(const Timeline& events, const std::string& prefix, size_t from = 0);
// Index of the first request to the adapter (anything but a pause) after `index`.
size_t NextRequest(const Timeline& events, size_t index);
// The pauses strictly between two events.
std::vector<std::string> PausesBetween(const Timeline& events, size_t from, size_t to);
// Milliseconds between two events, with microseconds as a fraction.
double MsBetween(const Timeline& events, size_t from, size_t to);

std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// The 16 upper-case digits of a serial given as 14 (its CRC8 appended).
std::string FullSerial(const std::string& digits14);

}  // namespace recorded
