#include "support/clock.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <ctime>
#ifndef _WIN32
#include <pthread.h>
#endif
#include <thread>

namespace {

TEST(ClockTest, ReachedIsWrapSafe)
{
    EXPECT_EQ(ClockReached(100, 100), 1);
    EXPECT_EQ(ClockReached(99, 100), 0);
    EXPECT_EQ(ClockReached(5, 0xFFFFFFF0u), 1);   // now has wrapped past the deadline
    EXPECT_EQ(ClockReached(0xFFFFFFF0u, 5), 0);   // deadline lies past the wrap
}

TEST(ClockTest, VirtualClockSleepsWithoutWaiting)
{
    ClockUseVirtual(0xFFFFFF00ull * 1000u, 1000);
    uint32_t start = ClockMs();
    PauseMs(850);
    PauseMs(0);
    EXPECT_EQ(static_cast<uint32_t>(ClockMs() - start), 850u);  // across the 32-bit wrap
    WallTime wall = WallClockNow();
    EXPECT_EQ(wall.seconds, 1000);
    EXPECT_EQ(wall.milliseconds, 850);
    ClockAdvanceVirtual(200000);
    EXPECT_EQ(WallClockNow().seconds, 1001);
    EXPECT_EQ(WallClockNow().milliseconds, 50);
    ClockInstall(nullptr);
}

#ifndef _WIN32
// Windows has no signals that cut a sleep short.
void Ignore(int) {}

TEST(ClockTest, PauseSleepsOnAfterASignal)
{
    struct sigaction action {};
    action.sa_handler = Ignore;
    sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART: nanosleep is cut short

    pthread_t sleeper = pthread_self();
    std::thread poke([sleeper] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pthread_kill(sleeper, SIGUSR1);
    });
    uint64_t start = ClockMicros();
    PauseMs(150);
    uint64_t slept = ClockMicros() - start;
    poke.join();
    EXPECT_GE(slept, 150000u);
}
#endif

TEST(ClockTest, WallClockMillisecondsInRange)
{
    WallTime now = WallClockNow();
    EXPECT_GE(now.milliseconds, 0);
    EXPECT_LE(now.milliseconds, 999);
    EXPECT_GT(now.seconds, 1600000000);
}

#ifdef _WIN32
// The Windows clock: system time from 1601 turned into calendar seconds, and
// Sleep's whole milliseconds never cutting a pause short.
TEST(ClockTest, WindowsClockAgreesWithTheRuntime)
{
    const time_t before = std::time(nullptr);
    const WallTime now = WallClockNow();
    const time_t after = std::time(nullptr);
    EXPECT_GE(now.seconds, before);
    EXPECT_LE(now.seconds, after);
    for (uint64_t micros : {1u, 999u, 1001u, 20000u}) {
        const uint64_t start = ClockMicros();
        PauseMicros(micros);
        EXPECT_GE(ClockMicros() - start, micros);
    }
}
#endif

}  // namespace
