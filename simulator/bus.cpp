#include "simulator/bus.h"

namespace {

// ROM commands (DS1820 datasheet).
constexpr uint8_t READ_ROM = 0x33;
constexpr uint8_t MATCH_ROM = 0x55;
constexpr uint8_t SKIP_ROM = 0xCC;
constexpr uint8_t SEARCH_ROM = 0xF0;
constexpr uint8_t ALARM_SEARCH = 0xEC;
constexpr uint8_t OVERDRIVE_SKIP = 0x3C;
constexpr uint8_t OVERDRIVE_MATCH = 0x69;

}  // namespace

void BusDevice::SetPresent(bool present)
{
    present_ = present;
    if (!present) {
        rom_ = Rom::Idle;
        overdrive_ = false;
    }
}

bool BusDevice::Reset(uint64_t t, bool overdrive_reset)
{
    if (!present_)
        return false;
    Update(t);
    // A standard reset reaches every device and drops overdrive; the short
    // overdrive reset is seen only by devices already in overdrive.
    if (overdrive_reset && !overdrive_)
        return false;
    if (!overdrive_reset)
        overdrive_ = false;
    rom_ = Rom::Command;
    bit_ = 0;
    command_ = 0;
    return true;
}

void BusDevice::Select(uint64_t t)
{
    rom_ = Rom::Function;
    FunctionStart(t);
}

bool BusDevice::Drive(uint64_t t)
{
    Update(t);
    switch (rom_) {
    case Rom::Read:
        return SerialBit(bit_);
    case Rom::Search:
        if (phase_ == 0)
            return SerialBit(bit_);
        if (phase_ == 1)
            return !SerialBit(bit_);
        return true;
    case Rom::Function:
        return FunctionDrive(t);
    default:
        return true;
    }
}

void BusDevice::Sample(uint64_t t, bool line)
{
    switch (rom_) {
    case Rom::Idle:
        return;
    case Rom::Command:
        if (line)
            command_ = static_cast<uint8_t>(command_ | (1u << bit_));
        if (++bit_ < 8)
            return;
        bit_ = 0;
        phase_ = 0;
        switch (command_) {
        case READ_ROM:
            rom_ = Rom::Read;
            break;
        case MATCH_ROM:
            rom_ = Rom::Match;
            raised_for_match_ = false;
            break;
        case OVERDRIVE_MATCH:
            // The number follows at overdrive speed.
            rom_ = Rom::Match;
            raised_for_match_ = !overdrive_;
            overdrive_ = true;
            break;
        case SKIP_ROM:
            Select(t);
            break;
        case OVERDRIVE_SKIP:
            overdrive_ = true;
            Select(t);
            break;
        case SEARCH_ROM:
            rom_ = Rom::Search;
            break;
        case ALARM_SEARCH:
            rom_ = Alarmed() ? Rom::Search : Rom::Idle;
            break;
        default:
            rom_ = Rom::Idle;
        }
        return;
    case Rom::Read:
        if (++bit_ == 64)
            Select(t);
        return;
    case Rom::Match:
        if (line != SerialBit(bit_)) {
            rom_ = Rom::Idle;
            if (raised_for_match_)
                overdrive_ = false;  // not addressed: back to standard speed
            return;
        }
        if (++bit_ == 64)
            Select(t);
        return;
    case Rom::Search:
        if (phase_ < 2) {
            ++phase_;
            return;
        }
        // The master's write slot: devices whose bit differs drop out.
        phase_ = 0;
        if (line != SerialBit(bit_)) {
            rom_ = Rom::Idle;
            return;
        }
        if (++bit_ == 64)
            Select(t);
        return;
    case Rom::Function:
        FunctionSample(t, line);
        return;
    }
}

BusDevice* OneWireBus::Find(const SimSerial& serial)
{
    for (auto& device : devices_)
        if (device->serial() == serial)
            return device.get();
    return nullptr;
}

void OneWireBus::SetPullup(uint64_t t, bool on)
{
    if (pullup_ == on)
        return;
    pullup_ = on;
    for (auto& device : devices_)
        if (device->present())
            device->PullupChanged(t, on);
}

ResetOutcome OneWireBus::Reset(uint64_t t)
{
    ResetOutcome outcome;
    if (shorted_) {
        outcome.shorted = true;
        return outcome;
    }
    for (auto& device : devices_)
        if (device->Reset(t, overdrive_))
            outcome.presence = true;
    return outcome;
}

bool OneWireBus::Slot(uint64_t t, bool bit)
{
    if (shorted_)
        return false;
    // Devices at the other speed neither drive nor see the slot.
    bool line = bit;
    for (auto& device : devices_)
        if (device->present() && device->overdrive() == overdrive_)
            line = device->Drive(t) && line;
    for (auto& device : devices_)
        if (device->present() && device->overdrive() == overdrive_)
            device->Sample(t, line);
    return line;
}

uint8_t OneWireBus::Byte(uint64_t t, uint8_t byte, uint64_t slot_micros)
{
    uint8_t read = 0;
    for (int i = 0; i < 8; ++i)
        if (Slot(t + static_cast<uint64_t>(i) * slot_micros, (byte >> i) & 1))
            read = static_cast<uint8_t>(read | (1u << i));
    return read;
}
