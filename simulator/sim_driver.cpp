// The software adapter behind the driver interface: one chip and one bus per
// open, the fault schedule, the USB timing model and the traffic counters.
#include "simulator/sim_driver.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <utility>

#include "simulator/ds1820.h"
#include "simulator/ds2490_chip.h"
#include "simulator/sim.h"
#include "support/clock.h"

namespace {

// A control transfer takes one USB full-speed frame (USB 2.0: 1 ms frames).
constexpr uint64_t CONTROL_TRANSFER_MICROS = 1000;
// The status packet comes from the interrupt endpoint, polled every 1 ms
// (DS2490 alternate setting with a 1 ms polling period). A query is answered
// at the next poll, on average half a period later, and shows the chip then.
constexpr uint64_t STATUS_POLL_MICROS = 1000;
constexpr uint64_t STATUS_LATENCY_MICROS = STATUS_POLL_MICROS / 2;
// A bulk transfer of up to 64 bytes fits one full-speed frame (USB 2.0).
constexpr uint64_t BULK_TRANSFER_MICROS = 1000;

constexpr uint8_t SKIP_ROM = 0xCC;
constexpr uint8_t MATCH_ROM = 0x55;
constexpr uint8_t CONVERT_T = 0x44;
constexpr uint16_t BYTE_IO_COMMAND = 0x52;
constexpr uint16_t COMMAND_BITS = 0x00F6;
constexpr uint16_t SET_DURATION_COMMAND = 0x12;
constexpr uint16_t PULSE_COMMAND = 0x30;
constexpr uint16_t BLOCK_IO_COMMAND = 0x74;
constexpr uint8_t COMMUNICATION_REQUEST = 1;
constexpr uint8_t MODE_REQUEST = 2;
constexpr uint16_t PULSE_ENABLE_MODE = 0x0000;
constexpr uint16_t ENABLE_PULLUP = 0x0002;

// Where the Convert-T counter stands: nothing seen, Skip/Match ROM seen, or
// this Convert T already counted at its pulse enable.
enum class Armed { No, RomCommand, Counted };

struct Fault {
    SimFaultSpec spec;
    bool used = false;  // a once window that has fired, a signal raised or the clock set
};

}  // namespace

class SimAdapter : public FaultOracle {
public:
    explicit SimAdapter(const SimBusSpec& spec) : spec_(spec), chip_(&bus_), random_(spec.seed)
    {
        opened_at_ = ClockMicros();
        for (const SimDeviceSpec& device : spec.devices) {
            if (device.sensor)
                bus_.Attach(std::make_unique<Ds1820>(device, opened_at_, this));
            else
                bus_.Attach(std::make_unique<RomOnlyDevice>(device.serial));
        }
        for (const SimFaultSpec& fault : spec.faults)
            faults_.push_back(Fault{fault, false});
        // A clock jump fires like a signal hook: once, when its moment comes.
        for (const SimClockJump& jump : spec.clock_jumps) {
            SimFaultSpec moment;
            moment.window = jump.when;
            clock_jumps_.push_back({Fault{moment, false}, jump.milliseconds});
        }
        chip_.SetTiming(spec.timing);
        chip_.SetProgramVoltage(spec.program_voltage);
        chip_.PowerOnReset(opened_at_);
    }

    std::mutex mutex;

    bool Applies(SimFaultKind kind, const SimSerial& serial) override { return Check(kind, &serial); }

    int VendorRequest(const uint8_t record[VENDOR_REQUEST_SIZE])
    {
        ++counters_.requests;
        CountConversion(record);
        Charge(CONTROL_TRANSFER_MICROS);
        if (Unplugged() || Check(SimFaultKind::RefuseVendor))
            return 0;
        ApplyLineFaults(record);
        return chip_.VendorRequest(record, ClockMicros()) ? 1 : 0;
    }

    int QueryStatus(uint8_t* buffer, uint32_t capacity, uint32_t* returned)
    {
        ++counters_.status_reads;
        FireHooks();
        if (Unplugged() || Check(SimFaultKind::RefuseStatus)) {
            Charge(STATUS_POLL_MICROS);
            return 0;
        }
        bool busy = Check(SimFaultKind::Busy);
        Charge(STATUS_LATENCY_MICROS);
        *returned = chip_.Status(buffer, capacity, ClockMicros(), busy);
        Charge(STATUS_POLL_MICROS - STATUS_LATENCY_MICROS);
        return 1;
    }

    int Read(uint8_t* buffer, uint32_t length, uint32_t* done)
    {
        ++counters_.bulk_reads;
        FireHooks();
        Charge(BULK_TRANSFER_MICROS);
        if (Unplugged() || Check(SimFaultKind::RefuseRead))
            return 0;
        if (Check(SimFaultKind::ShortRead))
            length /= 2;
        *done = chip_.Read(buffer, length, ClockMicros());
        return 1;
    }

    int Write(const uint8_t* buffer, uint32_t length, uint32_t* done)
    {
        ++counters_.bulk_writes;
        // Match ROM in a block arms the Convert-T counter, anything else disarms it.
        armed_ = length == 9 && buffer[0] == MATCH_ROM ? Armed::RomCommand : Armed::No;
        FireHooks();
        Charge(BULK_TRANSFER_MICROS);
        if (Unplugged() || Check(SimFaultKind::RefuseWrite))
            return 0;
        if (Check(SimFaultKind::ShortWrite))
            length /= 2;
        *done = chip_.Write(buffer, length, ClockMicros());
        return 1;
    }

    // Run-time control.
    bool SetTemperature(const SimSerial& serial, double celsius)
    {
        auto* sensor = dynamic_cast<Ds1820*>(bus_.Find(serial));
        if (sensor == nullptr)
            return false;
        sensor->SetTemperature(celsius);
        return true;
    }
    bool SetPresent(const SimSerial& serial, bool present)
    {
        BusDevice* device = bus_.Find(serial);
        if (device == nullptr)
            return false;
        device->SetPresent(present);
        if (present)
            removed_.erase(std::remove(removed_.begin(), removed_.end(), device), removed_.end());
        else if (std::find(removed_.begin(), removed_.end(), device) == removed_.end())
            removed_.push_back(device);
        return true;
    }
    void SetPlugged(bool plugged)
    {
        manually_unplugged_ = !plugged;
    }
    void SetLineShorted(bool shorted) { manual_short_ = shorted; }
    void SetTiming(bool on)
    {
        spec_.timing = on;
        chip_.SetTiming(on);
    }
    SimCounters Counters()
    {
        SimCounters counters = counters_;
        counters.bus_micros = chip_.bus_micros();
        counters.conversions = conversions_;
        return counters;
    }

private:
    void Charge(uint64_t micros)
    {
        counters_.usb_micros += micros;
        // USB frames run on their own schedule: a late wake-up of the host
        // before a transfer does not make the transfer take longer.
        if (spec_.timing)
            PauseMicrosOnSchedule(micros);
    }

    bool InWindow(Fault& fault)
    {
        const SimFaultWindow& window = fault.spec.window;
        switch (window.kind) {
        case SimWindowKind::Always:
            return true;
        case SimWindowKind::Once:
            if (fault.used)
                return false;
            fault.used = true;
            return true;
        case SimWindowKind::Probability:
            return static_cast<double>(random_() >> 11) * (1.0 / 9007199254740992.0) < window.probability;
        case SimWindowKind::Conversions:
            return conversions_ >= window.first && conversions_ <= window.last;
        case SimWindowKind::Seconds: {
            uint64_t since = ClockMicros() - opened_at_;
            return since >= window.first && since < window.last;
        }
        }
        return false;
    }

    bool Check(SimFaultKind kind, const SimSerial* serial = nullptr)
    {
        bool applies = false;
        for (Fault& fault : faults_) {
            if (fault.spec.kind != kind || (fault.spec.has_serial && (!serial || fault.spec.serial != *serial)))
                continue;
            if (InWindow(fault))
                applies = true;
        }
        return applies;
    }

    // Unplugged now? Coming back, the chip is in its power-on state, and so are
    // the sensors that took their power from the line.
    bool Unplugged()
    {
        bool gone = manually_unplugged_ || Check(SimFaultKind::Unplug);
        if (was_unplugged_ && !gone) {
            chip_.PowerOnReset(ClockMicros());
            for (auto& device : bus_.devices())
                if (auto* sensor = dynamic_cast<Ds1820*>(device.get()))
                    sensor->PowerLost();
        }
        was_unplugged_ = gone;
        return gone;
    }

    // The Convert-T counter sees every request, also refused ones. After Skip
    // ROM (or Match ROM) a Convert T counts at the pulse enable that precedes
    // a powered one, or at the byte 0x44 itself: a stack that gives up at a
    // refused pulse enable has still asked for the conversion.
    void CountConversion(const uint8_t record[VENDOR_REQUEST_SIZE])
    {
        FireHooks();
        uint16_t value = static_cast<uint16_t>(record[2] | record[3] << 8);
        uint16_t index = static_cast<uint16_t>(record[4] | record[5] << 8);
        if (record[1] == MODE_REQUEST) {
            if (value == PULSE_ENABLE_MODE && index == ENABLE_PULLUP && armed_ == Armed::RomCommand)
                Count(Armed::Counted);
            return;
        }
        if (record[1] != COMMUNICATION_REQUEST)
            return;
        uint16_t command = value & COMMAND_BITS;
        if (command == BYTE_IO_COMMAND) {
            uint8_t byte = static_cast<uint8_t>(index);
            if (byte == CONVERT_T && armed_ == Armed::RomCommand)
                Count(Armed::No);
            armed_ = byte == SKIP_ROM ? Armed::RomCommand : Armed::No;
        } else if (command != SET_DURATION_COMMAND && command != PULSE_COMMAND && command != BLOCK_IO_COMMAND) {
            armed_ = Armed::No;  // other 1-Wire traffic; a block was judged by its data
        }
    }

    void Count(Armed next)
    {
        ++conversions_;
        armed_ = next;
        FireHooks();
    }

    // Line faults and departures take effect at each reset.
    void ApplyLineFaults(const uint8_t record[VENDOR_REQUEST_SIZE])
    {
        uint16_t value = static_cast<uint16_t>(record[2] | record[3] << 8);
        if (record[1] != 1 || (value & COMMAND_BITS) != 0x42)
            return;
        bus_.SetShorted(manual_short_ || Check(SimFaultKind::ShortLine));
        for (auto& device : bus_.devices()) {
            bool removed = std::find(removed_.begin(), removed_.end(), device.get()) != removed_.end();
            bool present = !removed && !Check(SimFaultKind::Leave, &device->serial());
            if (present != device->present())
                device->SetPresent(present);
        }
    }

    // Once-only hooks: a clock jump sets the virtual wall clock when its moment
    // comes; interrupt and terminate raise their signal when the window opens.
    void FireHooks()
    {
        for (auto& [moment, milliseconds] : clock_jumps_) {
            if (!moment.used && InWindow(moment)) {
                moment.used = true;
                ClockJumpVirtualWallMs(milliseconds);
            }
        }
        for (Fault& fault : faults_) {
            SimFaultKind kind = fault.spec.kind;
            if ((kind != SimFaultKind::Interrupt && kind != SimFaultKind::Terminate) || fault.used)
                continue;
            bool open = fault.spec.window.kind == SimWindowKind::Once || InWindow(fault);
            if (!open)
                continue;
            fault.used = true;
            raise(kind == SimFaultKind::Interrupt ? SIGINT : SIGTERM);
        }
    }

    SimBusSpec spec_;
    OneWireBus bus_;
    Ds2490Chip chip_;
    std::vector<Fault> faults_;
    std::vector<std::pair<Fault, int64_t>> clock_jumps_;  // moment, milliseconds
    std::mt19937_64 random_;
    SimCounters counters_;
    uint64_t opened_at_ = 0;
    uint64_t conversions_ = 0;
    Armed armed_ = Armed::No;
    bool manually_unplugged_ = false;
    bool was_unplugged_ = false;
    bool manual_short_ = false;
    std::vector<BusDevice*> removed_;
};

namespace {

std::mutex RegistryMutex;
std::vector<SimAdapter*> Registry;  // open adapters, oldest first

int Claims(const char* name) { return name != nullptr && std::strncmp(name, "sim:", 4) == 0; }

void* Open(const char* name)
{
    SimBusSpec spec;
    std::string error;
    if (!SimParseDeviceName(name, &spec, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return nullptr;
    }
    if (spec.virtual_clock)
        ClockUseVirtual(ClockMicros(), spec.virtual_start ? static_cast<time_t>(spec.virtual_start)
                                                          : WallClockNow().seconds);
    auto* adapter = new SimAdapter(spec);
    std::lock_guard<std::mutex> lock(RegistryMutex);
    Registry.push_back(adapter);
    return adapter;
}

SimAdapter* Of(void* context) { return static_cast<SimAdapter*>(context); }

int Vendor(void* context, const uint8_t* record)
{
    std::lock_guard<std::mutex> lock(Of(context)->mutex);
    return Of(context)->VendorRequest(record);
}

int Status(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    std::lock_guard<std::mutex> lock(Of(context)->mutex);
    return Of(context)->QueryStatus(buffer, capacity, returned);
}

int Read(void* context, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    std::lock_guard<std::mutex> lock(Of(context)->mutex);
    return Of(context)->Read(buffer, length, done);
}

int Write(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    std::lock_guard<std::mutex> lock(Of(context)->mutex);
    return Of(context)->Write(buffer, length, done);
}

void Close(void* context)
{
    {
        std::lock_guard<std::mutex> lock(RegistryMutex);
        Registry.erase(std::remove(Registry.begin(), Registry.end(), Of(context)), Registry.end());
    }
    delete Of(context);
}

// The software adapter has no USB side to describe.
int Describe(void*, DriverDescription* description)
{
    std::snprintf(description->kind, sizeof description->kind, "%s", "software DS2490 (simulator)");
    return 1;
}

}  // namespace

const DriverOps SimDriverOps = {"sim", Claims, Open, Vendor, Status, Read, Write, Close, Describe};

SimAdapter* SimLastOpened()
{
    std::lock_guard<std::mutex> lock(RegistryMutex);
    return Registry.empty() ? nullptr : Registry.back();
}

SimAdapter* SimAdapterOfContext(void* context)
{
    std::lock_guard<std::mutex> lock(RegistryMutex);
    for (SimAdapter* adapter : Registry)
        if (adapter == context)
            return adapter;
    return nullptr;
}

bool SimSetTemperature(SimAdapter* adapter, const SimSerial& serial, double celsius)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->SetTemperature(serial, celsius);
}

bool SimSetPresent(SimAdapter* adapter, const SimSerial& serial, bool present)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->SetPresent(serial, present);
}

void SimSetPlugged(SimAdapter* adapter, bool plugged)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    adapter->SetPlugged(plugged);
}

void SimSetLineShorted(SimAdapter* adapter, bool shorted)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    adapter->SetLineShorted(shorted);
}

void SimSetTiming(SimAdapter* adapter, bool on)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    adapter->SetTiming(on);
}

SimCounters SimCountersOf(SimAdapter* adapter)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->Counters();
}
