#include "support/clock.h"

#include <cerrno>
#include <ctime>

namespace {

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

ClockSource Active{RealNowMicros, RealSleepMicros, RealWallNow, nullptr};

struct Virtual {
    uint64_t now = 0;
    time_t wall_start = 0;
    uint64_t start = 0;
} VirtualState;

uint64_t VirtualNow(void*) { return VirtualState.now; }
void VirtualSleep(void*, uint64_t microseconds) { VirtualState.now += microseconds; }
WallTime VirtualWall(void*)
{
    uint64_t elapsed = VirtualState.now - VirtualState.start;
    return WallTime{VirtualState.wall_start + static_cast<time_t>(elapsed / 1000000u),
                    static_cast<int>((elapsed / 1000u) % 1000u)};
}

}  // namespace

void ClockInstall(const ClockSource* source)
{
    Active = ClockSource{RealNowMicros, RealSleepMicros, RealWallNow, nullptr};
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

uint64_t ClockMicros()
{
    return Active.now_micros(Active.context);
}

void PauseMicros(uint64_t microseconds)
{
    if (microseconds != 0)
        Active.sleep_micros(Active.context, microseconds);
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
