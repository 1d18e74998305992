// Network layer: search by registration number, selection and presence check.
#pragma once

#include <array>
#include <cstdint>

#include "onewire/ports.h"
#include "support/serial_number.h"

extern std::array<SerialNumber, MAX_PORTNUM> PortSerial;
extern std::array<int, MAX_PORTNUM> SearchResumeBit;        // 1-based; 0 fresh; 64 targeted; 0xFF failed
extern std::array<int, MAX_PORTNUM> SearchFamilyResumeBit;
extern std::array<uint8_t, MAX_PORTNUM> SearchDone;

// NetSearchNext from the start of the search.
int NetSearchFirst(int port, int doReset, int alarmOnly);
// The next device of the search (after a reset when doReset; alarmOnly: alarm
// search) into PortSerial[port]: 1, or 0 when the search is done (and begins
// again), no device answered the reset (pushed) or the number failed its CRC8
// (SearchResumeBit 0xFF).
int NetSearchNext(int port, int doReset, int alarmOnly);
// The next NetSearchNext starts at the first number of `family`.
void NetTargetFamily(int port, uint8_t family);
// The search resumes where it was before the family was targeted (done when at its start).
void NetLeaveFamily(int port);
// copyOut non-zero: serial = PortSerial[port]; zero: PortSerial[port] = serial.
void NetSerialCopy(int port, uint8_t* serial, int copyOut);
// Reset and Match ROM of PortSerial[port]: 1 when the number came back as sent;
// 0 on a failed reset or transfer (pushed) or a number read back otherwise.
int NetSelect(int port);
// One search pass that follows PortSerial[port]: 1 when a device (with
// alarmOnly, an alarming one) answered every bit and matched at least 8.
int NetCheckPresent(int port, int alarmOnly);
// Overdrive Match ROM of PortSerial[port]: 1 with the port left at overdrive
// speed; else 0 (pushed) at normal speed.
int NetSelectOverdrive(int port);
// op 1: set bit bitIndex to (value != 0) and return 1; other op: return the bit.
int BufferBit(int op, int value, int bitIndex, uint8_t* buffer);
// The byte read back after programming, or -1.
int EpromProgramByte(int port, int data, int address, int command, int crc16Mode, int sendHeader);
