// Test-facing view of the software DS2490: bus descriptions, the scratchpad
// temperature encoding, and run-time control of an open software adapter.
// Tests, benchmarks and the USB emulation may include this; product code
// reaches the software adapter only through SimDriverOps.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/sim_driver.h"

// A registration number: family code first, CRC8 last.
using SimSerial = std::array<uint8_t, 8>;

enum class SimFaultKind {
    Unplug, RefuseVendor, RefuseStatus, RefuseRead, RefuseWrite, ShortRead, ShortWrite,
    ShortLine, Busy, Leave, Crc, CountPerCZero, SlowConversion, NoPullup, Interrupt, Terminate,
};
enum class SimWindowKind { Always, Once, Probability, Conversions, Seconds };

// When a fault applies. Conversions: Convert-T counter in [first, last].
// Seconds: microseconds since open in [first, last).
struct SimFaultWindow {
    SimWindowKind kind = SimWindowKind::Always;
    double probability = 0;
    uint64_t first = 0;
    uint64_t last = UINT64_MAX;
};

struct SimFaultSpec {
    SimFaultKind kind = SimFaultKind::Unplug;
    bool has_serial = false;
    SimSerial serial{};
    SimFaultWindow window;
    int line = 0;  // line in the bus file, 0 when built in code
};

// One device on the bus: a temperature sensor (DS1820/DS1920, family 0x10, or
// the DS18B20 kind: 0x28, 0x22, 0x3B, 0x42) or a ROM-only device.
struct SimDeviceSpec {
    SimSerial serial{};
    bool sensor = false;
    double temp_low = 85;   // fixed temperature when period_s is 0
    double temp_high = 85;
    double period_s = 0;    // > 0: sine between temp_low and temp_high
    bool parasite = false;
    int th = 75;            // alarm limits in the EEPROM, degrees (a common factory 4B/46)
    int tl = 70;
    unsigned conversion_ms = 200;  // family 0x10: typical conversion time (datasheet; max 500)
    int resolution = 12;    // DS18B20 kind: bits, 9..12, in the EEPROM's config byte
};

// A jump of the virtual wall clock, once, when its moment comes: the N-th
// Convert T (a Conversions window with first == last) or the first driver
// call from S seconds after the open (a Seconds window without an end).
struct SimClockJump {
    SimFaultWindow when;
    int64_t milliseconds = 0;  // forward (> 0) or back (< 0)
    int line = 0;
};

struct SimBusSpec {
    bool timing = false;
    bool virtual_clock = false;
    uint64_t virtual_start = 0;  // the virtual wall clock's start (seconds since 1970); 0: now
    bool program_voltage = false;
    uint64_t seed = 1;
    std::vector<SimDeviceSpec> devices;
    std::vector<SimFaultSpec> faults;
    std::vector<SimClockJump> clock_jumps;
};

// Parses bus-file text; on failure *error is "SOURCE:LINE: what is wrong".
bool SimParseBusText(const std::string& text, const std::string& source, SimBusSpec* bus, std::string* error);
// "sim:" gives the demo bus, "sim:PATH" reads and parses the file PATH.
bool SimParseDeviceName(const char* name, SimBusSpec* bus, std::string* error);
// The built-in demo bus: four sensors at indoor temperatures, timing on.
SimBusSpec SimDemoBus();
// 14 hex digits (CRC appended) or 16 (taken as written); upper or lower case.
bool SimParseSerial(const std::string& text, SimSerial* serial, std::string* error);
// 16 upper-case hex digits, family code first.
std::string SimSerialText(const SimSerial& serial);

// Temperature register bytes of a DS1820 scratchpad (bytes 0, 1, 6, 7).
struct SimTemperatureBytes {
    uint8_t lsb, msb, count_remain, count_per_c;
};
// Encodes a temperature (clamped to -55..125, rounded to 1/16 degree).
SimTemperatureBytes SimEncodeTemperature(double celsius);
// The DS18B20 kind: the 12-bit two's complement register, 1/16 degree per
// bit, of a temperature clamped to -55..125 and rounded to 1/16 degree.
uint16_t SimEncodeTwelveBit(double celsius);
// The DS18B20 kind: the config byte for a resolution of 9..12 bits.
uint8_t SimConfigByte(int resolution);
// The logger's decoding: whole degrees from the half-degree register.
double SimDecodeWhole(const SimTemperatureBytes& bytes);
// The logger's extended decoding; equals the whole degrees when COUNT_PER_C is 0.
double SimDecodeExtended(const SimTemperatureBytes& bytes);

// Per-adapter traffic and modelled time.
struct SimCounters {
    uint64_t requests = 0;      // vendor requests given
    uint64_t status_reads = 0;
    uint64_t bulk_reads = 0;
    uint64_t bulk_writes = 0;
    uint64_t bus_micros = 0;    // modelled 1-Wire time
    uint64_t usb_micros = 0;    // modelled USB time
    uint64_t conversions = 0;   // Convert T commands asked for
};

class SimAdapter;

// The most recently opened adapter still open, or nullptr (invalid once closed).
SimAdapter* SimLastOpened();
// The adapter behind a context returned by SimDriverOps.open, or nullptr.
SimAdapter* SimAdapterOfContext(void* context);
// Sets a sensor's true temperature (fixed from now on); false for an unknown sensor.
bool SimSetTemperature(SimAdapter* adapter, const SimSerial& serial, double celsius);
// Takes a device off the bus or puts it back; false for an unknown device.
bool SimSetPresent(SimAdapter* adapter, const SimSerial& serial, bool present);
// Unplugs the adapter (every call refused) or plugs it in again in its power-on state.
void SimSetPlugged(SimAdapter* adapter, bool plugged);
// Shorts the 1-Wire line or clears the short.
void SimSetLineShorted(SimAdapter* adapter, bool shorted);
// Switches the timing model on or off.
void SimSetTiming(SimAdapter* adapter, bool on);
// Reads the traffic counters.
SimCounters SimCountersOf(SimAdapter* adapter);
