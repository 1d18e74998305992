// temp-probe's report on standard output: as text for a person, ending with
// the verdict line, or as one JSON object for a program.
#include <cstdio>
#include <string>

#include "logger/logger.h"
#include "onewire/adapter.h"
#include "onewire/ds2490.h"
#include "probe/families.h"
#include "probe/findings.h"
#include "support/errors.h"

namespace {

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

void PrintAdapterText(const ProbeReport& r)
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

void PrintStatusText(const ProbeReport& r)
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
    std::printf("  %s\n", ProbeSerialText(s.serial).c_str());
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

}  // namespace

void ProbePrintText(const ProbeReport& r)
{
    PrintAdapterText(r);
    PrintStatusText(r);
    std::printf("Bus reset: %s (result bytes: %s)\n", ResetText(r.reset).c_str(),
                r.reset.results.empty() ? "none" : HexBytes(r.reset.results.data(), r.reset.results.size()).c_str());
    PrintErrorsText(r.reset.errors, "  ");
    std::printf("Devices: %zu\n", r.devices.size());
    for (const DeviceFinding& d : r.devices)
        std::printf("  %s  family %02X %s  CRC8 %s\n", ProbeSerialText(d.serial).c_str(), d.serial[0],
                    ProbeFamilyName(d.serial[0]), d.crc_ok ? "ok" : "mismatch");
    if (r.search_crc_failure)
        std::printf("  search stopped: a registration number failed its CRC8 check\n");
    if (r.search_cut_short)
        std::printf("  search stopped after %d devices\n", PROBE_MAX_DEVICES);
    PrintErrorsText(r.search_errors, "  ");
    std::printf("Sensors: %zu\n", r.sensors.size());
    for (const SensorFinding& s : r.sensors)
        PrintSensorText(s);
    std::printf("%s", ProbeFamiliesNote(r).c_str());
    std::printf("%s\n", ProbeJudge(r).text.c_str());
}

void ProbePrintJson(const ProbeReport& r)
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
                    JsonString(ProbeSerialText(r.devices[i].serial)).c_str(), r.devices[i].serial[0],
                    JsonString(ProbeFamilyName(r.devices[i].serial[0])).c_str(), JsonBool(r.devices[i].crc_ok));
    std::printf("%s],\n", r.devices.empty() ? "" : "\n  ");
    std::printf("  \"search\": {\"crc_failure\": %s, \"cut_short\": %s, \"errors\": %s},\n",
                JsonBool(r.search_crc_failure), JsonBool(r.search_cut_short), JsonErrors(r.search_errors).c_str());
    std::printf("  \"sensors\": [");
    for (size_t i = 0; i < r.sensors.size(); ++i) {
        const SensorFinding& s = r.sensors[i];
        std::printf("%s\n    {\"serial\": %s, \"present\": %s, \"selected\": %s, \"power\": %s, \"convert_sent\": %s, "
                    "\"conversion_done\": %s, \"read\": %s, \"scratchpad\": %s, \"crc_ok\": %s",
                    i ? "," : "", JsonString(ProbeSerialText(s.serial)).c_str(), JsonBool(s.present),
                    JsonBool(s.selected),
                    JsonString(s.power == 1 ? "external" : s.power == 0 ? "parasite" : "unknown").c_str(),
                    JsonBool(s.convert_sent), JsonBool(s.conversion_done), JsonBool(s.read),
                    JsonString(s.read ? HexBytes(s.scratchpad, 9) : "").c_str(), JsonBool(s.crc_ok));
        if (s.decoded)
            std::printf(", \"celsius\": %s, \"whole\": %s, \"power_on_value\": %s",
                        FormatFixed3(s.temperature.celsius).c_str(), FormatFixed3(s.temperature.whole).c_str(),
                        JsonBool(s.temperature.power_on));
        std::printf(", \"ms\": %u, \"errors\": %s}", static_cast<unsigned>(s.ms), JsonErrors(s.errors).c_str());
    }
    std::printf("%s],\n", r.sensors.empty() ? "" : "\n  ");
    std::string note = ProbeFamiliesNote(r);
    if (!note.empty())
        note.pop_back();
    const ProbeVerdict verdict = ProbeJudge(r);
    std::printf("  \"families_note\": %s,\n  \"bus_ok\": %s,\n  \"verdict\": %s\n}\n", JsonString(note).c_str(),
                JsonBool(verdict.ok), JsonString(verdict.text).c_str());
}

void ProbePrintOpenFailureJson(const std::string& adapter, const StackErrors& errors, const std::string& verdict)
{
    std::printf("{\n  \"adapter\": %s,\n  \"opened\": false,\n  \"errors\": %s,\n  \"bus_ok\": false,\n"
                "  \"verdict\": %s\n}\n",
                JsonString(adapter).c_str(), JsonErrors(errors).c_str(), JsonString(verdict).c_str());
}
