#include "tests/logger/recorded_run.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "logger/logger.h"
#include "onewire/crc.h"
#include "onewire/driver.h"
#include "simulator/sim_driver.h"
#include "support/clock.h"

namespace recorded {
namespace {

// The child's state; set up before the fork, used only in the child.
Timeline Events;
uint64_t NowMicros = 1000000;
Trigger PendingTrigger;
int TriggerSeen = 0;

void Record(const std::string& what)
{
    Events.push_back({NowMicros, what});
}

std::string PauseText(uint64_t micros)
{
    std::string text = "P" + std::to_string(micros / 1000);
    if (micros % 1000) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(micros % 1000));
        text += fraction;
    }
    return text;
}

uint64_t ClockNow(void*)
{
    return NowMicros;
}

void ClockSleep(void*, uint64_t micros)
{
    Record(PauseText(micros));
    NowMicros += micros;
    if (PendingTrigger.count > 0 && micros == PendingTrigger.pauseMs * 1000u &&
        ++TriggerSeen == PendingTrigger.count) {
        if (FILE* file = std::fopen(PendingTrigger.create.c_str(), "wb"))
            std::fclose(file);
    }
}

WallTime ClockWall(void*)
{
    return WallTime{static_cast<time_t>(1700000000 + NowMicros / 1000000u), static_cast<int>(NowMicros / 1000u % 1000u)};
}

// "rec:NAME" opens NAME with the software adapter and records every call.
int Claims(const char* name)
{
    return std::strncmp(name, "rec:", 4) == 0 ? 1 : 0;
}

void* Open(const char* name)
{
    return SimDriverOps.open(name + 4);
}

int VendorRequest(void* context, const uint8_t* record)
{
    char text[24];
    std::snprintf(text, sizeof text, "V%u:%04X:%04X", record[1], record[2] | record[3] << 8, record[4] | record[5] << 8);
    Record(text);
    return SimDriverOps.vendor_request(context, record);
}

int QueryStatus(void* context, uint8_t* buffer, uint32_t capacity, uint32_t* returned)
{
    Record("S");
    return SimDriverOps.query_status(context, buffer, capacity, returned);
}

int Read(void* context, uint8_t* buffer, uint32_t length, uint32_t* done)
{
    Record("R" + std::to_string(length));
    return SimDriverOps.read(context, buffer, length, done);
}

int Write(void* context, const uint8_t* buffer, uint32_t length, uint32_t* done)
{
    std::string text = "W";
    char byte[3];
    for (uint32_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02X", buffer[i]);
        text += byte;
    }
    Record(text);
    return SimDriverOps.write(context, buffer, length, done);
}

void Close(void* context)
{
    SimDriverOps.close(context);
}

const DriverOps RecordingOps{"rec", Claims, Open, VendorRequest, QueryStatus, Read, Write, Close,
                             SimDriverOps.describe};

int DecodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

[[noreturn]] void RunChild(const std::string& root, const std::string& work, const std::string& app)
{
    alarm(60);  // the run is on the virtual clock: a hung one is a fault
    if (chdir(work.c_str()) != 0)
        _exit(126);
    const int input = open("/dev/null", O_RDONLY);
    const int output = open((root + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (input < 0 || output < 0)
        _exit(126);
    dup2(input, 0);
    dup2(output, 1);
    dup2(output, 2);
    setenv("TZ", "UTC", 1);
    ClockSource clock{ClockNow, ClockSleep, ClockWall, nullptr};
    ClockInstall(&clock);
    DriverRegisterBackend(&RecordingOps);

    std::string program = app + "temp";
    std::string device = "rec:sim:" + root + "/bus.txt";
    char* argv[] = {program.data(), device.data(), nullptr};
    const int status = RunLogger(2, argv);

    std::ofstream timeline(root + "/timeline.txt");
    for (const Event& event : Events)
        timeline << event.micros << ' ' << event.what << '\n';
    timeline.close();
    std::fflush(stdout);
    _exit(status);
}

}  // namespace

Result RecordedRun::Run(const std::string& bus, const std::vector<std::string>& markers, const Trigger& trigger)
{
    WriteFile(root_ + "/bus.txt", bus);
    for (const std::string& marker : markers)
        WriteFile(W(marker), "");
    Events.clear();
    PendingTrigger = trigger;
    TriggerSeen = 0;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0)
        RunChild(root_, work_, app_);
    Result result;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    result.status = DecodeStatus(status);
    result.console = ReadFile(root_ + "/console.txt");
    std::istringstream timeline(ReadFile(root_ + "/timeline.txt"));
    Event event;
    while (timeline >> event.micros >> event.what)
        result.events.push_back(event);
    return result;
}

size_t FindFrom(const Timeline& events, const std::string& prefix, size_t from)
{
    for (size_t i = from; i < events.size(); ++i)
        if (events[i].what.compare(0, prefix.size(), prefix) == 0)
            return i;
    return events.size();
}

size_t NextRequest(const Timeline& events, size_t index)
{
    size_t i = index + 1;
    while (i < events.size() && events[i].what[0] == 'P')
        ++i;
    return i;
}

std::vector<std::string> PausesBetween(const Timeline& events, size_t from, size_t to)
{
    std::vector<std::string> pauses;
    for (size_t i = from + 1; i < to && i < events.size(); ++i)
        if (events[i].what[0] == 'P')
            pauses.push_back(events[i].what);
    return pauses;
}

double MsBetween(const Timeline& events, size_t from, size_t to)
{
    return static_cast<double>(events.at(to).micros - events.at(from).micros) / 1000.0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string FullSerial(const std::string& digits14)
{
    uint8_t bytes[7];
    for (size_t i = 0; i < 7; ++i)
        bytes[i] = static_cast<uint8_t>(std::stoi(digits14.substr(2 * i, 2), nullptr, 16));
    char crc[3];
    std::snprintf(crc, sizeof crc, "%02X", Crc8Of(bytes, 7));
    return digits14 + crc;
}

}  // namespace recorded
