// Property accessors with effects beyond storing their member.
#include <tarsel/tarsel.h>

namespace tarselctl {

void tarsel::put_NoopTime(Long value) {
    m_NoopTime = value;
    // While an operation runs the new value waits for its completion to take effect.
    if (m_Idle != False) StartNoopTimer();
}

}  // namespace tarselctl
