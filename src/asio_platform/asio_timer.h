// The repeating timer on an asio::steady_timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <tarsel/platform.h>

namespace tarselctl {

/// A Timer that ticks on the thread running the io_context.
///
///  - Ticks keep their cadence: each wait is armed from the previous expiry, not from when the
///    tick handler ran; ticks missed while the loop was busy are skipped, not fired in a burst.
///  - Enabling an enabled timer keeps its schedule; disabling cancels the pending wait. Setting
///    a different interval while enabled starts the schedule again from now. An interval of 0
///    or less never ticks.
///  - A tick handler may disable, re-enable, re-program or destroy its own timer: the next wait
///    is armed before the handler runs, a copy of the handler is what runs, and every wait
///    carries a ticket that a later arming or cancelling makes stale.
///  - Destroying the timer with a wait pending is safe; the wait ends without a tick.
class AsioTimer final : public Timer {
public:
    explicit AsioTimer(asio::io_context& io);
    ~AsioTimer() override;
    AsioTimer(const AsioTimer&) = delete;
    AsioTimer& operator=(const AsioTimer&) = delete;

    void SetTickHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    void put_Interval(Long milliseconds) override;
    Long get_Interval() const override { return interval_; }
    void put_Enabled(bool enabled) override;
    bool get_Enabled() const override { return enabled_; }

private:
    /// Shared with the pending wait so that it outlives the timer object if need be.
    struct Wait {
        explicit Wait(asio::io_context& io) : timer(io) {}
        asio::steady_timer timer;
        AsioTimer* owner = nullptr;
        std::uint64_t ticket = 0;
    };

    void Arm(asio::steady_timer::time_point when);
    void Disarm();
    void OnExpired();

    std::shared_ptr<Wait> wait_;
    std::function<void()> handler_;
    Long interval_ = 0;
    bool enabled_ = false;
};

}  // namespace tarselctl
