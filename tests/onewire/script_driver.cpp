#include "tests/onewire/script_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/clock.h"

namespace script {
namespace {

Script TheScript;
std::vector<std::string> TheLog;
uint64_t VirtualMicros = 0;
int Token;  // the context handed out by open

std::string Hex(const uint8_t* data, uint32_t length)
{
    std::string text;
    char byte[3];
    for (uint32_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        text += byte;
    }
    return text;
}

int Claims(const char* name)
{
    return std::strncmp(name, "script:", 7) == 0 ? 1 : 0;
}

void* Open(const char*)
{
    return TheScript.openFails ? nullptr : &Token;
}

template <typename T>
std::optional<T> Take(std::deque<T>& queue)
{
    if (queue.empty())
        return std::nullopt;
    T step = queue.front();
    queue.pop_front();
    return step;
}

int VendorRequestCall(void*, const uint8_t* record)
{
    TheLog.push_back(Vendor(record[1], static_cast<uint16_t>(record[2] | record[3] << 8),
                            static_cast<uint16_t>(record[4] | record[5] << 8)));
    if (TheScript.unplugged)
        return 0;
    if (!Take(TheScript.vendor).value_or(true))
        return 0;
    const uint16_t value = static_cast<uint16_t>(record[2] | record[3] << 8);
    if (record[1] == 1 && (value == 0x0053 || value == 0x1053))
        TheScript.echoed.push_back(record[4]);
    return 1;
}

int QueryStatus(void*, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    TheLog.push_back("S");
    VirtualMicros += TheScript.statusCostMicros;
    if (TheScript.unplugged)
        return 0;
    std::optional<std::vector<uint8_t>> packet = IdleStatus();
    if (!TheScript.status.empty()) {
        packet = TheScript.status.front();
        TheScript.status.pop_front();
    }
    if (!packet)
        return 0;
    uint32_t length = static_cast<uint32_t>(packet->size());
    std::copy(packet->begin(), packet->begin() + std::min(length, capacity), buffer);
    *returned = length;  // may exceed the capacity: the driver boundary clamps it
    return 1;
}

int Read(void*, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    TheLog.push_back("R" + std::to_string(length));
    if (TheScript.unplugged)
        return 0;
    std::optional<std::vector<uint8_t>> bytes = std::vector<uint8_t>{};
    if (TheScript.echo && TheScript.reads.empty()) {
        while (!TheScript.echoed.empty() && bytes->size() < length) {
            bytes->push_back(TheScript.echoed.front());
            TheScript.echoed.pop_front();
        }
    } else if (!TheScript.reads.empty()) {
        bytes = TheScript.reads.front();
        TheScript.reads.pop_front();
    }
    if (!bytes)
        return 0;
    uint32_t count = std::min(length, static_cast<uint32_t>(bytes->size()));
    std::copy(bytes->begin(), bytes->begin() + count, buffer);
    *done = static_cast<uint32_t>(bytes->size());  // more than asked is clamped by the boundary
    return 1;
}

int Write(void*, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    TheLog.push_back("W" + Hex(buffer, length));
    if (TheScript.unplugged)
        return 0;
    std::optional<uint32_t> taken = length;
    if (!TheScript.writes.empty()) {
        taken = TheScript.writes.front();
        TheScript.writes.pop_front();
    }
    if (!taken)
        return 0;
    *done = std::min(*taken, length);
    TheScript.echoed.insert(TheScript.echoed.end(), buffer, buffer + *done);
    return 1;
}

void Close(void*) {}

const DriverOps Ops{"script", Claims, Open, VendorRequestCall, QueryStatus, Read, Write, Close, DriverDescribeNothing};

uint64_t ClockNow(void*)
{
    return VirtualMicros;
}

void ClockSleep(void*, uint64_t microseconds)
{
    TheLog.push_back("P" + std::to_string(microseconds / 1000));
    VirtualMicros += microseconds;
}

}  // namespace

std::vector<uint8_t> Status(uint8_t flags, uint8_t pending, uint8_t fifo, const std::vector<uint8_t>& results)
{
    std::vector<uint8_t> packet(16 + results.size(), 0);
    packet[8] = flags;
    packet[11] = pending;
    packet[13] = fifo;
    std::copy(results.begin(), results.end(), packet.begin() + 16);
    return packet;
}

std::vector<uint8_t> IdleStatus()
{
    return Status(0x20);
}

Script& Current()
{
    return TheScript;
}

std::vector<std::string>& Log()
{
    return TheLog;
}

void Install()
{
    TheScript = Script{};
    TheLog.clear();
    VirtualMicros = 1000000;
    ClockSource source{ClockNow, ClockSleep, nullptr, nullptr};
    ClockInstall(&source);
    DriverRegisterBackend(&Ops);
}

void Remove()
{
    DriverUnregisterBackend(&Ops);
    ClockInstall(nullptr);
}

uint64_t Now()
{
    return VirtualMicros;
}

std::string Vendor(uint8_t kind, uint16_t value, uint16_t index)
{
    char text[24];
    std::snprintf(text, sizeof text, "V%u:%04X:%04X", kind, value, index);
    return text;
}

}  // namespace script
