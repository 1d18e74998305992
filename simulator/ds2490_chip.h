// The DS2490 chip model: control, communication and mode requests, the bulk
// FIFOs, the status packet, and the command execution over the 1-Wire bus.
//
// Commands run on a modelled timeline: each starts when the previous one has
// finished (or now, when the chip is idle) and takes its 1-Wire time when the
// timing model is on. Results are computed when the command is taken, but the
// status and the receive FIFO show them only once their modelled time has come.
#pragma once

#include <cstdint>
#include <deque>

#include "simulator/bus.h"

// 1-Wire standard-speed times (DS2490 datasheet and 1-Wire timing: reset low
// 480 us + presence wait 480 us; a slot 60-120 us).
constexpr uint64_t RESET_MICROS = 1000;
constexpr uint64_t SLOT_MICROS = 70;
// Overdrive times (1-Wire overdrive: reset 70 + 48 us; slot 6-16 us).
constexpr uint64_t OVERDRIVE_RESET_MICROS = 120;
constexpr uint64_t OVERDRIVE_SLOT_MICROS = 10;
// Strong pull-up duration unit: 16 ms per count (DS2490 datasheet, pull-up duration register).
constexpr uint64_t PULLUP_UNIT_MICROS = 16000;
// Programming pulse duration unit: 8 us per count (DS2490 datasheet).
constexpr uint64_t PROGRAM_PULSE_UNIT_MICROS = 8;
// Each FIFO holds 128 bytes (DS2490 datasheet, EP2/EP3 FIFOs).
constexpr size_t FIFO_CAPACITY = 128;
// The status packet carries at most 16 result bytes (DS2490 datasheet).
constexpr size_t MAX_RESULTS = 16;

class Ds2490Chip {
public:
    explicit Ds2490Chip(OneWireBus* bus) : bus_(bus) {}

    // Back to the power-on state: FIFOs and queue empty, default modes, pull-up off.
    void PowerOnReset(uint64_t now);
    // One vendor request (9-byte record); false when the chip stalls it.
    bool VendorRequest(const uint8_t record[9], uint64_t now);
    // Writes the status packet; returns its length (16 + result bytes reported).
    uint32_t Status(uint8_t* buffer, uint32_t capacity, uint64_t now, bool busy);
    // Bulk in: moves up to length received bytes whose time has come.
    uint32_t Read(uint8_t* buffer, uint32_t length, uint64_t now);
    // Bulk out: takes up to length bytes, as many as the send FIFO has room for.
    uint32_t Write(const uint8_t* buffer, uint32_t length, uint64_t now);

    void SetTiming(bool on) { timing_ = on; }
    void SetProgramVoltage(bool on) { program_voltage_ = on; }
    // Modelled 1-Wire time used so far (standard figures, also with timing off).
    uint64_t bus_micros() const { return bus_micros_; }

private:
    struct Command {
        uint16_t value;
        uint16_t index;
    };
    struct Timed {
        uint8_t byte;
        uint64_t at;  // when it was written, or when it becomes readable
    };

    bool Communication(uint16_t value, uint16_t index, uint64_t now);
    bool Mode(uint16_t value, uint16_t index);
    bool Control(uint16_t value, uint64_t now);
    // Runs queued commands as far as their data allows.
    void Advance(uint64_t now);
    // Runs one command starting at cursor_; false when it waits for send data.
    bool Execute(Command& command);
    void Finish(uint64_t end);
    uint64_t Slot() const;
    uint64_t ResetTime() const;
    void Spend(uint64_t micros);
    void EndPullup(uint64_t t);
    void StartPulse(uint64_t t, bool program);
    void PullupAfter(const Command& command);
    void Receive(uint8_t byte) { receive_.push_back(Timed{byte, cursor_}); }
    void ClearBuffers();
    void Expire(uint64_t now);

    OneWireBus* bus_;
    bool timing_ = false;
    bool program_voltage_ = false;

    // Mode registers.
    uint8_t pulse_enable_ = 0;
    uint8_t speed_ = 0;               // 0 regular, 1 flexible, 2 overdrive
    uint8_t pullup_duration_ = 0;     // 0: until halted
    uint8_t program_duration_ = 0;    // 0: until halted
    uint8_t mode_other_[8]{};

    // Execution.
    std::deque<Command> queue_;
    std::deque<uint64_t> running_;    // end times of taken commands not yet over
    uint64_t cursor_ = 0;             // when the last taken command ends
    bool halted_ = false;
    int block_left_ = -1;             // bytes still to exchange in the running block
    bool pulse_on_ = false;
    bool program_pulse_ = false;
    uint64_t pulse_start_ = 0;
    uint64_t pulse_end_ = UINT64_MAX;

    std::deque<Timed> send_;
    std::deque<Timed> receive_;
    std::deque<Timed> results_;
    uint64_t bus_micros_ = 0;
};
