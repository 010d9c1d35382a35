// Setting up data connections: the active-mode listener with its PORT command, the
// passive-mode connection to the address of a PASV reply, and the listener's events.
#include <tarsel/tarsel.h>

#include "components/unfailing_calls.h"

#include "control/event_raising.h"
#include "transfer/data_address_text.h"

namespace tarselctl {

String tarsel::ActiveModeSetup() {
    SetDataPhase(kNoTransfer);
    m_EarlyDataConnection = False;
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
        m_Cmd = u"EPRT";
        return u"EPRT " + BuildEprtArgument(Soquet1->get_LocalHost(), port);
    }
    const Long address = Soquet1->get_LocalAddress();
    m_Cmd = u"PORT";
    return u"PORT " + BuildPortArgument(address, port);
}

void tarsel::PassiveModeSetup(const String& replyLine) {
    SetDataPhase(kNoTransfer);
    CloseQuietly(*Soquet2);
    CloseQuietly(*Soquet3);
    if (m_Cmd == u"EPSV") {
        m_PasvPort = ParseEpsvReply(replyLine);
        m_PasvHost = m_PasvPort.empty() ? String() : Soquet1->get_RemoteHost();
    } else {
        ParsePasvReply(replyLine, m_PasvHost, m_PasvPort);
    }
    if (m_PasvHost.empty() || m_PasvPort.empty()) return;
    SetSetupPhaseQuietly(*Soquet3, True);
    StartTimeoutTimer(kDataConnectTimeout);
    try {
        Soquet3->ConnectTo(m_PasvHost, m_PasvPort, u"20");
    } catch (const AutomationError&) {
        // A port the socket refuses outright (0, negative, past 65535) is no usable
        // address: the operation ends with -1 and no time-out is left armed behind it.
        StopTimeoutTimer();
        m_PasvHost.clear();
        m_PasvPort.clear();
    }
}

void tarsel::Soquet2_OnAcceptRequest(Long requestId) {
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

void tarsel::Soquet2_OnError(Long number, const String& text1, const String& text2) {
    m_DisconnectCode = number;
    m_DisconnectMsg = text1 + u"(" + text2 + u")";
    CloseQuietly(*Soquet1);
}

void tarsel::Soquet2_OnDiagnostic(const String& text) { RaiseDiagnostic(u"---Soquet2:", text); }

}  // namespace tarselctl
