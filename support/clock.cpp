#include "support/clock.h"

#include <cerrno>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
// The performance counter: monotonic, with microseconds to spare.
uint64_t RealNowMicros(void*)
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t hz = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / hz * 1000000u + ticks % hz * 1000000u / hz;
}

// Sleep takes whole milliseconds and may end early on a coarse timer: sleep
// on, rounded up, until the counter shows the whole pause.
void RealSleepMicros(void*, uint64_t microseconds)
{
    const uint64_t end = RealNowMicros(nullptr) + microseconds;
    for (uint64_t now; (now = RealNowMicros(nullptr)) < end;) {
        const uint64_t ms = (end - now + 999u) / 1000u;
        Sleep(ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(ms));
    }
}

// The system time as 100 ns units since 1601-01-01 (UTC).
WallTime RealWallNow(void*)
{
    FILETIME file_time;
    GetSystemTimeAsFileTime(&file_time);
    const uint64_t units = (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
    const uint64_t kUnixEpoch = 116444736000000000ull;
    const uint64_t since_epoch = units - kUnixEpoch;
    return WallTime{static_cast<time_t>(since_epoch / 10000000u), static_cast<int>(since_epoch / 10000u % 1000u)};
}
#else
uint64_t RealNowMicros(void*)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void RealSleepMicros(void*, uint64_t microseconds)
{
    timespec want{};
    want.tv_sec = static_cast<time_t>(microseconds / 1000000u);
    want.tv_nsec = static_cast<long>((microseconds % 1000000u) * 1000u);
    timespec left{};
    // nanosleep reports the remainder when a signal cuts it short: sleep on.
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}

WallTime RealWallNow(void*)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return WallTime{ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000)};
}
#endif

ClockSource Active{RealNowMicros, RealSleepMicros, RealWallNow, nullptr};
bool RealSleepActive = true;
// Where this thread's last pause on the real clock was due to end; 0 before the first.
thread_local uint64_t PauseDue = 0;

struct Virtual {
    uint64_t now = 0;
    time_t wall_start = 0;
    uint64_t start = 0;
    int64_t wall_moved_ms = 0;  // the wall clock's jumps so far
} VirtualState;

uint64_t VirtualNow(void*) { return VirtualState.now; }
void VirtualSleep(void*, uint64_t microseconds) { VirtualState.now += microseconds; }
WallTime VirtualWall(void*)
{
    uint64_t elapsed = VirtualState.now - VirtualState.start;
    int64_t ms = static_cast<int64_t>(VirtualState.wall_start) * 1000 + static_cast<int64_t>(elapsed / 1000u)
                 + VirtualState.wall_moved_ms;
    return WallTime{static_cast<time_t>(ms / 1000), static_cast<int>(ms % 1000)};
}

}  // namespace

void ClockInstall(const ClockSource* source)
{
    Active = ClockSource{RealNowMicros, RealSleepMicros, RealWallNow, nullptr};
    RealSleepActive = source == nullptr || (source->now_micros == nullptr && source->sleep_micros == nullptr);
    PauseDue = 0;
    if (source == nullptr)
        return;
    if (source->now_micros) Active.now_micros = source->now_micros;
    if (source->sleep_micros) Active.sleep_micros = source->sleep_micros;
    if (source->wall_now) Active.wall_now = source->wall_now;
    Active.context = source->context;
}

void ClockUseVirtual(uint64_t start_micros, time_t wall_start)
{
    VirtualState = Virtual{start_micros, wall_start, start_micros};
    ClockSource source{VirtualNow, VirtualSleep, VirtualWall, nullptr};
    ClockInstall(&source);
}

void ClockAdvanceVirtual(uint64_t microseconds)
{
    VirtualState.now += microseconds;
}

void ClockJumpVirtualWallMs(int64_t milliseconds)
{
    if (Active.wall_now == VirtualWall) {
        WallTime wall = VirtualWall(nullptr);
        int64_t now = static_cast<int64_t>(wall.seconds) * 1000 + wall.milliseconds;
        VirtualState.wall_moved_ms += milliseconds < 0 && -milliseconds > now ? -now : milliseconds;
    }
}

uint64_t ClockMicros()
{
    return Active.now_micros(Active.context);
}

void PauseMicros(uint64_t microseconds)
{
    if (microseconds == 0)
        return;
    if (RealSleepActive)
        PauseDue = ClockMicros() + microseconds;
    Active.sleep_micros(Active.context, microseconds);
}

void PauseMicrosOnSchedule(uint64_t period)
{
    if (period == 0)
        return;
    uint64_t now = RealSleepActive ? ClockMicros() : 0;
    if (!RealSleepActive || PauseDue == 0 || now < PauseDue) {
        PauseMicros(period);
        return;
    }
    uint64_t end = PauseDue + period * ((now - PauseDue) / period + 1);
    Active.sleep_micros(Active.context, end - now);
    PauseDue = end;
}

uint32_t ClockMs()
{
    return static_cast<uint32_t>(ClockMicros() / 1000u);
}

void PauseMs(unsigned milliseconds)
{
    PauseMicros(static_cast<uint64_t>(milliseconds) * 1000u);
}

WallTime WallClockNow()
{
    return Active.wall_now(Active.context);
}
