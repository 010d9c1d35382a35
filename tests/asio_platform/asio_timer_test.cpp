// The Asio timer: cadence, switching, and handlers that switch or destroy their own timer.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class AsioTimerTest : public ::testing::Test {
protected:
    asio::io_context io;
    AsioPlatform platform{io};
    std::unique_ptr<Timer> timer = platform.CreateTimer();
    std::vector<Clock::time_point> ticks;

    void SetUp() override {
        timer->SetTickHandler([this] { ticks.push_back(Clock::now()); });
    }
    /// Runs `action` on the loop after `delay`.
    void At(milliseconds delay, std::function<void()> action) {
        auto wait = std::make_shared<asio::steady_timer>(io, delay);
        wait->async_wait([wait, action](const asio::error_code&) { action(); });
    }
};

TEST_F(AsioTimerTest, TicksRepeatEveryIntervalUntilDisabled) {
    EXPECT_FALSE(timer->get_Enabled());
    timer->put_Interval(20);
    const auto start = Clock::now();
    timer->put_Enabled(true);
    ASSERT_TRUE(RunUntil(io, [&] { return ticks.size() == 5; }));
    EXPECT_GE(ticks.back() - start, milliseconds(100));
    timer->put_Enabled(false);
    RunFor(io, milliseconds(80));
    EXPECT_EQ(ticks.size(), 5u);
}

TEST_F(AsioTimerTest, EnablingAnEnabledTimerKeepsItsSchedule) {
    timer->put_Interval(300);
    const auto start = Clock::now();
    timer->put_Enabled(true);
    At(milliseconds(150), [&] { timer->put_Enabled(true); });
    ASSERT_TRUE(RunUntil(io, [&] { return !ticks.empty(); }));
    // A restarted schedule would tick at 450 ms.
    EXPECT_LT(ticks.front() - start, milliseconds(420));
}

TEST_F(AsioTimerTest, HandlerMayDisableReenableOrDestroyItsTimer) {
    timer->put_Interval(10);
    timer->SetTickHandler([&] {
        ticks.push_back(Clock::now());
        if (ticks.size() == 2) timer->put_Enabled(false);
    });
    timer->put_Enabled(true);
    RunFor(io, milliseconds(100));
    EXPECT_EQ(ticks.size(), 2u);

    timer->SetTickHandler([&] {
        ticks.push_back(Clock::now());
        timer->put_Enabled(false);
        timer->put_Enabled(true);  // starts over from now, ticks again
        if (ticks.size() == 4) timer.reset();
    });
    timer->put_Enabled(true);
    ASSERT_TRUE(RunUntil(io, [&] { return !timer; }));
    RunFor(io, milliseconds(50));
    EXPECT_EQ(ticks.size(), 4u);
}

TEST_F(AsioTimerTest, DestroyedOrZeroIntervalTimersNeverTick) {
    timer->put_Interval(0);
    timer->put_Enabled(true);
    auto other = platform.CreateTimer();
    other->SetTickHandler([&] { ticks.push_back(Clock::now()); });
    other->put_Interval(10);
    other->put_Enabled(true);
    other.reset();
    RunFor(io, milliseconds(60));
    EXPECT_TRUE(ticks.empty());
}

TEST_F(AsioTimerTest, ShorterIntervalWhileEnabledTakesEffectAtOnce) {
    timer->put_Interval(60000);
    timer->put_Enabled(true);
    timer->put_Interval(10);
    EXPECT_EQ(timer->get_Interval(), 10);
    ASSERT_TRUE(RunUntil(io, [&] { return ticks.size() >= 2; }, milliseconds(2000)));
}

}  // namespace
}  // namespace tarselctl::testing
