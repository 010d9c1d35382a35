// The one-second countdowns of the keep-alive, the time-outs and the reply wait.
#pragma once

#include <tarsel/types.h>

namespace tarselctl {

enum class CountdownTick {
    Stopped,   ///< the countdown is not running (a negative value)
    Counting,  ///< it was above zero and has been counted down by one
    Expired,   ///< it had reached zero: this tick is the one that acts
};

/// One tick of a countdown loaded with N: N ticks bring it to 0 and the (N + 1)-th expires it.
/// A countdown loaded with 0 therefore acts on the first tick, not at once. The value is left
/// at 0 on expiry; the caller stops or reloads it.
inline CountdownTick StepCountdown(Long& countdown) {
    if (countdown >= 1) {
        --countdown;
        return CountdownTick::Counting;
    }
    return countdown == 0 ? CountdownTick::Expired : CountdownTick::Stopped;
}

}  // namespace tarselctl
