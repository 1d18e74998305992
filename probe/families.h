// 1-Wire family codes as temp-probe names them, and the temperature families
// it reads. The temperature list and its decoding are the logger's: a family
// is read here exactly when the logger would read it, with the logger's own
// decoding functions.
#pragma once

#include <cstdint>

// Name of a family code, e.g. "DS2405 addressable switch"; "unknown family" when not listed.
const char* ProbeFamilyName(uint8_t family);

// A decoded scratchpad temperature.
struct ProbeTemperature {
    double celsius = 0;     // the best value the logger works out
    double whole = 0;       // whole degrees as the logger writes them
    bool extended = false;  // celsius is the extended temperature (else the whole degrees)
    bool power_on = false;  // the bytes are the sensor's power-on value (85 C, no conversion yet)
};

// 1 when the logger reads sensors of this family, else 0.
int ProbeIsTemperatureFamily(uint8_t family);
// Decodes the 9 scratchpad bytes (CRC already checked) of a sensor of a
// temperature family. Returns 1, or 0 for a family the logger does not read.
int ProbeDecodeTemperature(uint8_t family, const uint8_t scratchpad[9], ProbeTemperature* out);
