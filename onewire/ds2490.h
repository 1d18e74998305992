// Requests to the DS2490 through its driver: the VendorRequest record, the
// AdapterStatus packet, and the composite operations built on them.
#pragma once

#include <cstdint>

#include "onewire/driver.h"

// The 9-byte record sent with VendorRequestControlCode: a USB setup packet
// (multi-byte fields little-endian) and one reserved byte.
struct VendorRequest {
    uint8_t bmRequestType;  // always 0x40
    uint8_t bRequest;       // 0 control, 1 communication, 2 mode
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;       // always 0
    uint8_t reserved;       // always 0
};

// Request kinds (bRequest).
constexpr uint8_t REQUEST_CONTROL = 0;
constexpr uint8_t REQUEST_COMMUNICATION = 1;
constexpr uint8_t REQUEST_MODE = 2;

// The record as the driver receives it.
void VendorRequestBytes(const VendorRequest& request, uint8_t out[VENDOR_REQUEST_SIZE]);
// Builds and sends one vendor request. Returns 1 when the driver accepted it, 0 when refused.
// Pushes no error: its callers decide which code a refusal raises.
int SendVendorRequest(DriverHandle handle, uint8_t kind, uint16_t value, uint16_t index);

// The status packet: 16 register bytes and 0..16 result bytes.
constexpr int AdapterStatusSize = 32;  // the caller's buffer
constexpr int STATUS_STATE_FLAGS = 8;        // AdapterStateFlags
constexpr int STATUS_PENDING_COMMANDS = 11;  // PendingCommandCount
constexpr int STATUS_INPUT_FIFO = 13;        // InputFifoCount
constexpr int STATUS_RESULTS = 16;           // ResultBytes
using AdapterStatus = uint8_t[AdapterStatusSize];

constexpr uint8_t PulseActive = 0x01;
constexpr uint8_t ProgramVoltagePresent = 0x04;
constexpr uint8_t AdapterIdle = 0x20;
constexpr uint8_t ResultDeviceDetect = 0xA5;
constexpr uint8_t ResultShort = 0x02;
constexpr uint8_t ResultNoPresence = 0x01;

// Reads the status packet into status (32 bytes). resultCount may be null; when
// given it receives the number of result bytes, always within 0..16.
// Returns 1, or 0 after pushing ERROR_ADAPTER_COMMUNICATION when the driver refuses.
int AdapterQueryStatus(DriverHandle handle, uint8_t* status, uint8_t* resultCount);
// Sends the adapter reset request; reports nothing.
void AdapterChipReset(DriverHandle handle);
// 1 when the line is usable (presence and programVoltage set to 0 or 1), else 0.
int EvaluateLineStatus(DriverHandle handle, int* presence, int* programVoltage);
// 1 when a running pulse has ended (within 300 ms) and pulses are disabled, else 0.
int StopPowerPulse(DriverHandle handle);
// Puts the adapter in its initial state; 1 when the line check then passes.
int PrepareAdapter(DriverHandle handle);
// Bulk pipes. *length: in the count wanted, out the count moved. 1, or 0 after pushing ERROR_ADAPTER_COMMUNICATION.
int BulkReceive(DriverHandle handle, uint8_t* buffer, uint16_t* length);
int BulkSend(DriverHandle handle, const uint8_t* buffer, uint16_t* length);

// A busy-poll deadline by ClockMs. The polls that use it never sleep, so a clock
// that does not move (a frozen virtual clock) would hold them forever: after
// POLL_STALL_LIMIT polls without the tick count moving, the deadline counts as
// reached. A real tick count moves long before that.
constexpr uint32_t POLL_STALL_LIMIT = 100000;
struct PollDeadline {
    uint32_t deadline;
    uint32_t lastTick;
    uint32_t stalledPolls;
};
void PollStart(PollDeadline& poll, uint32_t milliseconds);
// 1 once the deadline has been reached (or the clock has stalled), else 0.
int PollExpired(PollDeadline& poll);
