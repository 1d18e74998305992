// What temp-probe finds on an adapter and its bus, and the verdict over it.
// probe.cpp gathers the findings and judges them; probe_print.cpp prints them
// as text or JSON. Judging and printing only read a report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "onewire/driver.h"
#include "onewire/ds2490.h"
#include "probe/families.h"
#include "support/serial_number.h"

constexpr int PROBE_MAX_DEVICES = 256;  // a search that finds more is cut short

struct StackErrors {
    std::vector<int> codes;  // most recent first
};

struct ResetFinding {
    bool answered = false;  // the reset request and the status query went through
    bool pending = false;   // the adapter never finished the reset
    std::vector<uint8_t> results;
    bool presence = false;
    bool shorted = false;
    bool alarming = false;
    StackErrors errors;
};

struct DeviceFinding {
    SerialNumber serial{};
    bool crc_ok = false;
};

struct SensorFinding {
    SerialNumber serial{};
    bool present = false;  // answered the presence check by its number
    bool selected = false;
    int power = -1;  // 1 external, 0 parasite, -1 unknown
    bool convert_sent = false;
    bool conversion_done = false;  // the line read 1s after the conversion
    bool read = false;             // the scratchpad block came back
    uint8_t scratchpad[9] = {};
    bool crc_ok = false;
    bool decoded = false;
    ProbeTemperature temperature;
    uint32_t ms = 0;  // from Convert T to the end of the scratchpad read
    StackErrors errors;
};

struct ProbeReport {
    std::string adapter;
    bool described = false;
    DriverDescription description;
    uint8_t status[AdapterStatusSize] = {};
    int results = 0;
    ResetFinding reset;
    std::vector<DeviceFinding> devices;
    bool search_crc_failure = false;
    bool search_cut_short = false;
    StackErrors search_errors;
    std::vector<SensorFinding> sensors;
};

struct ProbeVerdict {
    bool ok = false;
    std::string text;  // "bus OK: ..." or "PROBLEM: ..." with what to do
};

// The verdict on a gathered report: the first fault found (adapter, reset,
// search, then the sensors), or "bus OK: N sensors read".
ProbeVerdict ProbeJudge(const ProbeReport& r);
// The temperature families on the bus that temp reads only when temp.conf
// switches them on, as one line ending in a newline; empty when none.
std::string ProbeFamiliesNote(const ProbeReport& r);
// A registration number as the logger writes it (16 hex digits).
std::string ProbeSerialText(const SerialNumber& serial);

// The report on standard output: as text ending with the verdict line, or as
// one JSON object.
void ProbePrintText(const ProbeReport& r);
void ProbePrintJson(const ProbeReport& r);
// An adapter that could not be opened, or did not answer: the same findings
// as a JSON object on standard output.
void ProbePrintOpenFailureJson(const std::string& adapter, const StackErrors& errors, const std::string& verdict);
