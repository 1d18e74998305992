#include "simulator/ds2490_chip.h"

#include <algorithm>
#include <cstring>

namespace {

// Request kinds (bRequest) and the vendor request type.
constexpr uint8_t VENDOR_OUT = 0x40;
constexpr uint8_t CONTROL = 0;
constexpr uint8_t COMMUNICATION = 1;
constexpr uint8_t MODE = 2;

// Control commands.
constexpr uint16_t CTL_RESET_DEVICE = 0x0000;
constexpr uint16_t CTL_START_EXE = 0x0001;
constexpr uint16_t CTL_RESUME_EXE = 0x0002;
constexpr uint16_t CTL_HALT_EXE_IDLE = 0x0003;
constexpr uint16_t CTL_HALT_EXE_DONE = 0x0004;
constexpr uint16_t CTL_FLUSH_COMM_CMDS = 0x0007;
constexpr uint16_t CTL_FLUSH_RCV_BUFFER = 0x0008;
constexpr uint16_t CTL_FLUSH_XMT_BUFFER = 0x0009;

// Communication commands: the command bits, and the flag bits.
constexpr uint16_t COMMAND_BITS = 0x00F6;
constexpr uint16_t CMD_SET_DURATION = 0x12;
constexpr uint16_t CMD_BIT_IO = 0x20;
constexpr uint16_t CMD_PULSE = 0x30;
constexpr uint16_t CMD_RESET = 0x42;
constexpr uint16_t CMD_BYTE_IO = 0x52;
constexpr uint16_t CMD_BLOCK_IO = 0x74;
constexpr uint16_t CMD_SEARCH_ACCESS = 0xF4;
constexpr uint16_t FLAG_IMMEDIATE = 0x0001;
constexpr uint16_t FLAG_SPECIFIC = 0x0008;      // speed from index / bit value / 12 V pulse / numbers only
constexpr uint16_t FLAG_RESET_FIRST = 0x0100;
constexpr uint16_t FLAG_CLEAR_ON_ERROR = 0x0800;
constexpr uint16_t FLAG_PULLUP_AFTER = 0x1000;
constexpr uint16_t FLAG_DISCREPANCIES = 0x4000;

// Mode selectors.
constexpr uint16_t MODE_PULSE_ENABLE = 0x0000;
constexpr uint16_t MODE_SPEED = 0x0002;
constexpr uint16_t MODE_PULLUP_DURATION = 0x0003;
constexpr uint16_t MODE_PROGRAM_DURATION = 0x0005;
constexpr uint16_t MODE_LAST = 0x0007;
constexpr uint8_t ENABLE_PROGRAM_PULSE = 0x01;
constexpr uint8_t ENABLE_PULLUP = 0x02;
constexpr uint8_t SPEED_OVERDRIVE = 2;

// Status flags and result bytes.
constexpr uint8_t FLAG_PULLUP_ACTIVE = 0x01;
constexpr uint8_t FLAG_PROGRAM_ACTIVE = 0x02;
constexpr uint8_t FLAG_12V_PRESENT = 0x04;
constexpr uint8_t FLAG_HALTED = 0x10;
constexpr uint8_t FLAG_IDLE = 0x20;
constexpr uint8_t RESULT_DEVICE_DETECT = 0xA5;
constexpr uint8_t RESULT_NO_PRESENCE = 0x01;
constexpr uint8_t RESULT_SHORT = 0x02;

}  // namespace

void Ds2490Chip::PowerOnReset(uint64_t now)
{
    EndPullup(now);
    pulse_enable_ = 0;
    speed_ = 0;
    pullup_duration_ = 0;
    program_duration_ = 0;
    std::memset(mode_other_, 0, sizeof mode_other_);
    bus_->SetOverdrive(false);
    queue_.clear();
    running_.clear();
    cursor_ = now;
    halted_ = false;
    block_left_ = -1;
    send_.clear();
    receive_.clear();
    results_.clear();
}

uint64_t Ds2490Chip::Slot() const { return speed_ == SPEED_OVERDRIVE ? OVERDRIVE_SLOT_MICROS : SLOT_MICROS; }
uint64_t Ds2490Chip::ResetTime() const { return speed_ == SPEED_OVERDRIVE ? OVERDRIVE_RESET_MICROS : RESET_MICROS; }

void Ds2490Chip::Spend(uint64_t micros)
{
    bus_micros_ += micros;
    if (timing_)
        cursor_ += micros;
}

void Ds2490Chip::EndPullup(uint64_t t)
{
    if (!pulse_on_)
        return;
    pulse_on_ = false;
    if (!program_pulse_)
        bus_->SetPullup(std::max(t, pulse_start_), false);
}

void Ds2490Chip::StartPulse(uint64_t t, bool program)
{
    bool allowed = program ? (pulse_enable_ & ENABLE_PROGRAM_PULSE) && program_voltage_
                           : (pulse_enable_ & ENABLE_PULLUP) != 0;
    if (!allowed)
        return;
    EndPullup(t);
    pulse_on_ = true;
    program_pulse_ = program;
    pulse_start_ = t;
    uint64_t duration = program ? program_duration_ * PROGRAM_PULSE_UNIT_MICROS : pullup_duration_ * PULLUP_UNIT_MICROS;
    pulse_end_ = duration ? t + duration : UINT64_MAX;
    if (!program)
        bus_->SetPullup(t, true);
    // A timed pulse holds up the commands behind it; an open-ended one does not.
    if (duration)
        Spend(duration);
}

void Ds2490Chip::PullupAfter(const Command& command)
{
    if (command.value & FLAG_PULLUP_AFTER)
        StartPulse(cursor_, false);
}

void Ds2490Chip::ClearBuffers()
{
    send_.clear();
    receive_.clear();
}

void Ds2490Chip::Finish(uint64_t end) { running_.push_back(end); }

void Ds2490Chip::Expire(uint64_t now)
{
    if (pulse_on_ && pulse_end_ <= now)
        EndPullup(pulse_end_);
    while (!running_.empty() && running_.front() <= now)
        running_.pop_front();
}

bool Ds2490Chip::Execute(Command& command)
{
    const uint16_t value = command.value;
    switch (value & COMMAND_BITS) {
    case CMD_SET_DURATION:
        (value & FLAG_SPECIFIC ? program_duration_ : pullup_duration_) = static_cast<uint8_t>(command.index);
        break;
    case CMD_PULSE:
        StartPulse(cursor_, (value & FLAG_SPECIFIC) != 0);
        break;
    case CMD_RESET: {
        if ((value & FLAG_SPECIFIC) && (command.index & 0xFF) <= SPEED_OVERDRIVE)
            speed_ = static_cast<uint8_t>(command.index);
        bus_->SetOverdrive(speed_ == SPEED_OVERDRIVE);
        EndPullup(cursor_);
        ResetOutcome outcome = bus_->Reset(cursor_);
        Spend(ResetTime());
        uint8_t result = outcome.shorted ? RESULT_SHORT : outcome.presence ? RESULT_DEVICE_DETECT : RESULT_NO_PRESENCE;
        results_.push_back(Timed{result, cursor_});
        if (result != RESULT_DEVICE_DETECT && (value & FLAG_CLEAR_ON_ERROR))
            ClearBuffers();
        PullupAfter(command);
        break;
    }
    case CMD_BIT_IO: {
        EndPullup(cursor_);
        bool bit = bus_->Slot(cursor_, (value & FLAG_SPECIFIC) != 0);
        Spend(Slot());
        Receive(bit ? 1 : 0);
        PullupAfter(command);
        break;
    }
    case CMD_BYTE_IO: {
        EndPullup(cursor_);
        uint8_t byte = bus_->Byte(cursor_, static_cast<uint8_t>(command.index), Slot());
        Spend(8 * Slot());
        Receive(byte);
        PullupAfter(command);
        break;
    }
    case CMD_BLOCK_IO:
        if (block_left_ < 0) {
            block_left_ = command.index;
            EndPullup(cursor_);
            if (value & FLAG_RESET_FIRST) {
                bus_->Reset(cursor_);
                Spend(ResetTime());
            }
        }
        // Each byte goes out once the host has written it and the receive FIFO has room.
        while (block_left_ > 0) {
            if (send_.empty() || receive_.size() >= FIFO_CAPACITY)
                return false;
            Timed out = send_.front();
            send_.pop_front();
            cursor_ = std::max(cursor_, out.at);
            uint8_t byte = bus_->Byte(cursor_, out.byte, Slot());
            Spend(8 * Slot());
            Receive(byte);
            --block_left_;
        }
        block_left_ = -1;
        PullupAfter(command);
        break;
    case CMD_SEARCH_ACCESS: {
        if (send_.size() < 8)
            return false;
        uint8_t path[8];
        for (uint8_t& byte : path) {
            cursor_ = std::max(cursor_, send_.front().at);
            byte = send_.front().byte;
            send_.pop_front();
        }
        EndPullup(cursor_);
        if (value & FLAG_RESET_FIRST) {
            bus_->Reset(cursor_);
            Spend(ResetTime());
        }
        bus_->Byte(cursor_, static_cast<uint8_t>(command.index), Slot());
        Spend(8 * Slot());
        uint8_t number[8]{}, discrepancies[8]{};
        bool found = !bus_->shorted();
        bool remain = false;
        for (int i = 0; i < 64 && found; ++i) {
            bool first = bus_->Slot(cursor_, true);
            Spend(Slot());
            bool second = bus_->Slot(cursor_, true);
            Spend(Slot());
            bool direction;
            if (first && second) {
                found = false;  // nobody answers: no device (or it left mid-search)
                break;
            }
            if (!first && !second) {
                // Both values answer: follow the path, and note the discrepancy.
                direction = (path[i / 8] >> (i % 8)) & 1;
                discrepancies[i / 8] = static_cast<uint8_t>(discrepancies[i / 8] | (1u << (i % 8)));
                remain = remain || !direction;
            } else {
                direction = first;
            }
            bus_->Slot(cursor_, direction);
            Spend(Slot());
            if (direction)
                number[i / 8] = static_cast<uint8_t>(number[i / 8] | (1u << (i % 8)));
        }
        if (found) {
            for (uint8_t byte : number)
                Receive(byte);
            if (remain && (value & FLAG_DISCREPANCIES))
                for (uint8_t byte : discrepancies)
                    Receive(byte);
        }
        PullupAfter(command);
        break;
    }
    default:
        break;
    }
    Finish(cursor_);
    return true;
}

void Ds2490Chip::Advance(uint64_t now)
{
    Expire(now);
    while (!halted_ && !queue_.empty()) {
        Command& command = queue_.front();
        if (!(command.value & FLAG_IMMEDIATE))
            break;
        if (block_left_ < 0)
            cursor_ = std::max(cursor_, now);
        if (!Execute(command))
            break;
        queue_.pop_front();
    }
    Expire(now);
}

bool Ds2490Chip::Communication(uint16_t value, uint16_t index, uint64_t now)
{
    switch (value & COMMAND_BITS) {
    case CMD_SET_DURATION:
    case CMD_BIT_IO:
    case CMD_PULSE:
    case CMD_RESET:
    case CMD_BYTE_IO:
    case CMD_BLOCK_IO:
    case CMD_SEARCH_ACCESS:
        break;
    default:
        return false;
    }
    queue_.push_back(Command{value, index});
    Advance(now);
    return true;
}

bool Ds2490Chip::Mode(uint16_t value, uint16_t index)
{
    if (value > MODE_LAST || index > 0xFF)
        return false;
    uint8_t setting = static_cast<uint8_t>(index);
    switch (value) {
    case MODE_PULSE_ENABLE:
        pulse_enable_ = setting;
        break;
    case MODE_SPEED:
        if (setting > SPEED_OVERDRIVE)
            return false;
        speed_ = setting;
        bus_->SetOverdrive(speed_ == SPEED_OVERDRIVE);
        break;
    case MODE_PULLUP_DURATION:
        pullup_duration_ = setting;
        break;
    case MODE_PROGRAM_DURATION:
        program_duration_ = setting;
        break;
    default:
        mode_other_[value] = setting;
    }
    return true;
}

bool Ds2490Chip::Control(uint16_t value, uint64_t now)
{
    switch (value) {
    case CTL_RESET_DEVICE:
        PowerOnReset(now);
        return true;
    case CTL_START_EXE:
        // Commands given without "execute at once" wait for this.
        for (Command& command : queue_)
            command.value |= FLAG_IMMEDIATE;
        halted_ = false;
        break;
    case CTL_RESUME_EXE:
        halted_ = false;
        break;
    case CTL_HALT_EXE_IDLE:
    case CTL_HALT_EXE_DONE:
        // Halting ends an open-ended strong pull-up or pulse.
        EndPullup(std::max(now, cursor_));
        halted_ = true;
        break;
    case CTL_FLUSH_COMM_CMDS:
        queue_.clear();
        block_left_ = -1;
        break;
    case CTL_FLUSH_RCV_BUFFER:
        receive_.clear();
        break;
    case CTL_FLUSH_XMT_BUFFER:
        send_.clear();
        break;
    default:
        return false;
    }
    Advance(now);
    return true;
}

bool Ds2490Chip::VendorRequest(const uint8_t record[9], uint64_t now)
{
    uint16_t value = static_cast<uint16_t>(record[2] | record[3] << 8);
    uint16_t index = static_cast<uint16_t>(record[4] | record[5] << 8);
    uint16_t length = static_cast<uint16_t>(record[6] | record[7] << 8);
    if (record[0] != VENDOR_OUT || length != 0)
        return false;
    Advance(now);
    switch (record[1]) {
    case CONTROL:
        return Control(value, now);
    case COMMUNICATION:
        return Communication(value, index, now);
    case MODE:
        return Mode(value, index);
    default:
        return false;
    }
}

uint32_t Ds2490Chip::Status(uint8_t* buffer, uint32_t capacity, uint64_t now, bool busy)
{
    Advance(now);
    uint8_t packet[16 + MAX_RESULTS]{};
    packet[0] = pulse_enable_;
    packet[1] = speed_;
    packet[2] = pullup_duration_;
    packet[3] = program_duration_;
    for (int i = 4; i < 8; ++i)
        packet[i] = mode_other_[i];
    size_t pending = queue_.size() + running_.size();
    if (busy)
        pending = std::max<size_t>(pending, 1);
    uint8_t flags = 0;
    if (pulse_on_ && pulse_start_ <= now)
        flags |= program_pulse_ ? FLAG_PROGRAM_ACTIVE : FLAG_PULLUP_ACTIVE;
    if (program_voltage_)
        flags |= FLAG_12V_PRESENT;
    if (halted_)
        flags |= FLAG_HALTED;
    if (pending == 0)
        flags |= FLAG_IDLE;
    packet[8] = flags;
    if (!queue_.empty()) {
        packet[9] = static_cast<uint8_t>(queue_.front().value);
        packet[10] = static_cast<uint8_t>(queue_.front().value >> 8);
    }
    packet[11] = static_cast<uint8_t>(std::min<size_t>(pending, 255));
    packet[12] = static_cast<uint8_t>(std::min<size_t>(send_.size(), 255));
    size_t ready = 0;
    while (ready < receive_.size() && receive_[ready].at <= now)
        ++ready;
    packet[13] = static_cast<uint8_t>(std::min<size_t>(ready, 255));
    uint32_t length = 16;
    while (!results_.empty() && results_.front().at <= now && length < 16 + MAX_RESULTS &&
           length < capacity) {
        packet[length++] = results_.front().byte;
        results_.pop_front();
    }
    length = std::min(length, capacity);
    std::memcpy(buffer, packet, length);
    return length;
}

uint32_t Ds2490Chip::Read(uint8_t* buffer, uint32_t length, uint64_t now)
{
    Advance(now);
    uint32_t done = 0;
    while (done < length && !receive_.empty() && receive_.front().at <= now) {
        buffer[done++] = receive_.front().byte;
        receive_.pop_front();
    }
    Advance(now);  // a block waiting for room goes on
    return done;
}

uint32_t Ds2490Chip::Write(const uint8_t* buffer, uint32_t length, uint64_t now)
{
    Advance(now);
    uint32_t room = static_cast<uint32_t>(FIFO_CAPACITY - std::min(FIFO_CAPACITY, send_.size()));
    uint32_t taken = std::min(length, room);
    for (uint32_t i = 0; i < taken; ++i)
        send_.push_back(Timed{buffer[i], now});
    Advance(now);
    return taken;
}
