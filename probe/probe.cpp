// temp-probe: opens the adapter through the stack, reads its status, resets
// the bus, searches every device and reads each temperature sensor once. The
// findings are gathered first and then printed as text or JSON.
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
#include "support/errors.h"

namespace {

constexpr int MAX_DEVICES = 256;        // a search that finds more is cut short
constexpr unsigned RESET_SETTLE_MS = 5;  // as the stack waits after a reset
constexpr int RESET_STATUS_POLLS = 20;   // further 1 ms looks while the reset is pending
constexpr uint8_t CMD_MATCH_ROM_READ_POWER = 0xB4;
constexpr uint8_t CMD_CONVERT_T = 0x44;
constexpr uint8_t CMD_READ_SCRATCHPAD = 0xBE;
constexpr uint8_t ResultAlarmingPresence = 0x04;

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

struct Report {
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

StackErrors DrainErrors()
{
    StackErrors errors;
    while (ErrorCodePending())
        errors.codes.push_back(PopErrorCode());
    return errors;
}

std::string SerialString(const SerialNumber& serial)
{
    char text[17];
    FormatSerialText(serial.data(), text);
    return text;
}

std::string HexBytes(const uint8_t* bytes, size_t length)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += pair;
    }
    return text;
}

// ---- Gathering --------------------------------------------------------------

// One reset, judged from the result bytes themselves so that a short and an
// alarming presence can be told apart (BusReset only says presence or not).
ResetFinding ProbeReset(int port)
{
    ResetFinding finding;
    if (!AdapterCommand(port, REQUEST_COMMUNICATION, CMD_RESET, SPEED_INDEX_NORMAL)) {
        AdapterRecover(port, 2);
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

void ProbeSearch(int port, Report* report)
{
    for (int found = NetSearchFirst(port, 1, 0); found; found = NetSearchNext(port, 1, 0)) {
        if (report->devices.size() == MAX_DEVICES) {
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

// ---- Text -------------------------------------------------------------------

void PrintErrorsText(const StackErrors& errors, const char* indent)
{
    for (int code : errors.codes)
        std::printf("%sstack error %d: %s\n", indent, code, ErrorCodeText(code));
}

std::string StateFlagsText(uint8_t flags)
{
    static const struct {
        uint8_t bit;
        const char* name;
    } Names[] = {{0x01, "strong pull-up active"}, {0x02, "programming pulse active"},
                 {0x04, "12V present"},           {0x10, "halted"},
                 {0x20, "idle"}};
    std::string text;
    for (const auto& name : Names)
        if (flags & name.bit)
            text += std::string(text.empty() ? "" : ", ") + name.name;
    return text.empty() ? "none" : text;
}

std::string PulseEnablesText(uint8_t enables)
{
    std::string text;
    if (enables & PULSE_ENABLE_PROGRAM)
        text = "programming pulse";
    if (enables & PULSE_ENABLE_SPU)
        text += std::string(text.empty() ? "" : ", ") + "strong pull-up";
    return text.empty() ? "none" : text;
}

const char* SpeedText(uint8_t speed)
{
    switch (speed) {
    case 0:
        return "regular";
    case SPEED_INDEX_NORMAL:
        return "flexible (normal)";
    case SPEED_INDEX_OVERDRIVE:
        return "overdrive";
    default:
        return "unknown";
    }
}

const char* PowerText(int power)
{
    return power == 1 ? "external" : power == 0 ? "parasite" : "unknown (no answer)";
}

std::string ResetText(const ResetFinding& reset)
{
    if (!reset.answered)
        return "no answer from the adapter";
    if (reset.shorted)
        return "short: the 1-Wire line is shorted";
    if (reset.pending)
        return "no result: the adapter did not finish the reset";
    if (!reset.presence)
        return "no presence: no device answered";
    return reset.alarming ? "alarming presence" : "presence";
}

void PrintAdapterText(const Report& r)
{
    std::printf("temp-probe: adapter %s\n", r.adapter.c_str());
    std::printf("Adapter\n");
    const DriverDescription& d = r.description;
    if (!r.described) {
        std::printf("  kind: not described by its backend\n");
        return;
    }
    std::printf("  kind: %s\n", d.kind);
    if (d.usb_bus >= 0)
        std::printf("  USB bus %03d, address %03d\n", d.usb_bus, d.usb_address);
    if (d.alt_setting >= 0)
        std::printf("  alternate setting %d: polling period %d ms, packet sizes status %d, bulk out %d, "
                    "bulk in %d bytes\n",
                    d.alt_setting, d.polling_ms, d.status_packet, d.bulk_out_packet, d.bulk_in_packet);
    if (d.kernel_driver_detached >= 0)
        std::printf("  kernel driver detached: %s\n", d.kernel_driver_detached ? "yes" : "no");
}

void PrintStatusText(const Report& r)
{
    const uint8_t* s = r.status;
    std::printf("Status registers: %s\n", HexBytes(s, 16).c_str());
    std::printf("  [0] pulse enables %02X: %s\n", s[0], PulseEnablesText(s[0]).c_str());
    std::printf("  [1] speed %02X: %s\n", s[1], SpeedText(s[1]));
    std::printf("  [2] strong pull-up duration %02X\n", s[2]);
    std::printf("  [3] programming pulse duration %02X\n", s[3]);
    std::printf("  [8] state flags %02X: %s\n", s[8], StateFlagsText(s[8]).c_str());
    std::printf("  [11] pending commands: %u\n", s[STATUS_PENDING_COMMANDS]);
    std::printf("  [12] output FIFO: %u bytes\n", s[12]);
    std::printf("  [13] input FIFO: %u bytes\n", s[STATUS_INPUT_FIFO]);
    std::printf("  result bytes: %s\n",
                r.results == 0 ? "none" : HexBytes(s + STATUS_RESULTS, static_cast<size_t>(r.results)).c_str());
}

void PrintSensorText(const SensorFinding& s)
{
    std::printf("  %s\n", SerialString(s.serial).c_str());
    if (!s.present) {
        std::printf("    not present: the sensor did not answer a search for its number (gone from the bus?)\n");
        PrintErrorsText(s.errors, "    ");
        return;
    }
    if (!s.selected) {
        std::printf("    not selected: the Match ROM failed\n");
        PrintErrorsText(s.errors, "    ");
        return;
    }
    std::printf("    power: %s\n", PowerText(s.power));
    if (!s.convert_sent)
        std::printf("    conversion: the Convert T command failed\n");
    else if (!s.conversion_done)
        std::printf("    conversion: not complete when the wait ended\n");
    if (!s.read) {
        std::printf("    scratchpad: not read\n");
    } else {
        std::printf("    scratchpad: %s  CRC8 %s\n", HexBytes(s.scratchpad, 9).c_str(), s.crc_ok ? "ok" : "mismatch");
        if (s.decoded) {
            const ProbeTemperature& t = s.temperature;
            std::printf("    temperature: %s C (whole degrees %s%s)\n", FormatFixed3(t.celsius).c_str(),
                        FormatFixed3(t.whole).c_str(), t.extended ? "" : "; COUNT_PER_C 0, not extended");
            if (t.power_on)
                std::printf("    note: 85 C is the power-on value: no conversion has completed since the sensor "
                            "powered up (check its power and the strong pull-up)\n");
        }
    }
    std::printf("    time taken: %u ms\n", static_cast<unsigned>(s.ms));
    PrintErrorsText(s.errors, "    ");
}

void PrintText(const Report& r)
{
    PrintAdapterText(r);
    PrintStatusText(r);
    std::printf("Bus reset: %s (result bytes: %s)\n", ResetText(r.reset).c_str(),
                r.reset.results.empty() ? "none" : HexBytes(r.reset.results.data(), r.reset.results.size()).c_str());
    PrintErrorsText(r.reset.errors, "  ");
    std::printf("Devices: %zu\n", r.devices.size());
    for (const DeviceFinding& d : r.devices)
        std::printf("  %s  family %02X %s  CRC8 %s\n", SerialString(d.serial).c_str(), d.serial[0],
                    ProbeFamilyName(d.serial[0]), d.crc_ok ? "ok" : "mismatch");
    if (r.search_crc_failure)
        std::printf("  search stopped: a registration number failed its CRC8 check\n");
    if (r.search_cut_short)
        std::printf("  search stopped after %d devices\n", MAX_DEVICES);
    PrintErrorsText(r.search_errors, "  ");
    std::printf("Sensors: %zu\n", r.sensors.size());
    for (const SensorFinding& s : r.sensors)
        PrintSensorText(s);
}

// ---- JSON -------------------------------------------------------------------

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonErrors(const StackErrors& errors)
{
    std::string out = "[";
    for (size_t i = 0; i < errors.codes.size(); ++i)
        out += (i ? ", " : "") + std::string("{\"code\": ") + std::to_string(errors.codes[i]) +
               ", \"text\": " + JsonString(ErrorCodeText(errors.codes[i])) + "}";
    return out + "]";
}

const char* JsonBool(bool value) { return value ? "true" : "false"; }

void PrintJson(const Report& r)
{
    const DriverDescription& d = r.description;
    std::printf("{\n  \"adapter\": %s,\n", JsonString(r.adapter).c_str());
    std::printf("  \"description\": {\"kind\": %s, \"usb_bus\": %d, \"usb_address\": %d, \"alt_setting\": %d, "
                "\"polling_ms\": %d, \"status_packet\": %d, \"bulk_out_packet\": %d, \"bulk_in_packet\": %d, "
                "\"kernel_driver_detached\": %d},\n",
                JsonString(r.described ? d.kind : "").c_str(), d.usb_bus, d.usb_address, d.alt_setting,
                d.polling_ms, d.status_packet, d.bulk_out_packet, d.bulk_in_packet, d.kernel_driver_detached);
    std::printf("  \"status\": {\"registers\": %s, \"results\": %s, \"state_flags\": %s},\n",
                JsonString(HexBytes(r.status, 16)).c_str(),
                JsonString(HexBytes(r.status + STATUS_RESULTS, static_cast<size_t>(r.results))).c_str(),
                JsonString(StateFlagsText(r.status[8])).c_str());
    std::printf("  \"reset\": {\"answered\": %s, \"presence\": %s, \"short\": %s, \"alarming_presence\": %s, "
                "\"results\": %s, \"errors\": %s},\n",
                JsonBool(r.reset.answered), JsonBool(r.reset.presence), JsonBool(r.reset.shorted),
                JsonBool(r.reset.alarming),
                JsonString(HexBytes(r.reset.results.data(), r.reset.results.size())).c_str(),
                JsonErrors(r.reset.errors).c_str());
    std::printf("  \"devices\": [");
    for (size_t i = 0; i < r.devices.size(); ++i)
        std::printf("%s\n    {\"serial\": %s, \"family\": \"%02X\", \"name\": %s, \"crc_ok\": %s}", i ? "," : "",
                    JsonString(SerialString(r.devices[i].serial)).c_str(), r.devices[i].serial[0],
                    JsonString(ProbeFamilyName(r.devices[i].serial[0])).c_str(), JsonBool(r.devices[i].crc_ok));
    std::printf("%s],\n", r.devices.empty() ? "" : "\n  ");
    std::printf("  \"search\": {\"crc_failure\": %s, \"cut_short\": %s, \"errors\": %s},\n",
                JsonBool(r.search_crc_failure), JsonBool(r.search_cut_short), JsonErrors(r.search_errors).c_str());
    std::printf("  \"sensors\": [");
    for (size_t i = 0; i < r.sensors.size(); ++i) {
        const SensorFinding& s = r.sensors[i];
        std::printf("%s\n    {\"serial\": %s, \"present\": %s, \"selected\": %s, \"power\": %s, \"convert_sent\": %s, "
                    "\"conversion_done\": %s, \"read\": %s, \"scratchpad\": %s, \"crc_ok\": %s",
                    i ? "," : "", JsonString(SerialString(s.serial)).c_str(), JsonBool(s.present), JsonBool(s.selected),
                    JsonString(s.power == 1 ? "external" : s.power == 0 ? "parasite" : "unknown").c_str(),
                    JsonBool(s.convert_sent), JsonBool(s.conversion_done), JsonBool(s.read),
                    JsonString(s.read ? HexBytes(s.scratchpad, 9) : "").c_str(), JsonBool(s.crc_ok));
        if (s.decoded)
            std::printf(", \"celsius\": %s, \"whole\": %s, \"power_on_value\": %s",
                        FormatFixed3(s.temperature.celsius).c_str(), FormatFixed3(s.temperature.whole).c_str(),
                        JsonBool(s.temperature.power_on));
        std::printf(", \"ms\": %u, \"errors\": %s}", static_cast<unsigned>(s.ms), JsonErrors(s.errors).c_str());
    }
    std::printf("%s]\n}\n", r.sensors.empty() ? "" : "\n  ");
}

void PrintUsage(FILE* stream)
{
    std::fprintf(stream,
                 "Usage: temp-probe [ADAPTER] [--json]\n"
                 "Checks a 1-Wire adapter and lists the devices on its bus. ADAPTER is a name temp takes:\n"
                 "\\\\.\\DS2490-N (default \\\\.\\DS2490-1), sim: or sim:PATH.\n");
}

}  // namespace

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
            backend_said_why = backend_said_why || code == 23;
        if (!backend_said_why)
            std::fprintf(stderr, "Cannot open %s: the adapter does not answer its requests; replug it and try again.\n",
                         adapter);
        for (int code : errors.codes)
            std::fprintf(stderr, "Error %d: %s\n", code, ErrorCodeText(code));
        return PROBE_EXIT_NO_ADAPTER;
    }
    DrainErrors();  // what the opening's own bus reset found is reported by the reset below

    Report report;
    report.adapter = adapter;
    const DriverHandle handle = PortHandle[static_cast<size_t>(port)];
    report.described = DriverDescribe(handle, &report.description) != 0;
    uint8_t results = 0;
    if (!AdapterQueryStatus(handle, report.status, &results)) {
        std::fprintf(stderr, "Cannot probe %s: the adapter did not answer a status query.\n", adapter);
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
        PrintJson(report);
    else
        PrintText(report);
    std::fflush(stdout);
    return PROBE_EXIT_ANSWERED;
}
