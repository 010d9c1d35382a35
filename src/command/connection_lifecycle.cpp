// The control connection's lifecycle: Connect, Login, DisConnect, Abend, Abort, and the
// control socket's connection-level events.
#include <tarsel/code_page.h>
#include "control/control_core.h"

#include "components/unfailing_calls.h"
#include "code_converters/utf8_stream_converter.h"

#include "control/step.h"
#include "command/split_text.h"

namespace tarselctl {

namespace {
// Text that would not reach the server as written: a CR or LF ends the line and sends the
// rest as a second command, a NUL cuts the line short on many servers, and a character that
// the server's code cannot write goes out as '?', which most servers take as a wildcard
// ("DELE ?.txt" deletes whatever matches). Both system codes go through the Shift_JIS code
// page, so one check serves SJIS and EUC; UTF-8 writes every character but a lone surrogate.
bool IsUnsafeCommandText(const String& text, bool utf8) {
    return text.find_first_of(u"\r\n\0", 0, 3) != String::npos ||
           !(utf8 ? IsUtf8Encodable(text) : IsShiftJisEncodable(text));
}

// A literal IPv6 address may come in brackets, as in URLs; the socket and the certificate
// check want it bare.
String WithoutBrackets(const String& host) {
    if (host.size() >= 2 && host.front() == u'[' && host.back() == u']')
        return host.substr(1, host.size() - 2);
    return host;
}
}  // namespace

TlsClientSettings ControlCore::TlsSettings() const {
    TlsClientSettings settings;
    settings.verify = m_TlsVerify != False;
    settings.caFile = ToUtf8(m_TlsCaFile);
    settings.serverName = ToUtf8(WithoutBrackets(m_RemoteHost));
    return settings;
}

bool ControlCore::IsIPv6Connection() const {
    // Asked in the middle of a command sequence, which must go on: an address the socket
    // cannot give counts as IPv4, as before IPv6 was known here.
    try {
        return Soquet1->get_LocalHost().find(u':') != String::npos;
    } catch (...) {
        return false;
    }
}

void ControlCore::StartControlTls() {
    SetState(Dialogue::Handshake);
    // A handshake that stalls is bounded like a reply that never comes.
    StartReplyTimer(m_ReplyTimeout);
    Soquet1->StartTls(TlsSettings(), nullptr);
}

void ControlCore::Soquet1_OnSecured() {
    if (m_State != Dialogue::Handshake) return;
    SetState(Dialogue::Busy);
    StopReplyTimer();
    if (m_ConnectionTls == TlsMode::Implicit) {
        // Implicit TLS: the connection counts as made only now that it is protected.
        AnnounceConnected();
        return;
    }
    // Explicit TLS after the 234: the login goes on, protected.
    SendNextCommand();
}

// Callers check before they change or send anything, so a refused call or property write
// leaves the control as it was.
void ControlCore::RefuseUnsafeText(const String& source, std::initializer_list<const String*> args) const {
    for (const String* arg : args)
        if (IsUnsafeCommandText(*arg, m_SysCode == SysCode::Utf8))
            throw AutomationError(5, source, u"Invalid Argument");
}

void ControlCore::Connect(const String& RemoteHost, const String& Username, const String& Password) {
    Entry entry(*this);
    if (m_State != Dialogue::Closed) throw AutomationError(59, u"Connect", u"AlreadyConnected");
    // The account and the pre-command lines may come unchecked from stored settings.
    RefuseUnsafeText(u"Connect", {&Username, &Password, &m_Account});
    // So may the TLS mode: one that is not understood must not quietly mean plain FTP.
    if (m_TlsMode == TlsMode::Unknown) put_TlsMode(m_TlsMode.Text());
    std::vector<String> preCommands;
    if (!m_PreCommand.empty()) {
        preCommands = SplitText(m_PreCommand, u"\r\n", 0);
        for (const String& line : preCommands) RefuseUnsafeText(u"Connect", {&line});
    }

    ApplyCodesToConverters();
    // Nothing of an earlier connection's conversion state carries over to this one.
    Codawa1->Reset();
    Codawa2->Reset();

    // A new connection: its events are heard, whatever the last one's DisConnected ended.
    m_Gate = EventGate::NoOperation;
    SetDataPhase(kNoTransfer);
    StartTimeoutTimer(kControlConnectTimeout);
    m_Quitting = False;
    m_DisconnectCode = 0;
    m_DisconnectMsg.clear();
    m_RecvRaw.clear();
    m_Carry.getRemainder.clear();
    m_Password = Password;
    // Reply text and held-back command text of an earlier connection belong to that
    // connection; left here they would be taken as the new server's replies.
    m_ReplyBuffer.clear();
    m_ReplyScanned = 0;
    m_MultiLineCode.clear();
    m_SendPending.clear();
    m_RemoteHost = RemoteHost;
    // The mode this connection runs in: the host may write TlsMode while it is under way.
    m_ConnectionTls = m_TlsMode.Get();
    // The greeting answers no command: a word left from the last connection (AUTH, PASV)
    // must not decide what it means.
    SetSent(Word::None);
    m_DataProtected = False;
    m_Features.clear();
    m_TypeInForce.clear();

    BeginOperation(Operation::Connect);
    // Explicit TLS comes before anything else is said, pre-command lines included.
    if (m_TlsMode == TlsMode::Explicit) QueueCommand(u"AUTH TLS");
    if (!m_PreCommand.empty()) {
        m_Op.inPreCommands = True;
        for (const String& line : preCommands) QueueCommand(line);
        QueueStep(QueuedStep::Kind::EndOfPreCommands);
    }
    QueueCommand(u"USER " + Username);
    if (m_TlsMode.Get() != TlsMode::None) {
        // Protected data connections: the login's PASS and ACCT go in front of these.
        QueueCommand(u"PBSZ 0");
        QueueCommand(u"PROT P");
    }
    try {
        Soquet1->ConnectTo(WithoutBrackets(RemoteHost), m_Port, u"0");
    } catch (const AutomationError& e) {
        // Nothing is open that a time-out or an event could end.
        StopTimeoutTimer();
        SetState(Dialogue::Closed);
        m_Gate = EventGate::NoOperation;
        throw AutomationError(e.Number(), u"TARSEL_Connect()", e.Description());
    } catch (const std::exception& e) {
        StopTimeoutTimer();
        SetState(Dialogue::Closed);
        m_Gate = EventGate::NoOperation;
        throw AutomationError(-1, u"TARSEL_Connect()", FromUtf8(e.what()));
    }
}

void ControlCore::Login(const String& Username, const String& Password) {
    Entry entry(*this, Operation::User, {&Username, &Password, &m_Account});
    m_Password = Password;
    // Some servers start a new login in their default type: what TYPE said before is unknown.
    m_TypeInForce.clear();
    // A login is never part of the pre-command lines: its 331 is answered with PASS.
    BeginOperation(Operation::User);
    QueueCommand(u"USER " + Username);
    if (m_ConnectionTls != TlsMode::None) {
        // The first login may have failed before PBSZ and PROT went out (Connect's 530 drops
        // them): every login on a TLS connection asks for protected data again. PASS and ACCT
        // go in front of these, as in Connect.
        QueueCommand(u"PBSZ 0");
        QueueCommand(u"PROT P");
    }
    SendNextCommand();
}

void ControlCore::DisConnect() {
    Entry entry(*this);
    if (Idle()) {
        m_Quitting = True;
        RunOperation(Operation::DisConnect, {u"QUIT"});
        return;
    }
    if (Soquet1->get_IsClosed() == True) return;
    throw AutomationError(17, u"DisConnect", u"Not Idling");
}

void ControlCore::Abend() {
    Entry entry(*this);
    const Long closeCount = m_CloseCount;
    // The host ends the connection: nothing the connection ran is lost to it. Closed before
    // the close reports itself, so that its handling finds no operation to fail.
    SetState(Dialogue::Closed);
    Soquet1->CloseSocket();
    // The close normally reports itself at once; a socket that was never open reports
    // nothing, and leaves only the operation to end.
    if (closeCount == m_CloseCount) {
        StopTimeoutTimer();
        StopReplyTimer();
        m_Gate = m_Gate == EventGate::Disconnected ? m_Gate : EventGate::NoOperation;
    }
}

void ControlCore::Abort() {
    Entry entry(*this);
    if (Idle()) return;
    // The transfer command is out but its data connection has not opened the transfer yet: a
    // passive one may still be connecting (which the socket counts as closed), and either may
    // be in its TLS handshake. The host sees neither, and its Abort must end the transfer
    // there too, before a byte of it is delivered. An active-mode listener still waiting for
    // the server is left alone, as before: nothing is on its way to be ended.
    const bool pending = m_DataPhase == kTransferSent;
    if (Soquet3->get_IsClosed() == True && !(pending && m_Passive != False)) return;
    // A data connection can be up before the transfer command has gone out (a server that
    // connects as soon as it reads PORT). Emptying the queue then drops the transfer command
    // itself, and the positive reply to PORT would end the operation as if the transfer had
    // been made.
    bool droppedTransfer = false;
    for (const QueuedStep& step : m_Op.queue)
        if (step.kind == QueuedStep::Kind::Line && IsTransfer(WordOf(step.line))) droppedTransfer = true;
    if (droppedTransfer) m_Op.abortedBeforeTransfer = True;
    m_Op.queue.clear();
    // The host ended the data itself: its end says nothing of whether the data was whole.
    m_Carry.cutByControl = True;
    if (!pending) {
        CloseQuietly(*Soquet3);
        return;
    }
    // So would a positive final reply to a transfer whose data connection never opened: set
    // before the close, whose events may end the operation.
    m_Op.abortedBeforeTransfer = True;
    CloseQuietly(*Soquet3);
    // Nothing was on its way after all (a failed passive connect): the transfer waits for
    // its reply as it did, and nothing was aborted.
    if (m_DataPhase == kTransferSent && !droppedTransfer) m_Op.abortedBeforeTransfer = False;
}

void ControlCore::Soquet1_OnConnected() {
    if (m_ConnectionTls == TlsMode::Implicit) {
        // The connect time-out goes on bounding the handshake; Connected follows it.
        SetState(Dialogue::Handshake);
        StartReplyTimer(m_ReplyTimeout);
        Soquet1->StartTls(TlsSettings(), nullptr);
        return;
    }
    AnnounceConnected();
}

void ControlCore::AnnounceConnected() {
    StopTimeoutTimer();
    // The greeting is due.
    StartReplyTimer(m_ReplyTimeout);
    m_Label1 = u"Connected";
    Raise(outbox::Connected{});
}

void ControlCore::Soquet1_OnClosed() {
    // An operation the host did not end itself (Abend, or the QUIT of DisConnect) is lost
    // with the connection, and must not read as a success: it ends as a failed operation,
    // in the order of any other failure (TransError, the transfer's close event,
    // CommandDone), before DisConnected. The login is the exception hosts have always relied
    // on: a connection that fails before CommandDone(0, "Connect") ends in DisConnected
    // alone, and hosts answer a refused login (a CommandDone of "Connect" with a code) by
    // calling Login, which a closed connection would refuse from inside their handler.
    String lost;
    const bool running = m_State == Dialogue::Busy || m_State == Dialogue::Handshake ||
                         m_State == Dialogue::Aborting || m_State == Dialogue::Quitting;
    if (running && m_Op.kind != Operation::Connect && m_Op.kind != Operation::DisConnect)
        lost = OperationName(m_Op.kind);
    StopNoopTimer();
    StopTimeoutTimer();
    StopReplyTimer();
    m_Label1 = u"Closed";
    m_DataProtected = False;
    m_Features.clear();
    m_TypeInForce.clear();
    m_Op.typeSent.clear();
    SetState(Dialogue::Closed);
    m_Password.clear();
    m_MultiLineCode.clear();
    ++m_CloseCount;
    const Long code = m_DisconnectCode;
    const String msg = m_DisconnectMsg;
    m_DisconnectCode = 0;
    m_DisconnectMsg.clear();
    if (!lost.empty()) RaiseTransError(-7, u"connection lost", u"control");
    // The transfer's data goes with its control connection; the loss is reported already.
    m_Carry.cutByControl = True;
    CloseQuietly(*Soquet2);
    CloseQuietly(*Soquet3);
    // A transfer whose data connection has already closed may still owe the host its close
    // event (the host ended the connection from inside that transfer's last events):
    // DisConnected comes after every close event of its connection.
    CloseHostSide();
    if (!lost.empty()) {
        const String text = msg.empty() ? String(u"connection lost") : msg;
        Raise(outbox::CommandDone{-1, lost, text});
    }
    Raise(outbox::DisConnected{code, msg});
}

void ControlCore::Soquet1_OnError(Long number, const String& text1, const String& text2) {
    if (m_Quitting != False) return;
    m_DisconnectCode = number;
    m_DisconnectMsg = text1 + u"(" + text2 + u")";
}

void ControlCore::Soquet1_OnDiagnostic(const String& text) { RaiseDiagnostic(u"---Soquet1:", text); }

}  // namespace tarselctl
