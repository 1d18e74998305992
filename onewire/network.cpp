// Network layer: the adapter-driven search, selection and presence check.
#include "onewire/network.h"

#include <cstddef>
#include <cstring>

#include "onewire/adapter.h"
#include "onewire/block.h"
#include "onewire/crc.h"
#include "onewire/ds2490.h"
#include "onewire/link.h"
#include "support/errors.h"

std::array<SerialNumber, MAX_PORTNUM> PortSerial{};
std::array<int, MAX_PORTNUM> SearchResumeBit{};
std::array<int, MAX_PORTNUM> SearchFamilyResumeBit{};
std::array<uint8_t, MAX_PORTNUM> SearchDone{};

namespace {

constexpr int SEARCH_FAILED = 0xFF;
constexpr int SEARCH_TARGETED = 64;
constexpr uint32_t SEARCH_WAIT_MS = 200;
constexpr uint8_t SEARCH_ROM = 0xF0;
constexpr uint8_t ALARM_SEARCH = 0xEC;
constexpr uint16_t SEARCH_FIND_ONE = 0x0100;
constexpr uint8_t MATCH_ROM = 0x55;
constexpr uint8_t OVERDRIVE_MATCH_ROM = 0x69;
constexpr int SERIAL_BITS = 64;
constexpr uint8_t FAMILY_DOUBLE_RESET = 0x04;  // these devices need a second reset before a search

std::size_t Slot(int port)
{
    return static_cast<std::size_t>(port);
}

// Bit i of a byte string, numbered as BufferBit numbers them.
int BitOf(const uint8_t* bytes, int bit)
{
    return (bytes[bit / 8] >> (bit % 8)) & 1;
}

void ForgetSearch(int port)
{
    SearchResumeBit[Slot(port)] = 0;
    SearchFamilyResumeBit[Slot(port)] = 0;
}

}  // namespace

int BufferBit(int op, int value, int bitIndex, uint8_t* buffer)
{
    uint8_t& byte = buffer[bitIndex / 8];
    const uint8_t mask = static_cast<uint8_t>(1u << (bitIndex % 8));
    if (op == 1) {
        byte = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
        return 1;
    }
    return (byte & mask) ? 1 : 0;
}

int NetSearchNext(int port, int doReset, int alarmOnly)
{
    const std::size_t slot = Slot(port);
    SerialNumber& serial = PortSerial[slot];
    if (SearchDone[slot]) {
        ForgetSearch(port);
        SearchDone[slot] = 0;
        return 0;
    }
    if (doReset) {
        if ((serial[0] & 0x7F) == FAMILY_DOUBLE_RESET)
            BusReset(port);
        if (!BusReset(port)) {
            ForgetSearch(port);
            PushErrorCode(ERROR_NO_DEVICES);
            return 0;
        }
    }

    // The path: the current number up to the resume bit, a 1 there, zeros after it.
    SerialNumber path = serial;
    const int resume = SearchResumeBit[slot];
    if (resume != SEARCH_FAILED) {
        if (resume > 0)
            BufferBit(1, 1, resume - 1, path.data());
        for (int bit = resume; bit < SERIAL_BITS; ++bit)
            BufferBit(1, 0, bit, path.data());
    }

    const DriverHandle handle = PortHandle[slot];
    uint16_t length = static_cast<uint16_t>(path.size());
    if (!BulkSend(handle, path.data(), &length)) {
        AdapterReinitialize(port);
        return 0;
    }
    if (!AdapterCommand(port, REQUEST_COMMUNICATION, CMD_SEARCH,
                        static_cast<uint16_t>(SEARCH_FIND_ONE | (alarmOnly ? ALARM_SEARCH : SEARCH_ROM)))) {
        AdapterReinitialize(port);
        return 0;
    }

    AdapterStatus status;
    bool idle = false;
    PollDeadline poll;
    PollStart(poll, SEARCH_WAIT_MS);
    for (;;) {
        if (!AdapterQueryStatus(handle, status, nullptr))
            break;
        if (status[STATUS_STATE_FLAGS] & AdapterIdle) {
            idle = true;
            break;
        }
        if (PollExpired(poll))
            break;
    }
    if (!idle) {
        AdapterReinitialize(port);
        return 0;
    }
    if (status[STATUS_INPUT_FIFO] == 0)
        return 0;

    uint8_t reply[16] = {};
    length = sizeof reply;
    if (!BulkReceive(handle, reply, &length)) {
        AdapterReinitialize(port);
        return 0;
    }
    SearchDone[slot] = length == 8 ? 1 : 0;
    Crc8Seed(port, 0);
    for (std::size_t i = 0; i < serial.size(); ++i) {
        serial[i] = reply[i];
        Crc8Feed(port, reply[i]);
    }
    // An incomplete number is as unusable as one with a bad CRC.
    if (length < 8 || PortCrc8[slot] != 0 || serial[0] == 0) {
        SearchResumeBit[slot] = SEARCH_FAILED;
        SearchDone[slot] = 0;
        serial.fill(0);
        return 0;
    }
    const uint8_t* discrepancy = reply + 8;
    for (int bit = 0; bit < SERIAL_BITS; ++bit) {
        if (BitOf(discrepancy, bit) && !BitOf(serial.data(), bit))
            SearchResumeBit[slot] = bit + 1;
    }
    return 1;
}

int NetSearchFirst(int port, int doReset, int alarmOnly)
{
    ForgetSearch(port);
    SearchDone[Slot(port)] = 0;
    return NetSearchNext(port, doReset, alarmOnly);
}

void NetTargetFamily(int port, uint8_t family)
{
    const std::size_t slot = Slot(port);
    PortSerial[slot].fill(0);
    PortSerial[slot][0] = family;
    SearchResumeBit[slot] = SEARCH_TARGETED;
    SearchFamilyResumeBit[slot] = 0;
    SearchDone[slot] = 0;
}

void NetLeaveFamily(int port)
{
    const std::size_t slot = Slot(port);
    SearchResumeBit[slot] = SearchFamilyResumeBit[slot];
    SearchFamilyResumeBit[slot] = 0;
    if (SearchResumeBit[slot] == 0)
        SearchDone[slot] = 1;
}

void NetSerialCopy(int port, uint8_t* serial, int copyOut)
{
    SerialNumber& current = PortSerial[Slot(port)];
    if (copyOut)
        std::memcpy(serial, current.data(), current.size());
    else
        std::memcpy(current.data(), serial, current.size());
}

int NetSelect(int port)
{
    const SerialNumber& serial = PortSerial[Slot(port)];
    if (!BusReset(port)) {
        PushErrorCode(ERROR_NO_DEVICES);
        return 0;
    }
    uint8_t buffer[9];
    buffer[0] = MATCH_ROM;
    std::memcpy(buffer + 1, serial.data(), serial.size());
    if (!BusBlockExchange(port, 0, buffer, sizeof buffer)) {
        PushErrorCode(ERROR_BLOCK_TRANSFER);
        return 0;
    }
    if (std::memcmp(buffer + 1, serial.data(), serial.size()) != 0)
        return 0;
    if (buffer[0] != MATCH_ROM) {
        PushErrorCode(ERROR_WRITE_VERIFY);
        return 0;
    }
    return 1;
}

int NetCheckPresent(int port, int alarmOnly)
{
    const SerialNumber& serial = PortSerial[Slot(port)];
    uint8_t buffer[25];
    std::memset(buffer, 0xFF, sizeof buffer);
    buffer[0] = alarmOnly ? ALARM_SEARCH : SEARCH_ROM;
    uint8_t* triplets = buffer + 1;
    for (int i = 0; i < SERIAL_BITS; ++i)
        BufferBit(1, BitOf(serial.data(), i), 3 * i + 2, triplets);
    if (!BusBlockExchange(port, 1, buffer, sizeof buffer)) {
        PushErrorCode(ERROR_BLOCK_TRANSFER);
        return 0;
    }
    int good = 0;
    for (int i = 0; i < SERIAL_BITS; ++i) {
        const int pair = 2 * BitOf(triplets, 3 * i) + BitOf(triplets, 3 * i + 1);
        const int expected = BitOf(serial.data(), i);
        if (pair == 3) {
            good = 0;
            break;
        }
        if ((expected == 1 && pair == 2) || (expected == 0 && pair == 1))
            ++good;
    }
    return good >= 8 ? 1 : 0;
}

int NetSelectOverdrive(int port)
{
    const SerialNumber& serial = PortSerial[Slot(port)];
    BusSetLevel(port, 0);
    BusSetSpeed(port, 0);
    ErrorCode code = ERROR_NONE;
    if (!BusReset(port)) {
        code = ERROR_NO_DEVICES;
    } else if (!BusSendByte(port, OVERDRIVE_MATCH_ROM)) {
        code = ERROR_WRITE_BYTE;
    } else {
        BusSetSpeed(port, 1);
        SerialNumber echo = serial;
        if (!BusBlockExchange(port, 0, echo.data(), static_cast<int>(echo.size())))
            code = ERROR_BLOCK_TRANSFER;
        else if (echo != serial)
            code = ERROR_WRITE_VERIFY;
    }
    if (code == ERROR_NONE)
        return 1;
    PushErrorCode(code);
    BusSetSpeed(port, 0);
    return 0;
}

int EpromProgramByte(int port, int data, int address, int command, int crc16Mode, int sendHeader)
{
    const auto low = static_cast<uint8_t>(address & 0xFF);
    const auto high = static_cast<uint8_t>((address >> 8) & 0xFF);
    const auto cmd = static_cast<uint8_t>(command);
    const auto value = static_cast<uint8_t>(data);
    if (sendHeader) {
        if (!NetSelect(port)) {
            PushErrorCode(ERROR_ACCESS_FAILED);
            return -1;
        }
        if (!BusSendByte(port, cmd) || !BusSendByte(port, low) || !BusSendByte(port, high)) {
            PushErrorCode(ERROR_WRITE_BYTE);
            return -1;
        }
    }
    if (!BusSendByte(port, value)) {
        PushErrorCode(ERROR_WRITE_BYTE);
        return -1;
    }
    if (!crc16Mode) {
        if (sendHeader) {
            Crc8Seed(port, 0);
            Crc8Feed(port, cmd);
            Crc8Feed(port, low);
            Crc8Feed(port, high);
        } else {
            Crc8Seed(port, low);
        }
        Crc8Feed(port, value);
        if (Crc8Feed(port, BusFetchByte(port)) != 0) {
            PushErrorCode(ERROR_CRC);
            return -1;
        }
    } else {
        if (sendHeader) {
            Crc16Seed(port, 0);
            Crc16Feed(port, cmd);
            Crc16Feed(port, low);
            Crc16Feed(port, high);
        } else {
            Crc16Seed(port, static_cast<uint16_t>(address));
        }
        Crc16Feed(port, value);
        Crc16Feed(port, BusFetchByte(port));
        if (Crc16Feed(port, BusFetchByte(port)) != 0xB001)
            return -1;
    }
    if (!BusProgramPulse(port)) {
        PushErrorCode(ERROR_PROGRAM_PULSE);
        return -1;
    }
    return BusFetchByte(port);
}
