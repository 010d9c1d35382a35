// Arming and disarming the keep-alive and time-out timers.
#include "control/control_core.h"

#include "components/unfailing_calls.h"

namespace tarselctl {

void ControlCore::StartNoopTimer() {
    m_NoopCountdown = m_NoopTime;
    if (m_NoopTime > 0) {
        EnableQuietly(*Timer1, true);
    } else {
        m_NoopCountdown = -1;
        EnableQuietly(*Timer1, false);
    }
}

void ControlCore::StopNoopTimer() { EnableQuietly(*Timer1, false); }

// The one place m_TimeoutKind changes; a change is traced, as the data phase's are. The trace
// comes after the timer is armed: whatever a host does when it hears of it (Abend ends the
// connection, which stops every time-out) finds the time-out in place to stop.
void ControlCore::StartTimeoutTimer(Long kind) {
    const Long previous = m_TimeoutKind;
    m_TimeoutKind = kind;
    if (kind == kNoTimeout) m_TimeoutCountdown = -1;
    else if (kind == kControlConnectTimeout || kind == kDataConnectTimeout) m_TimeoutCountdown = m_ConnectTimeout;
    else if (kind == kTransferTimeout) m_TimeoutCountdown = m_TransTimeout;
    m_TimeoutArmed = m_TimeoutCountdown >= 1 ? True : False;
    UpdateTimer2();
    if (kind != previous) {
        static constexpr const char16_t* kNames[] = {u"none", u"connect", u"data-connect", u"transfer"};
        RaiseDiagnostic(u"---timer2:kind:", kind >= 0 && kind <= 3 ? kNames[kind] : u"?");
    }
}

// Every end stops the time-out: the end of the data connection, of the operation, of the
// control connection. A time-out left counting would fire into whatever comes next.
void ControlCore::StopTimeoutTimer() {
    m_TimeoutArmed = False;
    m_TimeoutCountdown = -1;
    UpdateTimer2();
}

// The wait for a reply shares Timer2 with the time-out kinds; it counts only while a reply is
// due, so with ReplyTimeout 0 and no data-connection time-out behind it Timer2 is exactly the
// time-out timer.
void ControlCore::StartReplyTimer(Long seconds) {
    m_ReplyCountdown = seconds > 0 ? seconds : -1;
    UpdateTimer2();
}

void ControlCore::StopReplyTimer() {
    if (m_ReplyCountdown < 0) return;
    m_ReplyCountdown = -1;
    UpdateTimer2();
}

void ControlCore::UpdateTimer2() {
    EnableQuietly(*Timer2, m_TimeoutArmed != False || m_ReplyCountdown >= 0);
}

}  // namespace tarselctl
