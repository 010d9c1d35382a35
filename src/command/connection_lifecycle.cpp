// The control connection's lifecycle: Connect, Login, DisConnect, Abend, Abort, and the
// control socket's connection-level events.
#include <tarsel/tarsel.h>

#include "control/event_raising.h"

namespace tarselctl {

namespace {
bool HasLineBreak(const String& text) { return text.find_first_of(u"\r\n") != String::npos; }

[[noreturn]] void RaiseInvalidArgument(const String& source) {
    throw AutomationError(5, source, u"Invalid Argument");
}
}  // namespace

// A CR or LF inside text that goes into a command line would let it smuggle a second
// command onto the control connection, so such arguments are refused before anything changes.
void tarsel::RefuseLineBreaks(const String& source, std::initializer_list<const String*> args) {
    for (const String* arg : args)
        if (HasLineBreak(*arg)) RaiseInvalidArgument(source);
}

std::vector<String> tarsel::SplitText(const String& text, const String& delimiter, Long maxPieces) {
    std::vector<String> pieces;
    if (maxPieces < 0) maxPieces = 0;
    auto skipSpaces = [](const String& s, std::size_t from) {
        std::size_t p = s.find_first_not_of(u' ', from);
        return p == String::npos ? s.size() : p;
    };
    std::size_t pos = skipSpaces(text, 0);
    for (;;) {
        const std::size_t found = delimiter.empty() ? String::npos : text.find(delimiter, pos);
        const bool lastPiece =
            maxPieces != 0 && static_cast<Long>(pieces.size()) + 1 == maxPieces;
        if (pos >= text.size() || found == String::npos || lastPiece) {
            if (pos < text.size()) pieces.push_back(text.substr(pos));
            return pieces;
        }
        pieces.push_back(text.substr(pos, found - pos));
        pos = skipSpaces(text, found + delimiter.size());
    }
}

void tarsel::Connect(const String& RemoteHost, const String& Username, const String& Password) {
    if (!m_FtpCommand.empty()) throw AutomationError(59, u"Connect", u"AlreadyConnected");
    RefuseLineBreaks(u"Connect", {&Username, &Password, &m_Account});
    std::vector<String> preCommands;
    if (!m_PreCommand.empty()) {
        preCommands = SplitText(m_PreCommand, u"\r\n", 0);
        for (const String& line : preCommands)
            if (HasLineBreak(line)) RaiseInvalidArgument(u"Connect");
    }

    ApplyCodesToConverters();

    m_Quitting = False;
    m_DisconnectCode = 0;
    m_DisconnectMsg.clear();
    m_RecvRaw.clear();
    m_GetRemainder.clear();
    m_DataPhase = 0;
    m_Password = Password;
    m_InPreCommand = False;
    // Reply text and held-back command text of an earlier connection belong to that
    // connection; left here they would be taken as the new server's replies.
    m_ReplyBuffer.clear();
    m_SendPending.clear();

    BeginOperation(u"Connect");
    if (!m_PreCommand.empty()) {
        m_InPreCommand = True;
        for (const String& line : preCommands) QueueCommand(line);
        QueueCommand(u"EXPC");
    }
    QueueCommand(u"USER " + Username);
    try {
        StartTimeoutTimer(1);
        Soquet1->ConnectTo(RemoteHost, m_Port, u"0");
    } catch (const AutomationError& e) {
        // The connect time-out stays armed; its expiry then finds no connection to close.
        m_FtpCommand.clear();
        throw AutomationError(e.Number(), u"TARSEL_Connect()", e.Description());
    } catch (const std::exception& e) {
        m_FtpCommand.clear();
        throw AutomationError(-1, u"TARSEL_Connect()", FromUtf8(e.what()));
    }
}

void tarsel::Login(const String& Username, const String& Password) {
    RequireIdle(u"User");
    RefuseLineBreaks(u"User", {&Username, &Password, &m_Account});
    m_Password = Password;
    RunOperation(u"User", {u"USER " + Username});
}

void tarsel::DisConnect() {
    if (m_Idle != False) {
        m_Quitting = True;
        RunOperation(u"DisConnect", {u"QUIT"});
        return;
    }
    if (Soquet1->get_IsClosed() == True) return;
    throw AutomationError(17, u"DisConnect", u"Not Idling");
}

void tarsel::Abend() {
    const Long closeCount = m_CloseCount;
    Soquet1->CloseSocket();
    // The close normally reports itself at once, and the host may already have started a
    // new Connect from its DisConnected handler; that one must not be forgotten here.
    if (closeCount == m_CloseCount) m_FtpCommand.clear();
}

void tarsel::Abort() {
    if (Soquet3->get_IsClosed() != True && m_Idle == False) {
        m_Queue.clear();
        Soquet3->CloseSocket();
    }
}

void tarsel::Soquet1_OnConnected() {
    StopTimeoutTimer();
    m_Label1 = u"Connected";
    Raise([](tarselEvents& s) { s.Connected(); });
}

void tarsel::Soquet1_OnClosed() {
    StopNoopTimer();
    StopTimeoutTimer();
    m_Label1 = u"Closed";
    m_Idle = False;
    m_FtpCommand.clear();
    m_Password.clear();
    ++m_CloseCount;
    Soquet2->CloseSocket();
    Soquet3->CloseSocket();
    const Long code = m_DisconnectCode;
    const String msg = m_DisconnectMsg;
    m_DisconnectCode = 0;
    m_DisconnectMsg.clear();
    Raise([&](tarselEvents& s) { s.DisConnected(code, msg); });
}

void tarsel::Soquet1_OnError(Long number, const String& text1, const String& text2) {
    if (m_Quitting != False) return;
    m_DisconnectCode = number;
    m_DisconnectMsg = text1 + u"(" + text2 + u")";
}

void tarsel::Soquet1_OnDiagnostic(const String& text) { RaiseDiagnostic(u"---Soquet1:", text); }

}  // namespace tarselctl
