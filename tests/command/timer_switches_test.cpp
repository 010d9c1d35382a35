// Arming and disarming the keep-alive and time-out timers: which countdown each switch
// loads, when the timer is left running, and what a stop keeps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using I = tarselInspector;

class TimerSwitches : public ControlTest {};

TEST_F(TimerSwitches, StartTimeoutTimerLoadsTheCountdownOfItsKind) {
    struct Case {
        const char* name;
        Long connectTimeout, transTimeout;
        std::function<void(tarsel&)> arm;
        Long kind, countdown;
        bool enabled;
    };
    const Case cases[] = {
        {"kind 1 from ConnectTimeout", 7, 2, [](tarsel& c) { I::StartTimeoutTimer(c, 1); }, 1, 7, true},
        {"kind 1 with ConnectTimeout 0", 0, 2, [](tarsel& c) { I::StartTimeoutTimer(c, 1); }, 1, 0, false},
        {"kind 2 with a negative ConnectTimeout", -4, 2, [](tarsel& c) { I::StartTimeoutTimer(c, 2); }, 2, -4, false},
        {"kind 2 from ConnectTimeout", 7, 2, [](tarsel& c) { I::StartTimeoutTimer(c, 2); }, 2, 7, true},
        {"kind 3 after kind 2 reloads from TransTimeout", 7, 2,
         [](tarsel& c) { I::StartTimeoutTimer(c, 2); I::StartTimeoutTimer(c, 3); }, 3, 2, true},
        {"kind 3 with TransTimeout 0", 7, 0, [](tarsel& c) { I::StartTimeoutTimer(c, 3); }, 3, 0, false},
        {"kind 0 stops counting", 7, 2,
         [](tarsel& c) { I::StartTimeoutTimer(c, 1); I::StartTimeoutTimer(c, 0); }, 0, -1, false},
        {"a larger kind leaves the countdown", 7, 2,
         [](tarsel& c) { I::StartTimeoutTimer(c, 1); I::StartTimeoutTimer(c, 9); }, 9, 7, true},
        {"stop keeps kind and countdown", 7, 2,
         [](tarsel& c) { I::StartTimeoutTimer(c, 3); I::StopTimeoutTimer(c); }, 3, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        control.put_ConnectTimeout(c.connectTimeout);
        control.put_TransTimeout(c.transTimeout);
        c.arm(control);
        EXPECT_EQ(I::TimeoutKind(control), c.kind);
        EXPECT_EQ(I::TimeoutCountdown(control), c.countdown);
        EXPECT_EQ(t2().enabled, c.enabled);
    }
}

TEST_F(TimerSwitches, AStoppedTimeOutResumesItsCountdownOnlyWhenArmedAgain) {
    control.put_TransTimeout(4);
    I::StartTimeoutTimer(control, 3);
    t2().TickN(2);
    I::StopTimeoutTimer(control);
    EXPECT_EQ(I::TimeoutCountdown(control), 2);
    EXPECT_EQ(t2().TickN(10), 0);
    I::StartTimeoutTimer(control, 3);
    EXPECT_EQ(I::TimeoutCountdown(control), 4);
}

TEST_F(TimerSwitches, AnExpiredUnknownKindOnlyTraces) {
    control.put_ConnectTimeout(1);
    I::StartTimeoutTimer(control, 1);
    I::StartTimeoutTimer(control, 9);
    t2().TickN(2);
    EXPECT_THAT(recorder.events, ::testing::ElementsAre("Trace(---timer2:timeout:9)"));
    EXPECT_THAT(platform.calls, ::testing::IsEmpty());
    EXPECT_EQ(I::TimeoutCountdown(control), -1);
    EXPECT_FALSE(t2().enabled);
}

TEST_F(TimerSwitches, StartNoopTimerRunsOnlyForAPositiveNoopTime) {
    struct Case {
        Long noopTime;
        Long countdown;
        bool enabled;
    };
    for (const Case& c : {Case{3, 3, true}, Case{1, 1, true}, Case{0, -1, false}, Case{-5, -1, false}}) {
        SCOPED_TRACE("NoopTime " + std::to_string(c.noopTime));
        I::StopNoopTimer(control);
        control.put_NoopTime(c.noopTime);  // not idle: the write alone starts nothing
        EXPECT_FALSE(t1().enabled);
        I::StartNoopTimer(control);
        EXPECT_EQ(I::NoopCountdown(control), c.countdown);
        EXPECT_EQ(t1().enabled, c.enabled);
    }
}

TEST_F(TimerSwitches, StopNoopTimerKeepsTheCountdown) {
    control.put_NoopTime(3);
    I::StartNoopTimer(control);
    t1().Tick();
    I::StopNoopTimer(control);
    EXPECT_FALSE(t1().enabled);
    EXPECT_EQ(I::NoopCountdown(control), 2);
}

}  // namespace
}  // namespace tarselctl
