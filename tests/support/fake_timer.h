// A timer that ticks only when the test says so.
#pragma once

#include <functional>
#include <string>

#include <tarsel/platform.h>

namespace tarselctl {

/// Stand-in for one of the control's one-second timers. Time does not pass by itself: the
/// test calls Tick(), and the handler runs only if the control has left the timer enabled.
class FakeTimer final : public Timer {
public:
    explicit FakeTimer(std::string name = "Timer") : name_(std::move(name)) {}
    ~FakeTimer() override;
    FakeTimer(const FakeTimer&) = delete;
    FakeTimer& operator=(const FakeTimer&) = delete;

    void SetTickHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    void put_Interval(Long milliseconds) override { interval = milliseconds; }
    Long get_Interval() const override { return interval; }
    void put_Enabled(bool value) override { enabled = value; }
    bool get_Enabled() const override { return enabled; }

    /// Last interval written; 0 until the control sets one.
    Long interval = 0;
    bool enabled = false;
    /// Ticks that reached the handler.
    int ticks = 0;

    /// One interval passes: runs the handler if the timer is enabled and has one.
    /// Returns whether the handler ran.
    bool Tick();
    /// Up to `n` intervals; a handler that disables the timer stops the rest.
    /// Returns how many ticks reached the handler.
    int TickN(int n);

    const std::string& name() const { return name_; }
    /// Runs when the instance is destroyed (the platform uses it to forget the instance).
    std::function<void()> onDestroyed;

private:
    std::string name_;
    std::function<void()> handler_;
};

}  // namespace tarselctl
