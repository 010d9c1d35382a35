// The repeating timer on the platform's deadlines.
#pragma once

#include <functional>
#include <memory>

#include <tarsel/platform.h>

#include "posix_platform/reactor.h"

namespace tarselctl {

/// A Timer on the host's loop, with the same promises as the Asio one: ticks keep their
/// cadence (each deadline follows the previous one, missed ticks are skipped, not fired in a
/// burst); enabling an enabled timer keeps its schedule; a new interval while enabled starts
/// again from now; 0 or less never ticks; the tick handler may disable, re-program or destroy
/// its own timer.
class PosixTimer final : public Timer {
public:
    explicit PosixTimer(std::shared_ptr<Reactor> reactor) : reactor_(std::move(reactor)) {}
    ~PosixTimer() override { Disarm(); }
    PosixTimer(const PosixTimer&) = delete;
    PosixTimer& operator=(const PosixTimer&) = delete;

    void SetTickHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    void put_Interval(Long milliseconds) override;
    Long get_Interval() const override { return interval_; }
    void put_Enabled(bool enabled) override;
    bool get_Enabled() const override { return enabled_; }

private:
    void Arm(Reactor::Clock::time_point when);
    void Disarm();
    void OnExpired();

    std::shared_ptr<Reactor> reactor_;
    std::function<void()> handler_;
    Long interval_ = 0;
    bool enabled_ = false;
    bool armed_ = false;
    Reactor::TimerId id_ = 0;
    Reactor::Clock::time_point expiry_{};
};

}  // namespace tarselctl
