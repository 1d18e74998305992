// A recording, scripted driver backend for the adapter stack's tests. It claims
// names starting "script:", records every call, and answers from per-kind
// queues of scripted steps, falling back to an idle adapter when a queue is empty.
// It also installs a clock whose sleeps are recorded in the same log.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "onewire/driver.h"

namespace script {

// The idle status packet: 16 register bytes, AdapterIdle set, nothing pending, no results.
std::vector<uint8_t> IdleStatus();
// A status packet: flags at byte 8, pending commands at 11, input FIFO count at 13, then results.
std::vector<uint8_t> Status(uint8_t flags, uint8_t pending = 0, uint8_t fifo = 0,
                            const std::vector<uint8_t>& results = {});

struct Script {
    // Each queue is consumed front first by calls of its kind.
    std::deque<bool> vendor;                                  // false: refuse
    std::deque<std::optional<std::vector<uint8_t>>> status;  // nullopt: refuse; any length
    std::deque<std::optional<std::vector<uint8_t>>> reads;   // nullopt: refuse; bytes given (may exceed the ask)
    std::deque<std::optional<uint32_t>> writes;              // nullopt: refuse; else the count taken (capped)
    bool unplugged = false;        // refuse every call
    uint64_t statusCostMicros = 0;  // virtual time each status query takes
    bool openFails = false;
    // With echo on, a read with nothing scripted returns what the bus would echo:
    // the bytes written and the byte of each byte command, oldest first.
    bool echo = false;
    std::deque<uint8_t> echoed;
};

// The live script and the log of calls, one compact text per call:
//   "V<kind>:<value>:<index>" (hex, 4 digits)   "S" status query   "R<n>" read of n asked
//   "W<hex bytes>" write                          "P<ms>" a pause (fractions dropped)
Script& Current();
std::vector<std::string>& Log();

// Registers the backend, installs the recording virtual clock, empties script and log.
void Install();
// Restores the real clock and unregisters the backend.
void Remove();
// Virtual time in microseconds.
uint64_t Now();

// Text form of a vendor request entry, for building expected logs.
std::string Vendor(uint8_t kind, uint16_t value, uint16_t index);

}  // namespace script
