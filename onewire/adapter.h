// Per-port adapter state, the command words sent to the adapter, and the
// recovery that follows every failed adapter request.
#pragma once

#include <array>
#include <cstdint>

#include "onewire/driver.h"
#include "onewire/ports.h"
#include "support/clock.h"  // PauseMs, ClockMs
#include "support/errors.h"

extern std::array<DriverHandle, MAX_PORTNUM> PortHandle;   // 0 = free slot
extern std::array<int, MAX_PORTNUM> PortSpeed;             // 0 normal, 1 overdrive
extern std::array<int, MAX_PORTNUM> PortLevel;             // 0 normal, 2 strong pull-up
extern std::array<int, MAX_PORTNUM> PortProgramVoltage;    // 1 = 12 V reported present
// Calls of AdapterReinitialize per slot (the one at opening included), and how
// many of them failed; wraps. The logger compares readings to learn whether
// the adapter was reset in between, and counts them in its metrics.
extern std::array<uint32_t, MAX_PORTNUM> PortReinitCount;
extern std::array<uint32_t, MAX_PORTNUM> PortReinitFailures;

// Communication command values (request kind 1).
constexpr uint16_t CMD_RESET = 0x084B;
constexpr uint16_t CMD_BIT_WRITE0 = 0x0021;
constexpr uint16_t CMD_BIT_WRITE1 = 0x0029;
constexpr uint16_t CMD_BIT_WRITE1_SPU = 0x1029;
constexpr uint16_t CMD_BYTE = 0x0053;
constexpr uint16_t CMD_BYTE_SPU = 0x1053;
constexpr uint16_t CMD_PULSE_SPU = 0x0031;
constexpr uint16_t CMD_PULSE_PROGRAM = 0x0039;
constexpr uint16_t CMD_BLOCK = 0x0875;
constexpr uint16_t CMD_SEARCH = 0x48FD;
constexpr uint16_t CMD_SET_SPU_DURATION = 0x0013;
constexpr uint16_t CMD_SET_PROGRAM_DURATION = 0x001B;
// Mode command values (request kind 2).
constexpr uint16_t MODE_PULSE_ENABLE = 0x0000;
constexpr uint16_t MODE_SPEED = 0x0002;
// Pulse-enable indexes of MODE_PULSE_ENABLE.
constexpr uint16_t PULSE_ENABLE_NONE = 0x0000;
constexpr uint16_t PULSE_ENABLE_PROGRAM = 0x0001;
constexpr uint16_t PULSE_ENABLE_SPU = 0x0002;
// Speed indexes of MODE_SPEED and CMD_RESET.
constexpr uint16_t SPEED_INDEX_NORMAL = 1;     // the adapter's flexible normal speed
constexpr uint16_t SPEED_INDEX_OVERDRIVE = 2;
// Control command values (request kind 0).
constexpr uint16_t CTL_RESET_DEVICE = 0x0000;
constexpr uint16_t CTL_RESUME_EXECUTION = 0x0002;
constexpr uint16_t CTL_HALT_EXECUTION_WHEN_IDLE = 0x0003;

// Brings the port's adapter back to its initial state: 1 on success (speed and
// level set to 0), else 0 after pushing ERROR_INITIALIZE_RESOURCE.
int AdapterReinitialize(int port);

// Sends one vendor request on the port's handle; 1 when the driver accepted it.
int AdapterCommand(int port, uint8_t kind, uint16_t value, uint16_t index);
// The common failure path: pushes code (unless ERROR_NONE), then AdapterReinitialize(port).
void AdapterRecover(int port, ErrorCode code);

// Puts every per-port table of the stack back to its program-start state (tests only).
void StackResetForTest();
