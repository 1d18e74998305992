// The temperature sensors: the DS1820/DS1920 (family 0x10) and the DS18B20
// and its relatives (0x28, 0x22, 0x3B, 0x42): their function commands over
// time slots, the scratchpad, conversions and the alarm flag. The two kinds
// share the command set and differ in the register, the config byte and the
// conversion time.
#pragma once

#include <array>
#include <cstdint>

#include "onewire/crc.h"
#include "simulator/bus.h"

class Ds1820 : public BusDevice {
public:
    // opened_at: the time the temperature's sine starts from.
    Ds1820(const SimDeviceSpec& spec, uint64_t opened_at, FaultOracle* faults);

    // Fixes the true temperature from now on.
    void SetTemperature(double celsius);
    // The true temperature at time t.
    double TemperatureAt(uint64_t t) const;
    const std::array<uint8_t, 9>& scratchpad() const { return scratchpad_; }

    void PullupChanged(uint64_t t, bool on) override;
    // The bus lost its power (the adapter was unplugged): a parasite-powered
    // sensor starts again from its power-on state.
    void PowerLost();

protected:
    void FunctionStart(uint64_t t) override;
    bool FunctionDrive(uint64_t t) override;
    void FunctionSample(uint64_t t, bool line) override;
    void Update(uint64_t t) override;
    bool Alarmed() const override { return alarm_; }

private:
    enum class Fn { Command, Transmit, WriteScratchpad, Converting, Power, Done };
    void Dispatch(uint64_t t);
    void StartConversion(uint64_t t);
    void FinishConversion(uint64_t t);
    void PowerOn();
    uint64_t ConversionMicros() const;
    void CompareAlarm(int whole);
    void Seal() { scratchpad_[8] = Crc8Of(scratchpad_.data(), 8); }

    SimDeviceSpec spec_;
    uint64_t opened_at_;
    FaultOracle* faults_;
    std::array<uint8_t, 9> scratchpad_{};
    bool twelve_bit_;  // the DS18B20 kind
    uint8_t eeprom_th_, eeprom_tl_, eeprom_config_;
    bool alarm_ = false;

    Fn fn_ = Fn::Done;
    int bit_ = 0;
    uint8_t command_ = 0;
    std::array<uint8_t, 9> transmit_{};
    int transmit_bits_ = 0;
    uint8_t written_[3]{};

    // A running conversion.
    bool converting_ = false;
    uint64_t conversion_end_ = 0;
    bool powered_ = false;       // parasite: the strong pull-up came on for it
    bool pullup_blocked_ = false;  // parasite: the pull-up does not reach the sensor
};
