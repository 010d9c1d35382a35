// The one-second ticks: keep-alive NOOP on an idle connection, the time-outs, and the wait for
// a reply on the control connection.
#include "control/control_core.h"

#include "components/unfailing_calls.h"

#include "command/countdown.h"

#include "control/step.h"

namespace tarselctl {

// State changes come first, so an error in what follows undoes nothing.
void ControlCore::Timer1_Tick() {
    if (StepCountdown(m_NoopCountdown) != CountdownTick::Expired) return;
    m_NoopCountdown = -1;
    StopNoopTimer();
    RunOperation(Operation::Noop, {u"NOOP"});
}

void ControlCore::Timer2_Tick() {
    if (m_TimeoutArmed != False && StepCountdown(m_TimeoutCountdown) == CountdownTick::Expired) {
        // The tick that ends a time-out does nothing else: the reply wait it may start counts
        // from the next one.
        TimeoutExpired();
        return;
    }
    if (StepCountdown(m_ReplyCountdown) == CountdownTick::Expired) {
        StopReplyTimer();
        if (m_State == Dialogue::Quitting || m_State == Dialogue::Parting) {
            // No answer to the control's own QUIT: the connection goes without one.
            RaiseDiagnostic(u"---timer2:timeout:", u"quit");
            CloseQuietly(*Soquet1);
            return;
        }
        if (m_State == Dialogue::Aborting) {
            RaiseDiagnostic(u"---timer2:timeout:", u"abort");
            AbortGraceOver();
            return;
        }
        // No reply came: the server has stalled. The control connection goes, and its
        // DisConnected says why.
        RaiseDiagnostic(u"---timer2:timeout:", u"reply");
        m_DisconnectCode = -1;
        m_DisconnectMsg = u"reply timeout(timer)";
        CloseQuietly(*Soquet1);
    }
}

void ControlCore::TimeoutExpired() {
    const Long entry = m_CloseCount;
    RaiseDiagnostic(u"---timer2:timeout:", FromUtf8(std::to_string(m_TimeoutKind)));
    StopTimeoutTimer();
    switch (m_TimeoutKind) {
    case kControlConnectTimeout:
        m_DisconnectCode = -1;
        m_DisconnectMsg = u"connect timeout(timer)";
        CloseQuietly(*Soquet1);
        break;
    case kDataConnectTimeout: {
        m_Carry.replyWaitAfterTimeout = m_ConnectTimeout;
        RaiseTransError(-1, u"connect timeout", u"timer");
        // Ended by the control, which goes on waiting as long again for the server's answer.
        m_Carry.cutByControl = True;
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
        m_Carry.replyWaitAfterTimeout = m_TransTimeout;
        RaiseTransError(-2, u"trans timeout", u"timer");
        CloseQuietly(*Soquet3);
        break;
    default:
        break;
    }
}

}  // namespace tarselctl
