#include "command/countdown.h"

#include <gtest/gtest.h>

namespace tarselctl {
namespace {

// The countdown's contract is what makes "NoopTime 3" mean a NOOP on the fourth tick and a
// time-out of 0 fire on the first tick, not at once.
TEST(Countdown, LoadedWithNItExpiresOnTheTickAfterTheNth) {
    for (Long n : {0, 1, 2, 5}) {
        Long countdown = n;
        for (Long tick = 1; tick <= n; ++tick)
            ASSERT_EQ(StepCountdown(countdown), CountdownTick::Counting) << "n=" << n << " tick " << tick;
        EXPECT_EQ(countdown, 0);
        EXPECT_EQ(StepCountdown(countdown), CountdownTick::Expired) << "n=" << n;
        EXPECT_EQ(countdown, 0) << "expiry leaves the value for the caller to stop or reload";
    }
}

TEST(Countdown, AStoppedCountdownStaysStopped) {
    Long countdown = -1;
    for (int tick = 0; tick < 3; ++tick) EXPECT_EQ(StepCountdown(countdown), CountdownTick::Stopped);
    EXPECT_EQ(countdown, -1);
}

}  // namespace
}  // namespace tarselctl
