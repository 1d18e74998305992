// Link layer: reset, bit and byte time slots, strong pull-up, speed and the
// programming pulse, each one or two command words to the adapter.
#include "onewire/link.h"

#include <cstddef>

#include "onewire/adapter.h"
#include "onewire/ds2490.h"
#include "support/errors.h"

namespace {

constexpr unsigned RESET_SETTLE_MS = 5;
constexpr unsigned SHORT_SETTLE_MS = 300;

std::size_t Slot(int port)
{
    return static_cast<std::size_t>(port);
}

// Ends a strong pull-up left on the line before the next action.
void EndPullUp(int port)
{
    if (PortLevel[Slot(port)] == 2)
        BusSetLevel(port, 0);
}

// Reads the one byte a bit or byte command leaves in the receive pipe. A refused
// receive raises ERROR_ADAPTER_COMMUNICATION once more; a receive that brings no byte leaves the reply
// unknown and counts as failed too. Either way the adapter is reinitialised.
int ReceiveReply(int port, uint8_t* reply)
{
    uint8_t byte = 0;
    uint16_t length = 1;
    if (!BulkReceive(PortHandle[Slot(port)], &byte, &length) || length != 1) {
        AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    *reply = byte;
    return 1;
}

// Sends one communication command and reads back its one byte. On any failure
// raises ERROR_ADAPTER_COMMUNICATION, reinitialises the adapter and returns 0.
int CommandWithReply(int port, uint16_t value, uint16_t index, uint8_t* reply)
{
    if (!AdapterCommand(port, REQUEST_COMMUNICATION, value, index)) {
        AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    return ReceiveReply(port, reply);
}

// The powered slot: enable the strong pull-up only, send the command with a
// pull-up after it, then read its byte back.
int PoweredCommand(int port, uint16_t value, uint16_t index, uint8_t* reply)
{
    EndPullUp(port);
    if (!AdapterCommand(port, REQUEST_MODE, MODE_PULSE_ENABLE, PULSE_ENABLE_SPU) ||
        !AdapterCommand(port, REQUEST_COMMUNICATION, value, index)) {
        AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    PortLevel[Slot(port)] = 2;  // the pull-up is on the line from here on
    return ReceiveReply(port, reply);
}

}  // namespace

int BusReset(int port)
{
    EndPullUp(port);
    const int overdrive = PortSpeed[Slot(port)] == 1;
    if (!AdapterCommand(port, REQUEST_COMMUNICATION, CMD_RESET,
                        overdrive ? SPEED_INDEX_OVERDRIVE : SPEED_INDEX_NORMAL)) {
        AdapterRecover(port, ERROR_RESET_FAILED);
        return 0;
    }
    if (!overdrive)
        PauseMs(RESET_SETTLE_MS);
    int presence = 0;
    int programVoltage = 0;
    if (EvaluateLineStatus(PortHandle[Slot(port)], &presence, &programVoltage)) {
        PortProgramVoltage[Slot(port)] = programVoltage;
        return presence;
    }
    PushErrorCode(ERROR_SHORTED);
    PauseMs(SHORT_SETTLE_MS);
    AdapterReinitialize(port);
    return 0;
}

int BusExchangeBit(int port, int bit)
{
    EndPullUp(port);
    uint8_t reply = 0;
    if (!CommandWithReply(port, bit ? CMD_BIT_WRITE1 : CMD_BIT_WRITE0, 0, &reply))
        return 0;
    return reply & 0x01;
}

uint8_t BusExchangeByte(int port, uint8_t byte)
{
    EndPullUp(port);
    uint8_t reply = 0;
    if (!CommandWithReply(port, CMD_BYTE, byte, &reply))
        return 0;
    return reply;
}

int BusSendByte(int port, uint8_t byte)
{
    return BusExchangeByte(port, byte) == byte ? 1 : 0;
}

uint8_t BusFetchByte(int port)
{
    return BusExchangeByte(port, 0xFF);
}

uint8_t BusExchangeBytePowered(int port, uint8_t byte)
{
    uint8_t reply = 0;
    if (!PoweredCommand(port, CMD_BYTE_SPU, byte, &reply))
        return 0;
    return reply;
}

int BusSendBytePowered(int port, uint8_t byte)
{
    return BusExchangeBytePowered(port, byte) == byte ? 1 : 0;
}

uint8_t BusFetchBytePowered(int port)
{
    return BusExchangeBytePowered(port, 0xFF);
}

int BusCheckBitPowered(int port, int expected)
{
    uint8_t reply = 0;
    if (!PoweredCommand(port, CMD_BIT_WRITE1_SPU, 0, &reply))
        return 0;
    if (reply == expected)
        return 1;
    BusSetLevel(port, 0);
    return 0;
}

int BusSetSpeed(int port, int speed)
{
    if (!AdapterCommand(port, REQUEST_MODE, MODE_SPEED, speed == 1 ? SPEED_INDEX_OVERDRIVE : SPEED_INDEX_NORMAL)) {
        AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
        return PortSpeed[Slot(port)];
    }
    PortSpeed[Slot(port)] = speed;
    return speed;
}

int BusSetLevel(int port, int level)
{
    int& current = PortLevel[Slot(port)];
    if (level == 0 && current == 2) {
        if (StopPowerPulse(PortHandle[Slot(port)]))
            current = 0;
        return current;
    }
    if (level == 2 && current == 0) {
        if (AdapterCommand(port, REQUEST_MODE, MODE_PULSE_ENABLE, PULSE_ENABLE_SPU) &&
            AdapterCommand(port, REQUEST_COMMUNICATION, CMD_PULSE_SPU, 0)) {
            current = 2;
            return 2;
        }
        AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
        return current;
    }
    if (level != current)
        PushErrorCode(ERROR_FUNCTION_UNSUPPORTED);
    return current;
}

int BusProgramPulse(int port)
{
    if (PortProgramVoltage[Slot(port)] == 0)
        return 0;
    EndPullUp(port);
    if (!AdapterCommand(port, REQUEST_COMMUNICATION, CMD_PULSE_PROGRAM, 0)) {
        AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    return 1;
}

int BusProgramVoltagePresent(int port)
{
    BusReset(port);
    return PortProgramVoltage[Slot(port)];
}
