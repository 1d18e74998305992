// The bus-file parser and the built-in demo bus.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <sys/stat.h>

#include "onewire/crc.h"
#include "simulator/sim.h"

namespace {

// Sensor families: the DS1820/DS1920, then the DS18B20 kind.
constexpr uint8_t SENSOR_FAMILIES[] = {0x10, 0x28, 0x22, 0x3B, 0x42};
// Sensors convert between -55 and +125 degrees (DS1820 datasheet).
constexpr double MIN_TEMPERATURE = -55;
constexpr double MAX_TEMPERATURE = 125;
// Longest conversion a bus file may ask for.
constexpr unsigned MAX_CONVERSION_MS = 60000;
// The virtual wall clock's range: a start up to the year 3000, and jumps as far.
constexpr uint64_t MAX_WALL_SECONDS = 32503680000u;

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A finite decimal number taking the whole token.
bool ParseNumber(const std::string& token, double* value)
{
    if (token.empty() || token.size() > 64)
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size() || errno != 0 || !std::isfinite(v))
        return false;
    // strtod takes hex floats and "inf"; a bus file uses plain decimals only.
    for (char c : token)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+'))
            return false;
    *value = v;
    return true;
}

bool ParseUnsigned(const std::string& token, uint64_t* value)
{
    if (token.empty() || token.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : token) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

bool ParseInteger(const std::string& token, long* value)
{
    std::string digits = token;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    uint64_t magnitude = 0;
    if (!ParseUnsigned(digits, &magnitude) || magnitude > 100000)
        return false;
    *value = negative ? -static_cast<long>(magnitude) : static_cast<long>(magnitude);
    return true;
}

bool StartsWith(const std::string& text, const char* prefix, std::string* rest)
{
    std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0)
        return false;
    *rest = text.substr(p.size());
    return true;
}

// Splits "A-B"; a lone "A" gives only the first part.
bool SplitRange(const std::string& text, std::string* first, std::string* second)
{
    size_t dash = text.find('-', 1);
    if (dash == std::string::npos)
        return false;
    *first = text.substr(0, dash);
    *second = text.substr(dash + 1);
    return true;
}

bool ParseTemperature(const std::string& token, SimDeviceSpec* device, std::string* error)
{
    size_t dots = token.find("..");
    if (dots == std::string::npos) {
        double t = 0;
        if (!ParseNumber(token, &t)) {
            *error = "bad temperature \"" + token + "\": expected a number or LOW..HIGH/PERIOD";
            return false;
        }
        device->temp_low = device->temp_high = t;
        device->period_s = 0;
    } else {
        size_t slash = token.find('/', dots);
        double low = 0, high = 0, period = 0;
        if (slash == std::string::npos || !ParseNumber(token.substr(0, dots), &low) ||
            !ParseNumber(token.substr(dots + 2, slash - dots - 2), &high) ||
            !ParseNumber(token.substr(slash + 1), &period)) {
            *error = "bad temperature \"" + token + "\": expected a number or LOW..HIGH/PERIOD";
            return false;
        }
        if (low > high || period <= 0) {
            *error = "bad temperature \"" + token + "\": LOW must not exceed HIGH and PERIOD must be positive";
            return false;
        }
        device->temp_low = low;
        device->temp_high = high;
        device->period_s = period;
    }
    if (device->temp_low < MIN_TEMPERATURE || device->temp_high > MAX_TEMPERATURE) {
        *error = "temperature \"" + token + "\" outside -55..125";
        return false;
    }
    return true;
}

bool ParseSensorOption(const std::string& token, SimDeviceSpec* device, std::string* error)
{
    std::string rest;
    long value = 0;
    if (token == "parasite") {
        device->parasite = true;
        return true;
    }
    if (StartsWith(token, "th=", &rest) || StartsWith(token, "tl=", &rest)) {
        if (!ParseInteger(rest, &value) || value < -128 || value > 127) {
            *error = "bad alarm limit \"" + token + "\": expected an integer from -128 to 127";
            return false;
        }
        (token[1] == 'h' ? device->th : device->tl) = static_cast<int>(value);
        return true;
    }
    bool ds1820 = device->serial[0] == 0x10;
    if (StartsWith(token, "resolution=", &rest)) {
        if (ds1820 || !ParseInteger(rest, &value) || value < 9 || value > 12) {
            *error = ds1820 ? "\"" + token + "\" is for the families 28, 22, 3B and 42"
                            : "bad resolution \"" + token + "\": expected 9 to 12 bits";
            return false;
        }
        device->resolution = static_cast<int>(value);
        return true;
    }
    if (StartsWith(token, "conversion-ms=", &rest)) {
        if (!ds1820) {
            *error = "\"" + token + "\" is for family 10; the resolution sets the others' conversion time";
            return false;
        }
        uint64_t ms = 0;
        if (!ParseUnsigned(rest, &ms) || ms == 0 || ms > MAX_CONVERSION_MS) {
            *error = "bad conversion time \"" + token + "\": expected 1 to 60000 ms";
            return false;
        }
        device->conversion_ms = static_cast<unsigned>(ms);
        return true;
    }
    *error = "unknown sensor option \"" + token + "\"";
    return false;
}

struct FaultName {
    const char* name;
    SimFaultKind kind;
    bool needs_serial;
};
constexpr FaultName FAULT_NAMES[] = {
    {"unplug", SimFaultKind::Unplug, false},
    {"refuse-vendor", SimFaultKind::RefuseVendor, false},
    {"refuse-status", SimFaultKind::RefuseStatus, false},
    {"refuse-read", SimFaultKind::RefuseRead, false},
    {"refuse-write", SimFaultKind::RefuseWrite, false},
    {"short-read", SimFaultKind::ShortRead, false},
    {"short-write", SimFaultKind::ShortWrite, false},
    {"short-line", SimFaultKind::ShortLine, false},
    {"busy", SimFaultKind::Busy, false},
    {"leave", SimFaultKind::Leave, true},
    {"crc", SimFaultKind::Crc, true},
    {"count-per-c-zero", SimFaultKind::CountPerCZero, true},
    {"slow-conversion", SimFaultKind::SlowConversion, true},
    {"no-pullup", SimFaultKind::NoPullup, true},
    {"interrupt", SimFaultKind::Interrupt, false},
    {"terminate", SimFaultKind::Terminate, false},
};

bool ParseWindow(const std::string& token, SimFaultWindow* window, std::string* error)
{
    std::string rest, a, b;
    const std::string bad = "bad fault window \"" + token + "\"";
    if (token == "always") {
        window->kind = SimWindowKind::Always;
        return true;
    }
    if (token == "once") {
        window->kind = SimWindowKind::Once;
        return true;
    }
    if (StartsWith(token, "p=", &rest)) {
        double p = 0;
        if (!ParseNumber(rest, &p) || p < 0 || p > 1) {
            *error = bad + ": expected a probability from 0 to 1";
            return false;
        }
        window->kind = SimWindowKind::Probability;
        window->probability = p;
        return true;
    }
    if (StartsWith(token, "conversion=", &rest)) {
        uint64_t n = 0;
        if (!ParseUnsigned(rest, &n) || n == 0) {
            *error = bad + ": expected a cycle number from 1";
            return false;
        }
        window->kind = SimWindowKind::Conversions;
        window->first = window->last = n;
        return true;
    }
    if (StartsWith(token, "conversions=", &rest)) {
        uint64_t n = 0, m = 0;
        if (!SplitRange(rest, &a, &b) || !ParseUnsigned(a, &n) || !ParseUnsigned(b, &m) || n == 0 || m < n) {
            *error = bad + ": expected conversions=N-M with 1 <= N <= M";
            return false;
        }
        window->kind = SimWindowKind::Conversions;
        window->first = n;
        window->last = m;
        return true;
    }
    if (StartsWith(token, "seconds=", &rest)) {
        double s = 0, t = 0;
        bool range = SplitRange(rest, &a, &b);
        if (!range)
            a = rest;
        if (!ParseNumber(a, &s) || s < 0 || s > 1e9 || (range && (!ParseNumber(b, &t) || t < s || t > 1e9))) {
            *error = bad + ": expected seconds=S or seconds=S-T with 0 <= S <= T";
            return false;
        }
        window->kind = SimWindowKind::Seconds;
        window->first = static_cast<uint64_t>(std::llround(s * 1e6));
        window->last = range ? static_cast<uint64_t>(std::llround(t * 1e6)) : UINT64_MAX;
        return true;
    }
    *error = bad + ": expected always, once, p=PROB, conversion=N, conversions=N-M, seconds=S or seconds=S-T";
    return false;
}

// When a clock jump fires: conversion=N or seconds=S, a moment and not a range.
bool ParseMoment(const std::string& token, SimFaultWindow* window, std::string* error)
{
    std::string rest, ignored;
    bool moment = StartsWith(token, "conversion=", &rest)
                  || (StartsWith(token, "seconds=", &rest) && rest.find('-') == std::string::npos);
    if (!moment || !ParseWindow(token, window, &ignored)) {
        *error = "bad clock jump moment \"" + token + "\": expected conversion=N or seconds=S";
        return false;
    }
    return true;
}

// Seconds with a sign and up to three decimals, as milliseconds: "-86400", "+2.5".
bool ParseSignedMilliseconds(const std::string& token, int64_t* milliseconds)
{
    bool sign = !token.empty() && (token[0] == '-' || token[0] == '+');
    std::string whole = token.substr(sign ? 1 : 0), fraction;
    size_t point = whole.find('.');
    if (point != std::string::npos) {
        fraction = whole.substr(point + 1);
        whole.erase(point);
        if (fraction.empty() || fraction.size() > 3)
            return false;
    }
    uint64_t seconds = 0, part = 0;
    if (!ParseUnsigned(whole, &seconds) || seconds > MAX_WALL_SECONDS
        || (!fraction.empty() && !ParseUnsigned(fraction, &part)))
        return false;
    while (fraction.size() < 3) {
        fraction += '0';
        part *= 10;
    }
    int64_t magnitude = static_cast<int64_t>(seconds * 1000 + part);
    *milliseconds = token[0] == '-' ? -magnitude : magnitude;
    return true;
}

// clock jump WHEN SECONDS: signed, not 0, at most as far as the clock's range.
bool ParseClockJump(const std::vector<std::string>& tokens, SimBusSpec* bus, int line, std::string* error)
{
    if (tokens.size() != 4) {
        *error = "\"clock jump\" takes WHEN SECONDS, e.g. clock jump conversion=3 -86400";
        return false;
    }
    SimClockJump jump;
    jump.line = line;
    if (!ParseMoment(tokens[2], &jump.when, error))
        return false;
    const int64_t limit = static_cast<int64_t>(MAX_WALL_SECONDS) * 1000;
    if (!ParseSignedMilliseconds(tokens[3], &jump.milliseconds) || jump.milliseconds == 0
        || jump.milliseconds > limit || jump.milliseconds < -limit) {
        *error = "bad clock jump \"" + tokens[3] + "\": expected seconds with up to three decimals, "
                 "+ or - 0.001..32503680000";
        return false;
    }
    bus->clock_jumps.push_back(jump);
    return true;
}

bool ParseOnOff(const std::vector<std::string>& tokens, const char* yes, const char* no, bool* value,
                std::string* error)
{
    if (tokens.size() != 2 || (tokens[1] != yes && tokens[1] != no)) {
        *error = "\"" + tokens[0] + "\" takes " + yes + " or " + no;
        return false;
    }
    *value = tokens[1] == yes;
    return true;
}

bool ParseLine(const std::vector<std::string>& tokens, SimBusSpec* bus, int line, std::string* error)
{
    const std::string& directive = tokens[0];
    if (directive == "timing")
        return ParseOnOff(tokens, "on", "off", &bus->timing, error);
    if (directive == "clock") {
        if (tokens.size() > 1 && tokens[1] == "jump")
            return ParseClockJump(tokens, bus, line, error);
        // clock virtual START: the virtual wall clock starts at START seconds since 1970.
        if (tokens.size() == 3 && tokens[1] == "virtual") {
            if (!ParseUnsigned(tokens[2], &bus->virtual_start) || bus->virtual_start == 0
                || bus->virtual_start > MAX_WALL_SECONDS) {
                *error = "\"clock virtual\" takes a start in seconds since 1970 (1..32503680000)";
                return false;
            }
            bus->virtual_clock = true;
            return true;
        }
        bus->virtual_start = 0;
        return ParseOnOff(tokens, "virtual", "real", &bus->virtual_clock, error);
    }
    if (directive == "program-voltage")
        return ParseOnOff(tokens, "on", "off", &bus->program_voltage, error);
    if (directive == "seed") {
        if (tokens.size() != 2 || !ParseUnsigned(tokens[1], &bus->seed)) {
            *error = "\"seed\" takes one unsigned number";
            return false;
        }
        return true;
    }
    if (directive == "sensor" || directive == "device") {
        bool sensor = directive == "sensor";
        if (tokens.size() < 2 || (sensor && tokens.size() < 3)) {
            *error = sensor ? "\"sensor\" takes SERIAL TEMP [OPTION...]" : "\"device\" takes SERIAL";
            return false;
        }
        if (!sensor && tokens.size() > 2) {
            *error = "unexpected \"" + tokens[2] + "\" after the serial";
            return false;
        }
        SimDeviceSpec device;
        device.sensor = sensor;
        if (!SimParseSerial(tokens[1], &device.serial, error))
            return false;
        bool family_known = false;
        for (uint8_t family : SENSOR_FAMILIES)
            family_known = family_known || device.serial[0] == family;
        if (sensor && !family_known) {
            *error = "sensor serial \"" + tokens[1] + "\" must start with family code 10, 28, 22, 3B or 42";
            return false;
        }
        if (sensor && !ParseTemperature(tokens[2], &device, error))
            return false;
        for (size_t i = 3; i < tokens.size(); ++i)
            if (!ParseSensorOption(tokens[i], &device, error))
                return false;
        for (const SimDeviceSpec& known : bus->devices) {
            if (known.serial == device.serial) {
                *error = "duplicate serial " + SimSerialText(device.serial);
                return false;
            }
        }
        bus->devices.push_back(device);
        return true;
    }
    if (directive == "fault") {
        if (tokens.size() < 3) {
            *error = "\"fault\" takes KIND [SERIAL] WINDOW";
            return false;
        }
        const FaultName* name = nullptr;
        for (const FaultName& candidate : FAULT_NAMES)
            if (tokens[1] == candidate.name)
                name = &candidate;
        if (name == nullptr) {
            *error = "unknown fault kind \"" + tokens[1] + "\"";
            return false;
        }
        size_t expected = name->needs_serial ? 4 : 3;
        if (tokens.size() != expected) {
            *error = std::string("fault \"") + name->name + "\" takes " +
                     (name->needs_serial ? "SERIAL WINDOW" : "WINDOW");
            return false;
        }
        SimFaultSpec fault;
        fault.kind = name->kind;
        fault.line = line;
        if (name->needs_serial) {
            fault.has_serial = true;
            if (!SimParseSerial(tokens[2], &fault.serial, error))
                return false;
        }
        if (!ParseWindow(tokens.back(), &fault.window, error))
            return false;
        bus->faults.push_back(fault);
        return true;
    }
    *error = "unknown directive \"" + directive + "\"";
    return false;
}

// A fault on a named device must name one of the bus; sensor faults a sensor.
bool CheckFaultTargets(const SimBusSpec& bus, int* line, std::string* error)
{
    for (const SimFaultSpec& fault : bus.faults) {
        if (!fault.has_serial)
            continue;
        const SimDeviceSpec* target = nullptr;
        for (const SimDeviceSpec& device : bus.devices)
            if (device.serial == fault.serial)
                target = &device;
        *line = fault.line;
        if (target == nullptr) {
            *error = "fault names " + SimSerialText(fault.serial) + ", which is not on the bus";
            return false;
        }
        if (fault.kind != SimFaultKind::Leave && !target->sensor) {
            *error = "fault names " + SimSerialText(fault.serial) + ", which is not a sensor";
            return false;
        }
    }
    return true;
}

// Only the virtual wall clock can be made to jump.
bool CheckClockJumps(const SimBusSpec& bus, int* line, std::string* error)
{
    if (bus.clock_jumps.empty() || bus.virtual_clock)
        return true;
    *line = bus.clock_jumps.front().line;
    *error = "\"clock jump\" needs the virtual clock (clock virtual)";
    return false;
}

}  // namespace

bool SimParseSerial(const std::string& text, SimSerial* serial, std::string* error)
{
    bool good = text.size() == 14 || text.size() == 16;
    for (char c : text)
        good = good && HexValue(c) >= 0;
    if (!good) {
        std::string shown = text.size() > 40 ? text.substr(0, 40) + "..." : text;
        *error = "bad serial \"" + shown + "\": expected 14 or 16 hex digits";
        return false;
    }
    SimSerial out{};
    for (size_t i = 0; i < text.size() / 2; ++i)
        out[i] = static_cast<uint8_t>(HexValue(text[2 * i]) * 16 + HexValue(text[2 * i + 1]));
    if (text.size() == 14)
        out[7] = Crc8Of(out.data(), 7);
    *serial = out;
    return true;
}

std::string SimSerialText(const SimSerial& serial)
{
    char text[17];
    for (size_t i = 0; i < 8; ++i)
        snprintf(text + 2 * i, 3, "%02X", serial[i]);
    return std::string(text, 16);
}

bool SimParseBusText(const std::string& text, const std::string& source, SimBusSpec* bus, std::string* error)
{
    SimBusSpec parsed;
    std::string message;
    int line_number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::vector<std::string> tokens;
        std::string token;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!token.empty())
                    tokens.push_back(token);
                token.clear();
            } else {
                token += c;
            }
        }
        if (!token.empty())
            tokens.push_back(token);
        if (tokens.empty())
            continue;
        if (!ParseLine(tokens, &parsed, line_number, &message)) {
            *error = source + ":" + std::to_string(line_number) + ": " + message;
            return false;
        }
    }
    int bad_line = 0;
    if (!CheckFaultTargets(parsed, &bad_line, &message) || !CheckClockJumps(parsed, &bad_line, &message)) {
        *error = source + ":" + std::to_string(bad_line) + ": " + message;
        return false;
    }
    *bus = parsed;
    return true;
}

SimBusSpec SimDemoBus()
{
    SimBusSpec bus;
    bus.timing = true;
    struct Demo {
        const char* serial;
        double low, high, period;
    };
    const Demo sensors[] = {
        {"1024A3B6010800", 19.0, 21.0, 600},
        {"10C7410E020800", 20.0, 22.5, 900},
        {"105E29F7010800", 21.0, 23.0, 1200},
        {"10F10C34020800", 19.5, 22.0, 750},
    };
    for (const Demo& demo : sensors) {
        SimDeviceSpec device;
        std::string ignored;
        SimParseSerial(demo.serial, &device.serial, &ignored);
        device.sensor = true;
        device.temp_low = demo.low;
        device.temp_high = demo.high;
        device.period_s = demo.period;
        bus.devices.push_back(device);
    }
    return bus;
}

bool SimParseDeviceName(const char* name, SimBusSpec* bus, std::string* error)
{
    std::string text(name ? name : "");
    if (text.compare(0, 4, "sim:") != 0) {
        *error = "\"" + text + "\" is not a software adapter name (sim: or sim:PATH)";
        return false;
    }
    std::string path = text.substr(4);
    if (path.empty()) {
        *bus = SimDemoBus();
        return true;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + ": cannot read the bus file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    if (file)
        content << file.rdbuf();
    if (!file || file.bad()) {
        *error = path + ": cannot read the bus file";
        return false;
    }
    return SimParseBusText(content.str(), path, bus, error);
}
