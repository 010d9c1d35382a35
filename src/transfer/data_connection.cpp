// Setting up data connections: the lines the sender hands over (mode lines and transfer
// commands), the active-mode listener with its PORT command and the connection a server makes
// before answering it, the passive-mode connection to the address of a PASV reply, and the
// listener's events.
#include "control/control_core.h"

#include "components/unfailing_calls.h"

#include "control/step.h"
#include "transfer/data_address_text.h"

namespace tarselctl {

// The sender's one way into data connections: the mode (an active-mode listener with its PORT
// or EPRT line, or PASV) and the transfer command itself.
void ControlCore::SendDataCommand(QueuedStep step) {
    String line = std::move(step.line);
    if (step.kind == QueuedStep::Kind::ActiveModeSetup) {
        SetDataPhase(kNoTransfer);
        // What the listener's failure answers, should it fail before any line exists.
        SetSent(Word::Port);
        try {
            line = ActiveModeSetup();
        } catch (const AutomationError& e) {
            // No listener, so no PORT line: the operation ends here, before anything of
            // the transfer reaches the server.
            ListenFailed(e.Number(), e.Description());
            return;
        }
        TraceAndSendLine(line, line);
        return;
    }
    if (m_Sent == Word::Pasv) {
        if (IsIPv6Connection()) {
            // PASV answers with an IPv4 address only; EPSV gives just a port, on the
            // address the control connection already reaches.
            line = u"EPSV";
            SetSent(Word::Epsv);
        }
        TraceAndSendLine(line, line);
        return;
    }
    SetDataPhase(kTransferSent);
    m_Op.doneReply.clear();
    SetSetupPhaseQuietly(*Soquet3, False);
    ResetTransferCarry();
    TraceAndSendLine(line, line);
    OpenHeldDataConnection();
}

void ControlCore::ListenFailed(Long number, const String& description) {
    RaiseTransError(number, description, u"listen");
    m_Op.queue.clear();
    CloseQuietly(*Soquet2);
    EndOperation(-1, description, true);
}

// ---- the active-mode connection that comes before the transfer command
//
// Some servers (pyftpdlib) connect to the PORT address as soon as they receive PORT, before
// they answer it. Closing that connection would leave the transfer waiting for one that never
// comes, so it is held until the transfer command has gone out, and then opens the transfer as
// if it had come up just then. Nothing else in the control knows about it: a held connection
// that closes is forgotten with the data connection (EndDataConnection), and each new
// active-mode set-up starts without one.

bool ControlCore::HoldEarlyDataConnection() {
    if ((m_Sent != Word::Port && m_Sent != Word::Eprt) || !TransferCommandIsNext()) return false;
    m_Op.earlyDataConnection = True;
    return true;
}

void ControlCore::OpenHeldDataConnection() {
    if (m_Op.earlyDataConnection == False) return;
    m_Op.earlyDataConnection = False;
    if (Soquet3->get_IsClosed() == False) DataConnectionReady();
}

String ControlCore::ActiveModeSetup() {
    m_Op.earlyDataConnection = False;
    CloseQuietly(*Soquet2);
    CloseQuietly(*Soquet3);
    // Only the interface the server is reached through listens: the data connection comes
    // from that server, and nobody else on other networks of this host need see the port.
    // A listen that fails raises here, before any PORT line exists.
    Soquet2->ListenAt(Soquet1->get_LocalHost(), u"0");
    SetSetupPhaseQuietly(*Soquet3, True);
    const Long port = Soquet2->get_LocalPort();
    if (IsIPv6Connection()) {
        // PORT carries IPv4 addresses only.
        SetSent(Word::Eprt);
        return u"EPRT " + BuildEprtArgument(Soquet1->get_LocalHost(), port);
    }
    const Long address = Soquet1->get_LocalAddress();
    SetSent(Word::Port);
    return u"PORT " + BuildPortArgument(address, port);
}

String ControlCore::ControlPeer() const {
    // An address the socket cannot give leaves the reply without a usable one.
    try {
        return Soquet1->get_RemoteHost();
    } catch (...) {
        return String();
    }
}

void ControlCore::PassiveModeSetup(const String& replyLine) {
    SetDataPhase(kNoTransfer);
    CloseQuietly(*Soquet2);
    CloseQuietly(*Soquet3);
    String& host = m_Op.pasvHost;
    String& port = m_Op.pasvPort;
    if (m_Sent == Word::Epsv) {
        port = ParseEpsvReply(replyLine);
        host = port.empty() ? String() : ControlPeer();
    } else {
        ParsePasvReply(replyLine, host, port);
        // The address of a 227 is the server's word only: taken as it stands, it lets a
        // server (or whoever forges its reply) point the data connection at any host and
        // port the client can reach. The server is where the control connection goes; the
        // reply's address must still be well formed, as a sign that the reply is one.
        if (!host.empty() && m_PasvAddress == False) host = ControlPeer();
    }
    if (host.empty() || port.empty()) return;
    SetSetupPhaseQuietly(*Soquet3, True);
    StartTimeoutTimer(kDataConnectTimeout);
    try {
        Soquet3->ConnectTo(host, port, u"20");
    } catch (const AutomationError&) {
        // A port the socket refuses outright (0, negative, past 65535) is no usable
        // address: the operation ends with -1 and no time-out is left armed behind it.
        StopTimeoutTimer();
        host.clear();
        port.clear();
    }
}

void ControlCore::Soquet2_OnAcceptRequest(Long requestId) {
    if (m_DataPeerCheck != False) {
        // Anyone who can reach the listener could otherwise hand the host its "download".
        // A request from elsewhere is left untaken, which closes it, and the listener goes on
        // waiting for the server.
        String peer;
        try {
            peer = Soquet2->get_RequestHost(requestId);
        } catch (...) {
        }
        if (peer.empty() || peer != Soquet1->get_RemoteHost()) {
            RaiseDiagnostic(u"---Soquet2:", u"refused data connection from " + peer);
            return;
        }
    }
    // One data connection per listen: later requests find no listener.
    try {
        CloseQuietly(*Soquet2);
    } catch (...) {
    }
    try {
        Soquet3->Accept(requestId);
    } catch (...) {
    }
}

void ControlCore::Soquet2_OnError(Long number, const String& text1, const String& text2) {
    m_DisconnectCode = number;
    m_DisconnectMsg = text1 + u"(" + text2 + u")";
    CloseQuietly(*Soquet1);
}

void ControlCore::Soquet2_OnDiagnostic(const String& text) { RaiseDiagnostic(u"---Soquet2:", text); }

}  // namespace tarselctl
