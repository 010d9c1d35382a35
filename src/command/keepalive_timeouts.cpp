// The one-second ticks: keep-alive NOOP on an idle connection, the time-outs, and the wait for
// a reply on the control connection.
#include <tarsel/tarsel.h>

#include "components/unfailing_calls.h"

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
    if (m_TimeoutArmed != False) {
        if (m_TimeoutCountdown >= 1) {
            --m_TimeoutCountdown;
        } else if (m_TimeoutCountdown == 0) {
            // The tick that ends a time-out does nothing else: the reply wait it may start
            // counts from the next one.
            TimeoutExpired();
            return;
        }
    }
    if (m_ReplyCountdown >= 1) {
        --m_ReplyCountdown;
    } else if (m_ReplyCountdown == 0) {
        // No reply came: the server has stalled. The control connection goes, and its
        // DisConnected says why.
        RaiseDiagnostic(u"---timer2:timeout:", u"reply");
        StopReplyTimer();
        m_DisconnectCode = -1;
        m_DisconnectMsg = u"reply timeout(timer)";
        CloseQuietly(*Soquet1);
    }
}

void tarsel::TimeoutExpired() {
    RaiseDiagnostic(u"---timer2:timeout:", FromUtf8(std::to_string(m_TimeoutKind)));
    m_TimeoutCountdown = -1;
    StopTimeoutTimer();
    switch (m_TimeoutKind) {
    case kControlConnectTimeout:
        m_DisconnectCode = -1;
        m_DisconnectMsg = u"connect timeout(timer)";
        CloseQuietly(*Soquet1);
        break;
    case kDataConnectTimeout: {
        m_ReplyWaitAfterTimeout = m_ConnectTimeout;
        const Long entry = m_CloseCount;
        RaiseTransError(-1, u"connect timeout", u"timer");
        if (m_CloseCount != entry) break;
        CloseQuietly(*Soquet3);
        if (m_DataPhase == kTransferSent && m_CloseCount == entry && Soquet3->get_IsClosed() != False) {
            // Active mode: the listener still waits for a server that will never connect.
            // It goes too, and with no connection to report a close the transfer ends here.
            CloseQuietly(*Soquet2);
            EndDataConnection();
        }
        break;
    }
    case kTransferTimeout:
        m_ReplyWaitAfterTimeout = m_TransTimeout;
        RaiseTransError(-2, u"trans timeout", u"timer");
        CloseQuietly(*Soquet3);
        break;
    default:
        break;
    }
}

}  // namespace tarselctl
