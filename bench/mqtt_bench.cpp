// The MQTT output's cost per cycle: a report of 39 sensors handed to the
// output again and again, as the output's thread does, with a broker on
// 127.0.0.1:PORT taking the messages.
//   mqtt_bench PORT CYCLES
// Prints "key value" lines: the CPU time of the handing thread per cycle
// (the states built and queued), and the whole process's CPU time per cycle
// (with the network thread's sending), and the load average.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "outputs/outputs.h"

extern const CycleOutputOps MqttOutput;

namespace {

double ThreadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double ProcessCpuMs()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

CycleReport MakeReport(uint32_t cycle)
{
    CycleReport report{};
    report.cycleNumber = cycle;
    report.count = 39;
    report.started = {1796792814 + static_cast<time_t>(cycle) * 7, 0};
    report.ended = {report.started.seconds + 5, 250};
    report.previousPeriodMs = cycle > 1 ? 6450 : 0;
    for (int i = 0; i < report.count; ++i) {
        SensorReading& r = report.readings[i];
        std::snprintf(r.serialText, sizeof r.serialText, "10%012X%02X",
                      static_cast<unsigned>(0x200000 + i * 7919) & 0xFFFFFFu, static_cast<unsigned char>(i));
        r.tableIndex = i;
        r.place = i + 1;
        std::snprintf(r.label, sizeof r.label, "Cold store %d", i + 1);
        r.stamp = {report.started.seconds + 1, 100 * (i % 10)};
        r.outcome = i == 5 && cycle % 10 == 0 ? ReadingOutcome::Crc : ReadingOutcome::Good;
        r.hasWhole = r.outcome == ReadingOutcome::Good;
        r.whole = 21.5;
        r.extended = 21.0625 + 0.0625 * (cycle % 16);
    }
    return report;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: mqtt_bench PORT CYCLES\n");
        return 2;
    }
    int cycles = std::atoi(argv[2]);
    TempConfig config;
    config.outputSettings["mqtt"] = std::string("mqtt://127.0.0.1:") + argv[1];
    config.outputSettings["metrics-name"] = "bench";
    if (!MqttOutput.open(config)) {
        std::fprintf(stderr, "mqtt_bench: the output did not open\n");
        return 1;
    }
    // The first cycle starts the connection; the discovery goes with it.
    MqttOutput.cycle(MakeReport(1));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<double> perCycle;
    double processBefore = ProcessCpuMs();
    for (int i = 0; i < cycles; ++i) {
        CycleReport report = MakeReport(static_cast<uint32_t>(i + 2));
        double before = ThreadCpuMs();
        MqttOutput.cycle(report);
        perCycle.push_back(ThreadCpuMs() - before);
        // The network thread sends meanwhile, as between real cycles.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double processMs = ProcessCpuMs() - processBefore;
    MqttOutput.close();
    for (const std::string& entry : OutputsTakeEvents())
        std::fprintf(stderr, "%s", entry.c_str());
    std::sort(perCycle.begin(), perCycle.end());
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf("cycles %d\n", cycles);
    std::printf("cycle_cpu_median_ms %.3f\n", perCycle[perCycle.size() / 2]);
    std::printf("cycle_cpu_p99_ms %.3f\n", perCycle[perCycle.size() * 99 / 100]);
    std::printf("process_cpu_per_cycle_ms %.3f\n", processMs / cycles);
    std::printf("load_average %.2f\n", load[0]);
    return 0;
}
