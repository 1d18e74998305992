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

int NetSearchFirst(int port, int doReset, int alarmOnly);
int NetSearchNext(int port, int doReset, int alarmOnly);
void NetTargetFamily(int port, uint8_t family);
void NetLeaveFamily(int port);
// copyOut non-zero: serial = PortSerial[port]; zero: PortSerial[port] = serial.
void NetSerialCopy(int port, uint8_t* serial, int copyOut);
int NetSelect(int port);
int NetCheckPresent(int port, int alarmOnly);
int NetSelectOverdrive(int port);
// op 1: set bit bitIndex to (value != 0) and return 1; other op: return the bit.
int BufferBit(int op, int value, int bitIndex, uint8_t* buffer);
// The byte read back after programming, or -1.
int EpromProgramByte(int port, int data, int address, int command, int crc16Mode, int sendHeader);
