// The 1-Wire bus of the software adapter, at the level of time slots, and the
// ROM layer that every device on it shares.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "simulator/sim.h"

// Asks whether a fault of some kind applies to a device at this opportunity.
class FaultOracle {
public:
    virtual ~FaultOracle() = default;
    virtual bool Applies(SimFaultKind kind, const SimSerial& serial) = 0;
};

// A device: the ROM command state machine over time slots. Subclasses add the
// function commands that follow a ROM command.
class BusDevice {
public:
    explicit BusDevice(const SimSerial& serial) : serial_(serial) {}
    virtual ~BusDevice() = default;

    const SimSerial& serial() const { return serial_; }
    bool present() const { return present_; }
    // Off the bus a device answers nothing; it comes back waiting for a reset.
    void SetPresent(bool present);
    bool overdrive() const { return overdrive_; }

    // A reset pulse at time t; overdrive_reset: the short overdrive reset.
    // Returns true when the device answers with a presence pulse.
    bool Reset(uint64_t t, bool overdrive_reset);
    // What the device drives in a slot: true releases the line.
    bool Drive(uint64_t t);
    // The line value of the slot as the device samples it.
    void Sample(uint64_t t, bool line);
    // The strong pull-up came on or went off at time t.
    virtual void PullupChanged(uint64_t t, bool on) { (void)t; (void)on; }

protected:
    // Called when a ROM command has selected the device.
    virtual void FunctionStart(uint64_t t) { (void)t; }
    virtual bool FunctionDrive(uint64_t t) { (void)t; return true; }
    virtual void FunctionSample(uint64_t t, bool line) { (void)t; (void)line; }
    // Brings time-dependent state (a running conversion) up to time t.
    virtual void Update(uint64_t t) { (void)t; }
    // Whether the device takes part in an alarm search.
    virtual bool Alarmed() const { return false; }

private:
    enum class Rom { Idle, Command, Match, Read, Search, Function };
    bool SerialBit(int index) const { return (serial_[static_cast<size_t>(index / 8)] >> (index % 8)) & 1; }
    void Select(uint64_t t);

    SimSerial serial_;
    bool present_ = true;
    bool overdrive_ = false;
    bool raised_for_match_ = false;  // Overdrive Match took it to overdrive
    Rom rom_ = Rom::Idle;
    int bit_ = 0;
    int phase_ = 0;
    uint8_t command_ = 0;
};

// A device of any other family: it answers the ROM commands only.
class RomOnlyDevice : public BusDevice {
public:
    using BusDevice::BusDevice;
};

struct ResetOutcome {
    bool presence = false;
    bool shorted = false;
};

// The bus: devices, the line's short, strong pull-up and speed. A read slot
// returns the wired-AND of what the master writes and what each device drives.
class OneWireBus {
public:
    void Attach(std::unique_ptr<BusDevice> device) { devices_.push_back(std::move(device)); }
    std::vector<std::unique_ptr<BusDevice>>& devices() { return devices_; }
    BusDevice* Find(const SimSerial& serial);

    void SetShorted(bool shorted) { shorted_ = shorted; }
    bool shorted() const { return shorted_; }
    void SetOverdrive(bool overdrive) { overdrive_ = overdrive; }
    bool overdrive() const { return overdrive_; }
    void SetPullup(uint64_t t, bool on);
    bool pullup() const { return pullup_; }

    ResetOutcome Reset(uint64_t t);
    // One time slot: the master writes bit (1 = a read slot); returns the line.
    bool Slot(uint64_t t, bool bit);
    // Eight slots, least significant bit first, slot_micros apart.
    uint8_t Byte(uint64_t t, uint8_t byte, uint64_t slot_micros);

private:
    std::vector<std::unique_ptr<BusDevice>> devices_;
    bool shorted_ = false;
    bool overdrive_ = false;
    bool pullup_ = false;
};
