// Link layer: the elementary 1-Wire actions on one port.
#pragma once

#include <cstdint>

int BusReset(int port);
int BusExchangeBit(int port, int bit);
uint8_t BusExchangeByte(int port, uint8_t byte);
int BusSendByte(int port, uint8_t byte);
uint8_t BusFetchByte(int port);
uint8_t BusExchangeBytePowered(int port, uint8_t byte);
int BusSendBytePowered(int port, uint8_t byte);
uint8_t BusFetchBytePowered(int port);
int BusCheckBitPowered(int port, int expected);
int BusSetSpeed(int port, int speed);
int BusSetLevel(int port, int level);
int BusProgramPulse(int port);
int BusProgramVoltagePresent(int port);
