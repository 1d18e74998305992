// Block transfer: one DS2490 block command, data in chunks of at most 64 bytes.
#pragma once

#include <cstdint>

constexpr int BLOCK_MAX_LENGTH = 192;
constexpr int BLOCK_CHUNK = 64;

// 1 when all length bytes were exchanged and buffer holds the bytes read back.
int BusBlockExchange(int port, int doReset, uint8_t* buffer, int length);
