// Time services shared by every layer: the millisecond tick and sleep used by
// the adapter stack and the logger's fixed waits, a microsecond view of the
// same clock for the software adapter's timing model, and the wall clock.
//
// All of them go through one installable source, so that tests can run waits
// on a fake clock instead of sleeping.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds since an arbitrary start; wraps like a 32-bit tick count.
// Compare deadlines only with ClockReached().
uint32_t ClockMs();
// Sleeps the full time, even when a signal interrupts the sleep. 0 returns at once.
void PauseMs(unsigned milliseconds);

// Monotonic microseconds, the same clock as ClockMs().
uint64_t ClockMicros();
void PauseMicros(uint64_t microseconds);
// Time a model charges on a fixed grid (the software adapter's USB frames):
// sleeps to the next multiple of `period` after the end the previous pause of
// this thread asked for, so the wake-up lateness of that pause (and the work
// since) is not added on top. Never for a wait that must last its full length
// from now. On a replacement clock the same as PauseMicros(period).
void PauseMicrosOnSchedule(uint64_t period);

// Wrap-safe: 1 when `now` has reached `deadline` (both from ClockMs()).
inline int ClockReached(uint32_t now, uint32_t deadline)
{
    return static_cast<int32_t>(now - deadline) >= 0 ? 1 : 0;
}

// Calendar time from one reading: whole seconds since 1970 and the millisecond part.
struct WallTime {
    time_t seconds;
    int milliseconds;  // 0..999
};
WallTime WallClockNow();

// A replacement clock. Any member may be null to keep the real one.
struct ClockSource {
    uint64_t (*now_micros)(void* context);
    void (*sleep_micros)(void* context, uint64_t microseconds);
    WallTime (*wall_now)(void* context);
    void* context;
};
// Installs a source (copied); nullptr restores the real clock.
void ClockInstall(const ClockSource* source);

// A ready-made virtual clock: sleeping advances it at once, nothing really waits.
// Its wall clock starts at `wall_start` seconds and advances with it.
void ClockUseVirtual(uint64_t start_micros = 0, time_t wall_start = 1700000000);
// Advances the virtual clock (no effect on the real one).
void ClockAdvanceVirtual(uint64_t microseconds);
// Sets the virtual wall clock forward or back by `milliseconds`, never before
// 1970-01-01 00:00:00.000; the monotonic clock goes on as it was (a wall
// clock set by hand or by the network). No effect on the real clock.
void ClockJumpVirtualWallMs(int64_t milliseconds);
