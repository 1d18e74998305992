// Link layer: the elementary 1-Wire actions on one port. Each takes an open
// port; a failed request pushes its error, and the adapter is reinitialised.
#pragma once

#include <cstdint>

// Reset pulse (ending a strong pull-up first): 1 when a device answered with presence.
int BusReset(int port);
// One time slot writing `bit` (1 also reads): the bit the line held; 0 on failure.
int BusExchangeBit(int port, int bit);
// Eight time slots writing `byte`: the byte read back (0 on failure).
uint8_t BusExchangeByte(int port, uint8_t byte);
// BusExchangeByte: 1 when the byte read back is the byte sent.
int BusSendByte(int port, uint8_t byte);
// Reads one byte (writes 0xFF).
uint8_t BusFetchByte(int port);
// BusExchangeByte with the strong pull-up on the line after it (until BusSetLevel(port, 0)).
uint8_t BusExchangeBytePowered(int port, uint8_t byte);
// BusExchangeBytePowered: 1 when the byte read back is the byte sent.
int BusSendBytePowered(int port, uint8_t byte);
// Reads one byte with the strong pull-up after it.
uint8_t BusFetchBytePowered(int port);
// A write-1 slot with the strong pull-up after it: 1 when the bit read is `expected`; else the pull-up ends, 0.
int BusCheckBitPowered(int port, int expected);
// Speed 1 overdrive, else normal: the speed in force afterwards (the old one when refused).
int BusSetSpeed(int port, int speed);
// Line level 0 normal or 2 strong pull-up: the level in force afterwards
// (another change pushes ERROR_FUNCTION_UNSUPPORTED).
int BusSetLevel(int port, int level);
// Programming pulse: 1 when sent; 0 without program voltage (the last reset's) or on failure.
int BusProgramPulse(int port);
// Resets the bus: 1 when the adapter reports program voltage.
int BusProgramVoltagePresent(int port);
