#include "simulator/ds1820.h"

#include <algorithm>
#include <cmath>

namespace {

// Function commands (DS1820 datasheet).
constexpr uint8_t CONVERT_T = 0x44;
constexpr uint8_t READ_SCRATCHPAD = 0xBE;
constexpr uint8_t WRITE_SCRATCHPAD = 0x4E;
constexpr uint8_t COPY_SCRATCHPAD = 0x48;
constexpr uint8_t RECALL_EEPROM = 0xB8;
constexpr uint8_t READ_POWER_SUPPLY = 0xB4;

// The register holds 85 degrees at power-on (datasheet).
constexpr uint8_t POWER_ON_LSB = 0xAA;
constexpr uint8_t POWER_ON_MSB = 0x00;
constexpr uint8_t POWER_ON_COUNT_REMAIN = 0x0C;
// The sensor counts 16 steps per degree (datasheet, COUNT_PER_C).
constexpr int COUNT_PER_C = 16;
// A conversion the logger's 850 ms wait cannot cover (fault slow-conversion).
constexpr uint64_t SLOW_CONVERSION_MICROS = 1200000;

// DS18B20 and relatives: register 0x0550 (+85 degrees) at power-on, the
// reserved bytes 5-7 as the datasheet gives them, the config byte's fixed
// bits, and the maximum conversion time at 9 bits (doubling per bit).
constexpr uint16_t POWER_ON_REGISTER = 0x0550;
constexpr uint8_t RESERVED_5 = 0xFF;
constexpr uint8_t RESERVED_6 = 0x0C;
constexpr uint8_t RESERVED_7 = 0x10;
constexpr uint8_t CONFIG_RESOLUTION_BITS = 0x60;
constexpr uint8_t CONFIG_FIXED_BITS = 0x1F;
constexpr uint64_t CONVERSION_9_BIT_MICROS = 93750;

constexpr double PI = 3.14159265358979323846;

}  // namespace

SimTemperatureBytes SimEncodeTemperature(double celsius)
{
    // The sensor's range, -55..125, with the extended reading's margins.
    double t = std::min(125.6875, std::max(-55.25, celsius));
    // Sixteenths of a degree; the register is T rounded to half a degree, and
    // COUNT_REMAIN carries the rest so that the extended reading gives T back.
    long sixteenths = std::lround(t * COUNT_PER_C);
    long half_degrees = static_cast<long>(std::floor(static_cast<double>(sixteenths + 4) / 8.0));
    long whole = static_cast<long>(std::floor(static_cast<double>(sixteenths + 4) / 16.0));
    long count_remain = 12 - (sixteenths - whole * COUNT_PER_C);
    uint16_t reg = static_cast<uint16_t>(half_degrees);
    return SimTemperatureBytes{static_cast<uint8_t>(reg & 0xFF), static_cast<uint8_t>(reg >> 8),
                               static_cast<uint8_t>(count_remain), static_cast<uint8_t>(COUNT_PER_C)};
}

uint16_t SimEncodeTwelveBit(double celsius)
{
    double t = std::min(125.0, std::max(-55.0, celsius));
    return static_cast<uint16_t>(static_cast<int16_t>(std::lround(t * 16)));
}

uint8_t SimConfigByte(int resolution)
{
    return static_cast<uint8_t>(((resolution - 9) << 5) | CONFIG_FIXED_BITS);
}

double SimDecodeWhole(const SimTemperatureBytes& bytes)
{
    int t = bytes.lsb >> 1;
    if (bytes.msb & 1)
        t -= 128;
    return t;
}

double SimDecodeExtended(const SimTemperatureBytes& bytes)
{
    double t = SimDecodeWhole(bytes);
    if (bytes.count_per_c == 0)
        return t;
    return static_cast<float>(t - 0.25 + static_cast<double>(bytes.count_per_c - bytes.count_remain) /
                                             bytes.count_per_c);
}

Ds1820::Ds1820(const SimDeviceSpec& spec, uint64_t opened_at, FaultOracle* faults)
    : BusDevice(spec.serial), spec_(spec), opened_at_(opened_at), faults_(faults), twelve_bit_(spec.serial[0] != 0x10),
      eeprom_th_(static_cast<uint8_t>(spec.th)), eeprom_tl_(static_cast<uint8_t>(spec.tl)),
      eeprom_config_(SimConfigByte(spec.resolution))
{
    PowerOn();
}

void Ds1820::PowerOn()
{
    if (twelve_bit_)
        scratchpad_ = {POWER_ON_REGISTER & 0xFF, POWER_ON_REGISTER >> 8, eeprom_th_, eeprom_tl_, eeprom_config_,
                       RESERVED_5, RESERVED_6, RESERVED_7, 0};
    else
        scratchpad_ = {POWER_ON_LSB, POWER_ON_MSB, eeprom_th_, eeprom_tl_, 0xFF, 0xFF,
                       POWER_ON_COUNT_REMAIN, COUNT_PER_C, 0};
    Seal();
    alarm_ = false;
    converting_ = false;
    fn_ = Fn::Done;
}

void Ds1820::PowerLost()
{
    if (spec_.parasite)
        PowerOn();
}

void Ds1820::SetTemperature(double celsius)
{
    spec_.temp_low = spec_.temp_high = celsius;
    spec_.period_s = 0;
}

double Ds1820::TemperatureAt(uint64_t t) const
{
    if (spec_.period_s <= 0)
        return spec_.temp_low;
    double seconds = static_cast<double>(t - std::min(t, opened_at_)) / 1e6;
    double middle = (spec_.temp_low + spec_.temp_high) / 2;
    double amplitude = (spec_.temp_high - spec_.temp_low) / 2;
    return middle + amplitude * std::sin(2 * PI * seconds / spec_.period_s);
}

void Ds1820::Update(uint64_t t)
{
    if (converting_ && t >= conversion_end_)
        FinishConversion(conversion_end_);
}

void Ds1820::PullupChanged(uint64_t t, bool on)
{
    Update(t);
    if (!converting_ || !spec_.parasite)
        return;
    if (on && !pullup_blocked_)
        powered_ = true;
    else if (!on)
        converting_ = false;  // power lost before the end: the result is not updated
}

void Ds1820::StartConversion(uint64_t t)
{
    uint64_t duration = ConversionMicros();
    if (faults_ && faults_->Applies(SimFaultKind::SlowConversion, serial()))
        duration = SLOW_CONVERSION_MICROS;
    pullup_blocked_ = spec_.parasite && faults_ && faults_->Applies(SimFaultKind::NoPullup, serial());
    converting_ = true;
    powered_ = false;
    conversion_end_ = t + duration;
}

uint64_t Ds1820::ConversionMicros() const
{
    if (!twelve_bit_)
        return static_cast<uint64_t>(spec_.conversion_ms) * 1000;
    return CONVERSION_9_BIT_MICROS << ((scratchpad_[4] & CONFIG_RESOLUTION_BITS) >> 5);
}

void Ds1820::FinishConversion(uint64_t t)
{
    converting_ = false;
    if (spec_.parasite && !powered_)
        return;
    if (twelve_bit_) {
        // The bits below the resolution keep what the full 12-bit result
        // would hold: undefined, and not zero.
        uint16_t reg = SimEncodeTwelveBit(TemperatureAt(t));
        scratchpad_[0] = static_cast<uint8_t>(reg & 0xFF);
        scratchpad_[1] = static_cast<uint8_t>(reg >> 8);
        Seal();
        // The alarm compares bits 11-4 of the register with TH and TL (datasheet).
        CompareAlarm(static_cast<int16_t>(reg) >> 4);
        return;
    }
    SimTemperatureBytes bytes = SimEncodeTemperature(TemperatureAt(t));
    scratchpad_[0] = bytes.lsb;
    scratchpad_[1] = bytes.msb;
    scratchpad_[6] = bytes.count_remain;
    scratchpad_[7] = bytes.count_per_c;
    Seal();
    // The alarm compares whole degrees with TH and TL (datasheet).
    CompareAlarm(static_cast<int>(SimDecodeWhole(bytes)));
}

void Ds1820::CompareAlarm(int whole)
{
    alarm_ = whole >= static_cast<int8_t>(scratchpad_[2]) || whole <= static_cast<int8_t>(scratchpad_[3]);
}

void Ds1820::FunctionStart(uint64_t)
{
    fn_ = Fn::Command;
    bit_ = 0;
    command_ = 0;
}

void Ds1820::Dispatch(uint64_t t)
{
    bit_ = 0;
    switch (command_) {
    case CONVERT_T:
        StartConversion(t);
        fn_ = Fn::Converting;
        break;
    case READ_SCRATCHPAD:
        transmit_ = scratchpad_;
        if (faults_ && faults_->Applies(SimFaultKind::CountPerCZero, serial())) {
            transmit_[7] = 0;
            transmit_[8] = Crc8Of(transmit_.data(), 8);
        }
        if (faults_ && faults_->Applies(SimFaultKind::Crc, serial()))
            transmit_[4] ^= 0x01;
        transmit_bits_ = 72;
        fn_ = Fn::Transmit;
        break;
    case WRITE_SCRATCHPAD:
        fn_ = Fn::WriteScratchpad;
        break;
    case COPY_SCRATCHPAD:
        eeprom_th_ = scratchpad_[2];
        eeprom_tl_ = scratchpad_[3];
        if (twelve_bit_)
            eeprom_config_ = scratchpad_[4];
        fn_ = Fn::Done;
        break;
    case RECALL_EEPROM:
        scratchpad_[2] = eeprom_th_;
        scratchpad_[3] = eeprom_tl_;
        if (twelve_bit_)
            scratchpad_[4] = eeprom_config_;
        Seal();
        fn_ = Fn::Done;
        break;
    case READ_POWER_SUPPLY:
        fn_ = Fn::Power;
        break;
    default:
        fn_ = Fn::Done;
    }
}

bool Ds1820::FunctionDrive(uint64_t)
{
    switch (fn_) {
    case Fn::Transmit:
        return bit_ < transmit_bits_ ? ((transmit_[static_cast<size_t>(bit_ / 8)] >> (bit_ % 8)) & 1) != 0 : true;
    case Fn::Converting:
        // An externally powered sensor holds read slots at 0 while it converts;
        // a parasite one cannot signal and leaves the line high.
        return spec_.parasite || !converting_;
    case Fn::Power:
        return !spec_.parasite;
    default:
        return true;
    }
}

void Ds1820::FunctionSample(uint64_t t, bool line)
{
    switch (fn_) {
    case Fn::Command:
        if (line)
            command_ = static_cast<uint8_t>(command_ | (1u << bit_));
        if (++bit_ == 8)
            Dispatch(t);
        return;
    case Fn::Transmit:
        if (++bit_ >= transmit_bits_)
            fn_ = Fn::Done;
        return;
    case Fn::WriteScratchpad: {
        uint8_t& target = written_[bit_ / 8];
        if (bit_ % 8 == 0)
            target = 0;
        if (line)
            target = static_cast<uint8_t>(target | (1u << (bit_ % 8)));
        // TH and TL; the DS18B20 kind takes the config byte third, of
        // which only the resolution bits can be written.
        if (++bit_ == (twelve_bit_ ? 24 : 16)) {
            scratchpad_[2] = written_[0];
            scratchpad_[3] = written_[1];
            if (twelve_bit_)
                scratchpad_[4] = static_cast<uint8_t>((written_[2] & CONFIG_RESOLUTION_BITS) | CONFIG_FIXED_BITS);
            Seal();
            fn_ = Fn::Done;
        }
        return;
    }
    default:
        return;
    }
}
