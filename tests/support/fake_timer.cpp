#include "support/fake_timer.h"

namespace tarselctl {

FakeTimer::~FakeTimer() {
    if (onDestroyed) onDestroyed();
}

bool FakeTimer::Tick() {
    if (!enabled || !handler_) return false;
    ++ticks;
    // A copy, so that a handler which replaces itself does not run from freed storage.
    auto handler = handler_;
    handler();
    return true;
}

int FakeTimer::TickN(int n) {
    int ran = 0;
    for (int i = 0; i < n && Tick(); ++i) ++ran;
    return ran;
}

}  // namespace tarselctl
