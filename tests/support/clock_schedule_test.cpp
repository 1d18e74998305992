// Pauses on a model's schedule: the whole period on the virtual clock (the
// timing model is unchanged), and on the real clock never an end before the
// grid point that the previous pause's due end sets.
#include <gtest/gtest.h>

#include "support/clock.h"

namespace {

TEST(PauseOnSchedule, VirtualClockSleepsTheWholePeriodWhateverCameBefore)
{
    ClockUseVirtual(0);
    PauseMicros(1000);
    ClockAdvanceVirtual(300);  // work after the pause
    uint64_t before = ClockMicros();
    PauseMicrosOnSchedule(1000);
    EXPECT_EQ(ClockMicros() - before, 1000u);
    PauseMicrosOnSchedule(500);
    EXPECT_EQ(ClockMicros() - before, 1500u);
    ClockInstall(nullptr);
}

TEST(PauseOnSchedule, RealClockEndsOnTheGridOfTheLastDueEnd)
{
    ClockInstall(nullptr);
    const uint64_t start = ClockMicros();
    PauseMicros(2000);  // due to end at start + 2000 (or a little later)
    while (ClockMicros() < start + 3500) {
    }
    // 1500 us or more late: the next grid point is 2000 us or more after the due end.
    PauseMicrosOnSchedule(1000);
    const uint64_t end = ClockMicros();
    EXPECT_GE(end, start + 4000);
    // A plain pause after it still lasts its whole length.
    PauseMicros(1000);
    EXPECT_GE(ClockMicros(), end + 1000);
}

}  // namespace
