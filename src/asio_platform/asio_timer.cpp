#include "asio_platform/asio_timer.h"

namespace tarselctl {

namespace {
std::chrono::milliseconds Period(Long milliseconds) { return std::chrono::milliseconds(milliseconds); }
}  // namespace

AsioTimer::AsioTimer(asio::io_context& io) : wait_(std::make_shared<Wait>(io)) {
    wait_->owner = this;
}

AsioTimer::~AsioTimer() {
    wait_->owner = nullptr;
    Disarm();
}

void AsioTimer::put_Interval(Long milliseconds) {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    if (!enabled_) return;
    Disarm();
    if (interval_ > 0) Arm(asio::steady_timer::clock_type::now() + Period(interval_));
}

void AsioTimer::put_Enabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (!enabled_) {
        Disarm();
    } else if (interval_ > 0) {
        Arm(asio::steady_timer::clock_type::now() + Period(interval_));
    }
}

void AsioTimer::Arm(asio::steady_timer::time_point when) {
    const std::uint64_t ticket = ++wait_->ticket;
    wait_->timer.expires_at(when);
    wait_->timer.async_wait([wait = wait_, ticket](const asio::error_code& ec) {
        // A wait that expired just before it was cancelled still completes without an error;
        // the ticket tells it apart from the current one.
        if (ec || wait->owner == nullptr || wait->ticket != ticket) return;
        wait->owner->OnExpired();
    });
}

void AsioTimer::Disarm() {
    ++wait_->ticket;
    wait_->timer.cancel();
}

void AsioTimer::OnExpired() {
    const auto period = Period(interval_);
    const auto now = asio::steady_timer::clock_type::now();
    auto next = wait_->timer.expiry() + period;
    if (next <= now) next += ((now - next) / period + 1) * period;
    Arm(next);
    // The handler may replace itself or destroy this timer; run a copy and touch nothing after.
    std::function<void()> handler = handler_;
    if (handler) handler();
}

}  // namespace tarselctl
