#include "posix_platform/posix_timer.h"

namespace tarselctl {

void PosixTimer::put_Interval(Long milliseconds) {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    if (!enabled_) return;
    Disarm();
    if (interval_ > 0) Arm(Reactor::Clock::now() + std::chrono::milliseconds(interval_));
}

void PosixTimer::put_Enabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (!enabled_)
        Disarm();
    else if (interval_ > 0)
        Arm(Reactor::Clock::now() + std::chrono::milliseconds(interval_));
}

void PosixTimer::Arm(Reactor::Clock::time_point when) {
    expiry_ = when;
    armed_ = true;
    // The reactor drops the deadline when the timer cancels it, so `this` is alive when it runs.
    id_ = reactor_->At(when, [this] { OnExpired(); });
}

void PosixTimer::Disarm() {
    if (!armed_) return;
    armed_ = false;
    reactor_->Cancel(id_);
}

void PosixTimer::OnExpired() {
    armed_ = false;
    const auto period = std::chrono::milliseconds(interval_);
    const auto now = Reactor::Clock::now();
    auto next = expiry_ + period;
    if (next <= now) next += ((now - next) / period + 1) * period;
    Arm(next);
    // The handler may replace itself or destroy this timer; run a copy and touch nothing after.
    std::function<void()> handler = handler_;
    if (handler) handler();
}

}  // namespace tarselctl
