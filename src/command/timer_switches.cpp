// Arming and disarming the keep-alive and time-out timers.
#include <tarsel/tarsel.h>

namespace tarselctl {

void tarsel::StartNoopTimer() {
    m_NoopCountdown = m_NoopTime;
    if (m_NoopTime > 0) {
        Timer1->put_Enabled(true);
    } else {
        m_NoopCountdown = -1;
        Timer1->put_Enabled(false);
    }
}

void tarsel::StopNoopTimer() { Timer1->put_Enabled(false); }

void tarsel::StartTimeoutTimer(Long kind) {
    m_TimeoutKind = kind;
    if (kind == 0) m_TimeoutCountdown = -1;
    else if (kind == 1 || kind == 2) m_TimeoutCountdown = m_ConnectTimeout;
    else if (kind == 3) m_TimeoutCountdown = m_TransTimeout;
    Timer2->put_Enabled(m_TimeoutCountdown >= 1);
}

void tarsel::StopTimeoutTimer() { Timer2->put_Enabled(false); }

}  // namespace tarselctl
