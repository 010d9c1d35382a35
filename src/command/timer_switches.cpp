// Arming and disarming the keep-alive and time-out timers.
#include <tarsel/tarsel.h>

#include "components/unfailing_calls.h"

namespace tarselctl {

void tarsel::StartNoopTimer() {
    m_NoopCountdown = m_NoopTime;
    if (m_NoopTime > 0) {
        EnableQuietly(*Timer1, true);
    } else {
        m_NoopCountdown = -1;
        EnableQuietly(*Timer1, false);
    }
}

void tarsel::StopNoopTimer() { EnableQuietly(*Timer1, false); }

void tarsel::StartTimeoutTimer(Long kind) {
    m_TimeoutKind = kind;
    if (kind == 0) m_TimeoutCountdown = -1;
    else if (kind == 1 || kind == 2) m_TimeoutCountdown = m_ConnectTimeout;
    else if (kind == 3) m_TimeoutCountdown = m_TransTimeout;
    m_TimeoutArmed = m_TimeoutCountdown >= 1 ? True : False;
    UpdateTimer2();
}

void tarsel::StopTimeoutTimer() {
    m_TimeoutArmed = False;
    UpdateTimer2();
}

// The wait for a reply shares Timer2 with the time-out kinds; it counts only while a reply is
// due, so with ReplyTimeout 0 and no data-connection time-out behind it Timer2 is exactly the
// time-out timer.
void tarsel::StartReplyTimer(Long seconds) {
    m_ReplyCountdown = seconds > 0 ? seconds : -1;
    UpdateTimer2();
}

void tarsel::StopReplyTimer() {
    if (m_ReplyCountdown < 0) return;
    m_ReplyCountdown = -1;
    UpdateTimer2();
}

void tarsel::UpdateTimer2() {
    EnableQuietly(*Timer2, m_TimeoutArmed != False || m_ReplyCountdown >= 0);
}

}  // namespace tarselctl
