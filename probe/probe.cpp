// temp-probe: opens the adapter through the stack, reads its status, resets
// the bus, searches every device and reads each temperature sensor once. The
// findings are gathered and judged here, and printed by probe_print.cpp.
#include "probe/probe.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backends/backends.h"
#include "logger/logger.h"
#include "onewire/adapter.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/driver.h"
#include "onewire/ds2490.h"
#include "onewire/link.h"
#include "onewire/network.h"
#include "onewire/port.h"
#include "probe/families.h"
#include "probe/findings.h"
#include "support/errors.h"

namespace {

constexpr unsigned RESET_SETTLE_MS = 5;  // as the stack waits after a reset
constexpr int RESET_STATUS_POLLS = 20;   // further 1 ms looks while the reset is pending
constexpr uint8_t CMD_MATCH_ROM_READ_POWER = 0xB4;
constexpr uint8_t CMD_CONVERT_T = 0x44;
constexpr uint8_t CMD_READ_SCRATCHPAD = 0xBE;
constexpr uint8_t ResultAlarmingPresence = 0x04;

StackErrors DrainErrors()
{
    StackErrors errors;
    while (ErrorCodePending())
        errors.codes.push_back(PopErrorCode());
    return errors;
}

void PrintUsage(FILE* stream)
{
    std::fprintf(stream,
                 "Usage: temp-probe [ADAPTER] [--json]\n"
                 "Checks a 1-Wire adapter and lists the devices on its bus. ADAPTER is a name temp takes:\n"
                 "\\\\.\\DS2490-N (default \\\\.\\DS2490-1), sim: or sim:PATH.\n"
                 "The last line is the verdict: \"bus OK: N sensors read\" or \"PROBLEM: ...\" with what to check.\n"
                 "Exit status: 0 bus OK, 1 adapter not opened or not answering, 2 bad arguments,\n"
                 "3 the adapter answered but the bus has a fault.\n"
                 "  --json     the findings as one JSON object (also when the adapter can't be opened)\n"
                 "  --help     this text\n"
                 "  --version  the version\n");
}

// ---- Gathering --------------------------------------------------------------

// One reset, judged from the result bytes themselves so that a short and an
// alarming presence can be told apart (BusReset only says presence or not).
ResetFinding ProbeReset(int port)
{
    ResetFinding finding;
    if (!AdapterCommand(port, REQUEST_COMMUNICATION, CMD_RESET, SPEED_INDEX_NORMAL)) {
        AdapterRecover(port, ERROR_RESET_FAILED);
        finding.errors = DrainErrors();
        return finding;
    }
    PauseMs(RESET_SETTLE_MS);
    uint8_t status[AdapterStatusSize] = {};
    uint8_t count = 0;
    for (int poll = 0;; ++poll) {
        if (!AdapterQueryStatus(PortHandle[static_cast<size_t>(port)], status, &count)) {
            AdapterReinitialize(port);
            finding.errors = DrainErrors();
            return finding;
        }
        for (int i = 0; i < count; ++i)
            finding.results.push_back(status[STATUS_RESULTS + i]);
        if (status[STATUS_PENDING_COMMANDS] == 0 || poll == RESET_STATUS_POLLS)
            break;
        PauseMs(1);
    }
    finding.answered = true;
    finding.pending = status[STATUS_PENDING_COMMANDS] != 0;
    bool no_presence = finding.results.empty();
    for (uint8_t result : finding.results) {
        if (result == ResultDeviceDetect)
            continue;
        finding.shorted = finding.shorted || (result & ResultShort) != 0;
        finding.alarming = finding.alarming || (result & ResultAlarmingPresence) != 0;
        no_presence = no_presence || (result & ResultNoPresence) != 0;
    }
    finding.presence = !finding.pending && !finding.shorted && !no_presence;
    if (finding.shorted || finding.pending)
        AdapterReinitialize(port);
    finding.errors = DrainErrors();
    return finding;
}

void ProbeSearch(int port, ProbeReport* report)
{
    for (int found = NetSearchFirst(port, 1, 0); found; found = NetSearchNext(port, 1, 0)) {
        if (report->devices.size() == PROBE_MAX_DEVICES) {
            report->search_cut_short = true;
            break;
        }
        DeviceFinding device;
        NetSerialCopy(port, device.serial.data(), 1);
        device.crc_ok = Crc8Of(device.serial.data(), 8) == 0;
        report->devices.push_back(device);
    }
    report->search_crc_failure = SearchResumeBit[static_cast<size_t>(port)] == 0xFF;
    report->search_errors = DrainErrors();
}

int Select(int port, const SerialNumber& serial)
{
    SerialNumber copy = serial;
    NetSerialCopy(port, copy.data(), 0);
    return NetSelect(port);
}

// Read Power Supply, one conversion with the strong pull-up, then the
// scratchpad: only reading and converting, nothing is written to the sensor.
SensorFinding ProbeSensor(int port, const SerialNumber& serial)
{
    SensorFinding sensor;
    sensor.serial = serial;
    // A Match ROM alone cannot tell a missing sensor: the line echoes what is written.
    SerialNumber copy = serial;
    NetSerialCopy(port, copy.data(), 0);
    sensor.present = NetCheckPresent(port, 0) != 0;
    if (!sensor.present || !Select(port, serial)) {
        sensor.errors = DrainErrors();
        return sensor;
    }
    sensor.selected = true;
    if (BusSendByte(port, CMD_MATCH_ROM_READ_POWER))
        sensor.power = BusExchangeBit(port, 1);

    const uint32_t start = ClockMs();
    if (Select(port, serial)) {
        sensor.convert_sent = BusSendBytePowered(port, CMD_CONVERT_T) != 0;
        PauseMs(ConversionWaitMs);
        BusSetLevel(port, 0);
        sensor.conversion_done = BusFetchByte(port) == 0xFF;
    }
    uint8_t block[10];
    block[0] = CMD_READ_SCRATCHPAD;
    std::memset(block + 1, 0xFF, 9);
    sensor.read = Select(port, serial) && BusBlockExchange(port, 0, block, 10);
    sensor.ms = ClockMs() - start;
    if (sensor.read) {
        std::memcpy(sensor.scratchpad, block + 1, 9);
        Crc8Seed(port, 0);
        uint8_t crc = 0;
        for (uint8_t byte : sensor.scratchpad)
            crc = Crc8Feed(port, byte);
        sensor.crc_ok = crc == 0;
        if (sensor.crc_ok)
            sensor.decoded = ProbeDecodeTemperature(serial[0], sensor.scratchpad, &sensor.temperature) != 0;
    }
    sensor.errors = DrainErrors();
    return sensor;
}

// ---- Verdict ----------------------------------------------------------------

// What keeps one sensor from a good reading, with what to check; empty when none.
std::string SensorProblem(const SensorFinding& s)
{
    if (!s.present)
        return "did not answer (gone from the bus?); check its connection";
    if (!s.selected || !s.read)
        return "did not answer its selection; check its connection";
    if (!s.crc_ok)
        return "its scratchpad failed the CRC8 check; check for loose contacts and for long or star-wired cables";
    if (!s.convert_sent || !s.conversion_done)
        return "its conversion did not complete; check its power (VDD, or the strong pull-up in parasite mode)";
    if (s.decoded && s.temperature.power_on)
        return "it reads the power-on value 85 C; check its power (VDD, or the strong pull-up in parasite mode)";
    return std::string();
}

}  // namespace

std::string ProbeSerialText(const SerialNumber& serial)
{
    char text[17];
    FormatSerialText(serial.data(), text);
    return text;
}

ProbeVerdict ProbeJudge(const ProbeReport& r)
{
    const ResetFinding& reset = r.reset;
    if (!reset.answered || reset.pending)
        return {false, "PROBLEM: the adapter did not finish the bus reset; unplug the adapter, plug it in again "
                       "and run temp-probe again"};
    if (reset.shorted)
        return {false, "PROBLEM: the 1-Wire line is shorted; check the wiring for data touching ground, then "
                       "unplug the sensors one by one to find a faulty one"};
    if (!reset.presence)
        return {false, "PROBLEM: no device answered the bus reset; check the cable, the plug and the sensors' "
                       "data and ground wires"};
    bool numberCrc = r.search_crc_failure;
    for (const DeviceFinding& d : r.devices)
        numberCrc = numberCrc || !d.crc_ok;
    if (numberCrc)
        return {false, "PROBLEM: a registration number failed its CRC8 check during the search; check for loose "
                       "contacts and for long or star-wired cables, and try with fewer sensors"};
    int failed = 0;
    std::string first;
    for (const SensorFinding& s : r.sensors) {
        std::string problem = SensorProblem(s);
        if (problem.empty())
            continue;
        if (failed++ == 0)
            first = ProbeSerialText(s.serial) + " " + problem;
    }
    if (failed > 0)
        return {false, "PROBLEM: " + std::to_string(failed) + " of " + std::to_string(r.sensors.size()) +
                           " sensors not read; " + first};
    return {true, "bus OK: " + std::to_string(r.sensors.size()) + " sensors read"};
}

// The logger's own hint, for its default settings.
std::string ProbeFamiliesNote(const ProbeReport& r)
{
    int counts[256] = {};
    for (const SensorFinding& s : r.sensors)
        if (s.serial[0] != 0x10)
            ++counts[s.serial[0]];
    const uint8_t defaults[] = {0x10};
    std::string hint = OtherFamiliesHint(counts, defaults, 1,
                                         "the temp.conf beside temp (/var/lib/temp/INSTANCE/temp.conf for the service)");
    return hint.empty() ? hint : "note: with temp's default settings " + hint;
}

int RunProbe(int argc, char** argv)
{
    const char* adapter = nullptr;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return PROBE_EXIT_ANSWERED;
        } else if (arg == "--version") {
            std::printf("temp-probe %s\n", TEMP_VERSION);
            return PROBE_EXIT_ANSWERED;
        } else if (arg.empty() || arg[0] == '-' || adapter != nullptr) {
            std::fprintf(stderr, "temp-probe: %s\n",
                         arg.empty() ? "the adapter name is empty"
                         : arg[0] == '-' ? ("unknown option " + arg).c_str()
                                         : "only one adapter name may be given");
            PrintUsage(stderr);
            return PROBE_EXIT_USAGE;
        } else {
            adapter = argv[i];
        }
    }
    if (adapter == nullptr)
        adapter = PROBE_DEFAULT_ADAPTER;

    DriverRegisterBuiltinBackends();
    const int port = PortOpenFirstFree(adapter);
    if (port < 0) {
        StackErrors errors = DrainErrors();
        bool backend_said_why = false;  // the driver's open failed and gave its reason
        for (int code : errors.codes)
            backend_said_why = backend_said_why || code == ERROR_ACQUIRE_RESOURCE;
        if (!backend_said_why)
            std::fprintf(stderr, "Cannot open %s: the adapter does not answer its requests; replug it and try again.\n",
                         adapter);
        for (int code : errors.codes)
            std::fprintf(stderr, "Error %d: %s\n", code, ErrorCodeText(code));
        const std::string verdict = std::string("PROBLEM: the adapter ") + adapter +
                                    " could not be opened; the reason is on standard error (docs/usb.md lists the fixes)";
        if (json)
            ProbePrintOpenFailureJson(adapter, errors, verdict);
        else
            std::fprintf(stderr, "%s\n", verdict.c_str());
        return PROBE_EXIT_NO_ADAPTER;
    }
    DrainErrors();  // what the opening's own bus reset found is reported by the reset below

    ProbeReport report;
    report.adapter = adapter;
    const DriverHandle handle = PortHandle[static_cast<size_t>(port)];
    report.described = DriverDescribe(handle, &report.description) != 0;
    uint8_t results = 0;
    if (!AdapterQueryStatus(handle, report.status, &results)) {
        std::fprintf(stderr, "Cannot probe %s: the adapter did not answer a status query.\n", adapter);
        const std::string verdict = "PROBLEM: the adapter did not answer a status query; unplug it, plug it in "
                                    "again and run temp-probe again";
        if (json)
            ProbePrintOpenFailureJson(adapter, DrainErrors(), verdict);
        else
            std::fprintf(stderr, "%s\n", verdict.c_str());
        PortClose(port);
        return PROBE_EXIT_NO_ADAPTER;
    }
    report.results = results;

    report.reset = ProbeReset(port);
    if (report.reset.presence)
        ProbeSearch(port, &report);
    for (const DeviceFinding& device : report.devices)
        if (device.crc_ok && ProbeIsTemperatureFamily(device.serial[0]))
            report.sensors.push_back(ProbeSensor(port, device.serial));
    PortClose(port);

    if (json)
        ProbePrintJson(report);
    else
        ProbePrintText(report);
    std::fflush(stdout);
    return ProbeJudge(report).ok ? PROBE_EXIT_ANSWERED : PROBE_EXIT_BUS_FAULT;
}
