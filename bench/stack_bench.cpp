// Measurements of the logger's cycle and of one sensor read over the software
// adapter. Each mode prints "key value" lines on standard output; everything
// the logger itself prints goes to /dev/null.
//
//   stack_bench cycle-model N CYCLES      timing on, virtual clock: modelled cycle
//   stack_bench cycle-scan FIRST LAST     cycle-model for every n, one row per n
//   stack_bench read COUNT                timing on, real clock: one SampleSensor
//   stack_bench cpu COUNT                 timing off, virtual clock: CPU per reading
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "backends/backends.h"
#include "logger/logger.h"
#include "onewire/driver.h"
#include "onewire/port.h"
#include "simulator/ds2490_chip.h"
#include "simulator/sim.h"
#include "support/clock.h"

namespace {

FILE* Out = nullptr;        // the real standard output
std::string WorkDirectory;  // the bus file and the cycle's files

void Fail(const char* what)
{
    std::fprintf(stderr, "stack_bench: %s\n", what);
    std::exit(2);
}

// Keeps the logger's console lines out of the results.
void SilenceStdout()
{
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    Out = fdopen(saved, "w");
    int null = open("/dev/null", O_WRONLY);
    if (saved < 0 || !Out || null < 0)
        Fail("can't redirect standard output");
    dup2(null, STDOUT_FILENO);
    close(null);
}

// A bus file of n sensors with distinct serials, in a fresh directory that
// also becomes the working directory (the cycle writes its files there).
std::string WriteBus(int n, bool timing, bool virtualClock)
{
    char dir[] = "/tmp/stack-bench-XXXXXX";
    if (!mkdtemp(dir))
        Fail("can't create a work directory");
    if (chdir(dir) != 0)
        Fail("can't enter the work directory");
    WorkDirectory = dir;
    std::string path = std::string(dir) + "/bus.txt";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        Fail("can't write the bus file");
    std::fprintf(f, "timing %s\nclock %s\n", timing ? "on" : "off", virtualClock ? "virtual" : "real");
    for (int i = 0; i < n; ++i)
        std::fprintf(f, "sensor 10%012X %.4f\n", 0x100000 + i * 7919, 20.0 + 0.0625 * i);
    std::fclose(f);
    return path;
}

// Sleeps seen through the clock seam: the software adapter charges its USB
// transfers as sleeps, the stack and the logger sleep for their own pauses.
// On the virtual clock a sleep only advances the time, so the sleeps add up
// to the whole modelled period.
struct SleepTally {
    uint64_t count = 0;
    uint64_t total_micros = 0;
    uint64_t count_5ms = 0;
    bool virtual_time = false;
    uint64_t now_micros = 0;
};
SleepTally Sleeps;

void TalliedSleep(void*, uint64_t micros)
{
    ++Sleeps.count;
    Sleeps.total_micros += micros;
    if (micros == 5000)
        ++Sleeps.count_5ms;
    if (Sleeps.virtual_time) {
        Sleeps.now_micros += micros;
        return;
    }
    timespec ts{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

uint64_t VirtualNow(void*) { return Sleeps.now_micros; }

WallTime VirtualWall(void*)
{
    uint64_t ms = Sleeps.now_micros / 1000;
    return WallTime{static_cast<time_t>(1700000000 + ms / 1000), static_cast<int>(ms % 1000)};
}

// Counts sleeps from now on; with virtualTime nothing really waits.
void InstallTally(bool virtualTime)
{
    Sleeps = SleepTally{};
    Sleeps.virtual_time = virtualTime;
    static ClockSource real{nullptr, TalliedSleep, nullptr, nullptr};
    static ClockSource virt{VirtualNow, TalliedSleep, VirtualWall, nullptr};
    ClockInstall(virtualTime ? &virt : &real);
}

// The sleeps split by origin: the model's USB charges (usb_micros), the
// logger's documented waits, the 5 ms settle after each reset, and the rest of
// the stack's pauses (the 1 ms pause after each status query of a block wait).
void PrintSleeps(const char* prefix, double per, uint64_t usbMicros, double documentedMs)
{
    double total = Sleeps.total_micros / 1000.0;
    double settle = Sleeps.count_5ms * 5.0;
    double stack = total - usbMicros / 1000.0 - documentedMs;
    std::fprintf(Out, "%s_sleeps %.4g\n%s_sleep_ms %.1f\n%s_settle_pauses %.4g\n%s_settle_ms %.1f\n", prefix,
                 Sleeps.count / per, prefix, total / per, prefix, Sleeps.count_5ms / per, prefix, settle / per);
    std::fprintf(Out, "%s_stack_pause_ms %.1f\n%s_poll_pause_ms %.1f\n", prefix, stack / per, prefix,
                 (stack - settle) / per);
}

struct Bench {
    int port = -1;
    SerialNumber sensors[SENSOR_SLOTS]{};
    int count = 0;
    SimAdapter* adapter = nullptr;
};

Bench OpenBus(int n, bool timing, bool virtualClock)
{
    std::string device = "sim:" + WriteBus(n, timing, virtualClock);
    DriverRegisterBuiltinBackends();
    Bench b;
    b.port = PortOpenFirstFree(device.c_str());
    if (b.port < 0)
        Fail("the software adapter did not open");
    b.adapter = SimLastOpened();
    b.count = FindSensors(b.port, b.sensors, 0x10, SENSOR_SLOTS);
    if (b.count != std::min(n, SENSOR_SLOTS - 1))
        Fail("the search did not find every sensor");
    ListSensors(b.sensors, b.count);
    return b;
}

void CloseBus(const Bench& b)
{
    PortClose(b.port);
    if (chdir("/") == 0 && !WorkDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(WorkDirectory, ignored);
    }
}

// One measurement cycle as the logger runs it, built from its public steps.
// One measurement cycle exactly as the logger runs it.
void Cycle(const Bench& b)
{
    RunMeasurementCycle(b.port, b.sensors, b.count);
}

SimCounters Minus(const SimCounters& a, const SimCounters& b)
{
    SimCounters d;
    d.requests = a.requests - b.requests;
    d.status_reads = a.status_reads - b.status_reads;
    d.bulk_reads = a.bulk_reads - b.bulk_reads;
    d.bulk_writes = a.bulk_writes - b.bulk_writes;
    d.bus_micros = a.bus_micros - b.bus_micros;
    d.usb_micros = a.usb_micros - b.usb_micros;
    d.conversions = a.conversions - b.conversions;
    return d;
}

struct CycleModel {
    double period_ms;  // virtual time from one cycle end to the next
    SimCounters traffic;
    SleepTally sleeps;  // of that cycle
};

// Runs `cycles` cycles and returns the figures of the last one (the first
// cycle starts from the listing, not from a cycle end).
CycleModel ModelCycle(int n, int cycles)
{
    InstallTally(true);
    Bench b = OpenBus(n, true, false);
    CycleModel m{};
    Cycle(b);
    for (int c = 1; c < cycles; ++c) {
        SimCounters before = SimCountersOf(b.adapter);
        uint64_t start = ClockMicros();
        uint64_t now = Sleeps.now_micros;
        Sleeps = SleepTally{};
        Sleeps.virtual_time = true;
        Sleeps.now_micros = now;
        Cycle(b);
        m.period_ms = (ClockMicros() - start) / 1000.0;
        m.traffic = Minus(SimCountersOf(b.adapter), before);
        m.sleeps = Sleeps;
    }
    CloseBus(b);
    ClockInstall(nullptr);
    return m;
}

double DocumentedMs(int n) { return 850 + 100.0 * n + 1700; }

void PrintTraffic(const char* prefix, const SimCounters& t, double per)
{
    std::fprintf(Out, "%s_requests %.4g\n%s_status_reads %.4g\n%s_bulk_reads %.4g\n%s_bulk_writes %.4g\n", prefix,
                 t.requests / per, prefix, t.status_reads / per, prefix, t.bulk_reads / per, prefix,
                 t.bulk_writes / per);
    std::fprintf(Out, "%s_transfers %.4g\n%s_bus_ms %.1f\n%s_usb_ms %.1f\n", prefix,
                 (t.requests + t.status_reads + t.bulk_reads + t.bulk_writes) / per, prefix,
                 t.bus_micros / per / 1000.0, prefix, t.usb_micros / per / 1000.0);
}

int CycleModelMode(int n, int cycles)
{
    CycleModel m = ModelCycle(n, std::max(cycles, 2));
    std::fprintf(Out, "n %d\ndocumented_ms %.0f\nmodel_period_ms %.0f\n", n, DocumentedMs(n), m.period_ms);
    PrintTraffic("cycle", m.traffic, 1);
    Sleeps = m.sleeps;
    PrintSleeps("cycle", 1, m.traffic.usb_micros, DocumentedMs(n));
    return 0;
}

// Each n runs in a child process: the port table and the logger's module
// state belong to one adapter run.
int CycleScanMode(int first, int last)
{
    std::fprintf(Out, "# n documented_ms model_period_ms bus_ms usb_ms\n");
    std::fflush(Out);
    for (int n = first; n <= last; ++n) {
        pid_t child = fork();
        if (child < 0)
            Fail("fork failed");
        if (child == 0) {
            CycleModel m = ModelCycle(n, 2);
            std::fprintf(Out, "%d %.0f %.3f %.3f %.3f\n", n, DocumentedMs(n), m.period_ms,
                         m.traffic.bus_micros / 1000.0, m.traffic.usb_micros / 1000.0);
            std::fflush(Out);
            _exit(0);
        }
        int status = 0;
        if (waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            Fail("a scan step failed");
    }
    return 0;
}

double NowMicros(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Physical standard-speed time of one read: two resets, two Match ROM
// selections of 9 bytes and the 10-byte scratchpad block.
// The timing model's standard-speed figures keep this in step with the model.
double PhysicalReadMicros() { return 2.0 * RESET_MICROS + (2 * 9 + 10) * 8.0 * SLOT_MICROS; }

int ReadMode(int count)
{
    Bench b = OpenBus(1, true, false);
    ZovWriteConvert(b.port);  // a real reading, not the power-on 85 degrees
    float value = 0;
    if (!SampleSensor(b.port, b.sensors[0].data(), &value))
        Fail("the warm-up read failed");
    std::vector<double> wall;
    InstallTally(false);
    SimCounters before = SimCountersOf(b.adapter);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        double start = NowMicros(CLOCK_MONOTONIC);
        if (!SampleSensor(b.port, b.sensors[0].data(), &value))
            ++failures;
        wall.push_back(NowMicros(CLOCK_MONOTONIC) - start);
    }
    SimCounters t = Minus(SimCountersOf(b.adapter), before);
    ClockInstall(nullptr);
    CloseBus(b);
    std::sort(wall.begin(), wall.end());
    double sum = 0;
    for (double w : wall)
        sum += w;
    std::fprintf(Out, "reads %d\nfailures %d\nread_median_ms %.3f\nread_mean_ms %.3f\nread_min_ms %.3f\n", count,
                 failures, wall[wall.size() / 2] / 1000, sum / count / 1000, wall.front() / 1000);
    std::fprintf(Out, "physical_ms %.3f\nreset_us %llu\nslot_us %llu\n", PhysicalReadMicros() / 1000,
                 static_cast<unsigned long long>(RESET_MICROS), static_cast<unsigned long long>(SLOT_MICROS));
    PrintTraffic("read", t, count);
    PrintSleeps("read", count, t.usb_micros, 0);
    return 0;
}

int CpuMode(int count)
{
    Bench b = OpenBus(1, false, true);
    ZovWriteConvert(b.port);
    float value = 0;
    int failures = 0;
    double cpu = NowMicros(CLOCK_PROCESS_CPUTIME_ID);
    double wall = NowMicros(CLOCK_MONOTONIC);
    for (int i = 0; i < count; ++i)
        if (!SampleSensor(b.port, b.sensors[0].data(), &value))
            ++failures;
    cpu = NowMicros(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    wall = NowMicros(CLOCK_MONOTONIC) - wall;
    CloseBus(b);
    std::fprintf(Out, "reads %d\nfailures %d\ncpu_per_read_ms %.4f\nwall_per_read_ms %.4f\n", count, failures,
                 cpu / count / 1000, wall / count / 1000);
    return 0;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: stack_bench cycle-model N CYCLES | cycle-scan FIRST LAST | read COUNT | cpu COUNT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Usage();
    std::string mode = argv[1];
    int a = std::atoi(argv[2]);
    int b = argc > 3 ? std::atoi(argv[3]) : 0;
    if (a < 1 || a > 100000)
        return Usage();
    SilenceStdout();
    if (mode == "cycle-model" && b >= 1)
        return CycleModelMode(std::min(a, SENSOR_SLOTS - 1), b);
    if (mode == "cycle-scan" && b >= a && b < SENSOR_SLOTS)
        return CycleScanMode(a, b);
    if (mode == "read")
        return ReadMode(a);
    if (mode == "cpu")
        return CpuMode(a);
    return Usage();
}
