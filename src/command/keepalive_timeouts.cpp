// The one-second ticks: keep-alive NOOP on an idle connection, and the time-outs.
#include <tarsel/tarsel.h>

#include "control/event_raising.h"

namespace tarselctl {

// A countdown loaded with N expires on the (N + 1)-th tick: N ticks bring it to 0 and the
// next acts. State changes come first, so an error in what follows undoes nothing.
void tarsel::Timer1_Tick() {
    if (m_NoopCountdown >= 1) {
        --m_NoopCountdown;
        return;
    }
    if (m_NoopCountdown < 0) return;
    m_NoopCountdown = -1;
    StopNoopTimer();
    RunOperation(u"Noop", {u"NOOP"});
}

void tarsel::Timer2_Tick() {
    if (m_TimeoutCountdown >= 1) {
        --m_TimeoutCountdown;
        return;
    }
    if (m_TimeoutCountdown < 0) return;
    RaiseDiagnostic(u"---timer2:timeout:", FromUtf8(std::to_string(m_TimeoutKind)));
    m_TimeoutCountdown = -1;
    StopTimeoutTimer();
    switch (m_TimeoutKind) {
    case 1:
        m_DisconnectCode = -1;
        m_DisconnectMsg = u"connect timeout(timer)";
        Soquet1->CloseSocket();
        break;
    case 2:
        Raise([](tarselEvents& s) { s.TransError(-1, u"connect timeout", u"timer"); });
        Soquet3->CloseSocket();
        break;
    case 3:
        Raise([](tarselEvents& s) { s.TransError(-2, u"trans timeout", u"timer"); });
        Soquet3->CloseSocket();
        break;
    default:
        break;
    }
}

}  // namespace tarselctl
