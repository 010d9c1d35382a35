// The reply interpreter: turns what the server sends on the control connection into the
// dialogue's next steps and the end of each operation.
#include <tarsel/code_page.h>
#include "control/control_core.h"

#include "components/unfailing_calls.h"

#include "command/line_cutter.h"
#include "command/reply_fit.h"
#include "command/reply_lines.h"
#include "command/server_features.h"
#include "transfer/announced_size.h"
#include "control/step.h"

namespace tarselctl {

namespace {
// An unfinished reply line that grows past this ends the connection: nothing a server says is
// that long, and holding it would let a server grow the control's memory without bound.
constexpr std::size_t kMaxReplyLine = 1024 * 1024;

}  // namespace

void ControlCore::Soquet1_OnReceived(std::string& data) {
    const Long entry = m_CloseCount;
    if (m_State == Dialogue::Handshake) {
        // Nothing the server says between its 234 and the end of the handshake is a reply:
        // bytes sent in the clear there would be injected into the protected dialogue.
        return;
    }
    m_RecvRaw += data;
    String text = DecodeReplyBytes();
    m_Label1 = u"Received " + text;
    m_ReplyBuffer += text;

    std::vector<String> lines = TakeReplyLines(m_ReplyBuffer, m_ReplyScanned);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        m_ReplyLine = std::move(lines[i]);
        InterpretReplyLine();
        if (m_CloseCount != entry || m_State == Dialogue::Handshake) {
            // The line ended the connection (a refused AUTH TLS), or began its TLS
            // handshake: what follows the 234 in this read came in the clear and is dropped.
            return;
        }
    }
    // Only now, with every complete line of this arrival interpreted, is the unfinished rest
    // judged: good lines in front of an over-long one are never lost.
    if (m_ReplyBuffer.size() > kMaxReplyLine) {
        m_ReplyBuffer.clear();
        m_ReplyScanned = 0;
        m_RecvRaw.clear();
        m_DisconnectCode = -2;
        m_DisconnectMsg = u"reply line too long";
        CloseQuietly(*Soquet1);
    }
}

// Interprets m_ReplyLine. The caller stops at a line that closed the control connection (or
// began its TLS handshake).
void ControlCore::InterpretReplyLine() {
    const String& line = m_ReplyLine;
    RaiseTrace(line);
    // The whole reply is kept for hosts that read a multi-line answer (FEAT), bounded so that
    // a server that never ends one costs no more than this.
    constexpr std::size_t kMaxKeptReply = 64 * 1024;
    if (m_ReplyKept.size() < kMaxKeptReply) {
        if (!m_ReplyKept.empty()) m_ReplyKept += u"\r\n";
        m_ReplyKept += line.substr(0, kMaxKeptReply - m_ReplyKept.size());
    }
    const ReplyLineKind kind = ClassifyReplyLine(std::u16string_view(line), m_MultiLineCode);
    if (m_State == Dialogue::Quitting || m_State == Dialogue::Parting) {
        // The answer to the control's own QUIT, or whatever the server says instead: nothing
        // more of this connection is interpreted.
        if (kind != ReplyLineKind::Text) CloseQuietly(*Soquet1);
        return;
    }
    // A NUL has no place in a reply (hosts that read text up to a NUL would read another
    // reply than the one interpreted), and a code outside 1xx-5xx has no meaning: the server
    // does not speak the protocol this dialogue relies on.
    if (line.find(u'\0') != String::npos) {
        EndDialogue(kDialogueBroken, u"malformed reply: NUL in a reply line");
        return;
    }
    if (kind != ReplyLineKind::Text && (line[0] < u'1' || line[0] > u'5')) {
        EndDialogue(kDialogueBroken, u"malformed reply: " + line);
        return;
    }
    if (kind != ReplyLineKind::Final) return;
    m_LastReply = std::move(m_ReplyKept);
    m_ReplyKept.clear();

    const char16_t first = line[0];
    if (first == u'1') {
        // A preliminary reply does not answer the command: the wait for the final one goes on.
        if (m_Sent == Word::Retr) {
            if (const auto size = AnnouncedSize(line)) m_Carry.announcedSize = static_cast<std::int64_t>(*size);
        }
        if (IsUpload(m_Sent)) {
            SetPutReady(m_PutReady | kPutReplied);
            StartUploadIfReady();
        }
        return;
    }
    if (m_Sent == Word::Auth) {
        SecureOrRefuse(line);
        return;
    }
    if (m_State == Dialogue::Aborting) {
        AbortReply(line);
        return;
    }
    const Integer code = ReplyCode(line);
    if (!Idle()) {
        // What the connection has agreed to, for hosts that read it rather than the trace.
        if (m_Sent == Word::Type) {
            // A refused TYPE leaves the type unknown rather than trusted.
            m_TypeInForce = first == u'2' ? m_Op.typeSent : String();
            m_Op.typeSent.clear();
        } else if (m_Sent == Word::Feat) {
            m_Features = first == u'2' ? FeatureLines(m_LastReply) : std::vector<String>();
        }
        // The command's own replies only; a stray reply on an idle connection answers no
        // command and ends the idle "DONE" as it always has.
        const bool hostLine = m_Op.inPreCommands != False || m_Op.kind == Operation::Quote;
        const ReplyFit fit = FitOfReply(m_Sent, code, hostLine);
        if (fit == ReplyFit::Unexpected && IsTransfer(m_Sent)) {
            // Neither under way nor done nor refused: the transfer's state is unknown, and
            // whatever the server sends next would be read as the answer to another command.
            EndDialogue(kDialogueBroken, u"unexpected reply: " + line);
            return;
        }
        // An account the host never gave cannot be sent: an empty ACCT would only earn the
        // next refusal, and the login fails here instead, as a refused one does.
        const bool noAccount = code == 332 && m_Op.inPreCommands == False && m_Account.empty() &&
                               (m_Sent == Word::User || m_Sent == Word::Pass);
        if (fit == ReplyFit::Unexpected || noAccount) {
            RefuseReply(line);
            return;
        }
    }
    if (first == u'4' || first == u'5') {
        RefuseReply(line);
        return;
    }
    if (first != u'2' && first != u'3') return;

    StopReplyTimer();
    SetPutReady(0);
    if (m_Op.inPreCommands == False && !Idle()) {
        // Only the login asks for a password or an account: a 331 or 332 to any other
        // command would slip PASS or ACCT into the middle of an operation (in front of a
        // transfer's data connection, which then finds no transfer command to serve). A
        // stray 331 after the login has ended gets no password either.
        if (code == 331 && m_Sent == Word::User) QueueCommandFirst(u"PASS " + m_Password);
        else if (code == 332 && (m_Sent == Word::User || m_Sent == Word::Pass))
            QueueCommandFirst(u"ACCT " + m_Account);
    }
    if (m_Sent == Word::Prot) m_DataProtected = True;
    bool noAddress = false;
    if (m_Sent == Word::Pasv || m_Sent == Word::Epsv) {
        PassiveModeSetup(line);
        if (m_Op.pasvHost.empty() || m_Op.pasvPort.empty()) {
            m_Op.queue.clear();
            noAddress = true;
        }
    }
    if (!m_Op.queue.empty()) {
        SendNextCommand();
        return;
    }
    if (m_DataPhase == kTransferSent || m_DataPhase == kDataOpen) {
        // The data connection is still pending or open: its close ends the transfer.
        m_Op.doneReply = line;
        if (m_DataPhase == kTransferSent && m_Passive == False && m_TimeoutArmed == False) {
            // The server has answered the transfer command but never connected to the
            // listener: it will not connect any more, so the wait gets the data-connect
            // time-out from here on, as a passive connection does.
            StartTimeoutTimer(kDataConnectTimeout);
        }
        return;
    }
    const bool quitAnswered = m_Quitting != False && m_Sent == Word::Quit && m_Op.kind == Operation::DisConnect &&
                              m_State == Dialogue::Busy;
    EndOperation(noAddress ? -1 : 0, ReplyText(line), true);
    if (quitAnswered && m_State == Dialogue::Idle) {
        // The server has said goodbye; a server that then keeps the connection open must not
        // keep the host waiting for its close. The control closes after a short grace.
        SetState(Dialogue::Parting);
        StartReplyTimer(kGraceTicks);
    }
}

void ControlCore::RefuseReply(const String& line) {
    // Protection the server refuses is not in force, whatever an earlier PROT agreed to:
    // the transfer methods then refuse to run in the clear.
    if (m_Sent == Word::Prot || m_Sent == Word::Pbsz) m_DataProtected = False;
    StopReplyTimer();
    CloseQuietly(*Soquet2);
    // The refusal is the transfer's outcome; its data is not judged as well.
    m_Carry.cutByControl = True;
    CloseQuietly(*Soquet3);
    SetDataPhase(kNoTransfer);
    SetPutReady(0);
    // An active-mode listener closed here raises no close, so nothing else would stop
    // its data-connect time-out: left armed, it would fire into a later operation.
    StopTimeoutTimer();
    EndOperation(ReplyCode(line), ReplyText(line), false);
}

void ControlCore::EndDialogue(Long code, const String& reason) {
    m_DisconnectCode = code;
    m_DisconnectMsg = reason;
    // Errors of the closing connection are no reason of their own.
    m_Quitting = True;
    m_Op.abortRefusal.clear();
    m_Op.queue.clear();
    StopTimeoutTimer();
    // Nothing more of a transfer reaches the host; the operation ends as one lost with its
    // connection (the host's close event now, the rest when the connection has closed).
    SetDataPhase(kNoTransfer);
    SetPutReady(0);
    m_Carry.cutByControl = True;
    CloseQuietly(*Soquet2);
    CloseQuietly(*Soquet3);
    if (Idle()) {
        // No operation runs: the control's own closing is one, so that no host operation
        // begins on a connection that is going.
        BeginOperation(Operation::DisConnect);
    }
    SetState(Dialogue::Quitting);
    SetSent(Word::Quit);
    TraceAndSendLine(u"QUIT", u"QUIT");
    StartReplyTimer(m_ReplyTimeout > 0 && m_ReplyTimeout < kGraceTicks ? m_ReplyTimeout : kGraceTicks);
}

// The server's final reply to AUTH TLS. Only 234 lets the dialogue go on, protected: a host
// that asked for TLS must never send its password in the clear, so any other answer ends the
// connection. Lines after the 234 in the same read are dropped with it (they came in the
// clear, after the point where only protected bytes count).
void ControlCore::SecureOrRefuse(const String& line) {
    StopReplyTimer();
    if (line.compare(0, 3, u"234") != 0) {
        m_DisconnectCode = -12;
        m_DisconnectMsg = u"TLS refused by the server: " + line;
        CloseQuietly(*Soquet1);
        return;
    }
    m_ReplyBuffer.clear();
    m_ReplyScanned = 0;
    m_RecvRaw.clear();
    m_MultiLineCode.clear();
    StartControlTls();
}

void ControlCore::EndOperation(Integer code, const String& text, bool positive) {
    const bool abortedBeforeTransfer = m_Op.abortedBeforeTransfer != False;
    m_Op.abortedBeforeTransfer = False;
    m_Op.abortRefusal.clear();
    // A reply that arrives with no operation running (a server's stray or late reply) ends
    // nothing the host started: it can neither cut an upload short nor abort a transfer.
    const bool running = !Idle();
    const bool ending = m_State == Dialogue::Quitting || m_State == Dialogue::Parting;
    if (running && positive && code == 0 && abortedBeforeTransfer) {
        // The transfer never started; the positive reply only answered a set-up line.
        RaiseTransError(-5, u"transfer aborted", u"host");
    } else if (running && positive && code == 0 && IsUpload(m_Sent) &&
               m_Carry.putFinished == False && m_Carry.transErrorRaised == False) {
        // The server reports success, but the host's data had not ended: the upload was cut
        // short (the data connection closed early, or the final reply came before the data
        // connection was up), and the stored file is not what the host sent.
        RaiseTransError(-4, u"upload cut short", u"data");
    }
    const String name = OperationText();
    if (positive) {
        // Its trace comes while the operation still runs: between "DONE" and CommandDone
        // the host hears nothing.
        SetDataPhase(kNoTransfer);
    }
    FinishOperation();
    m_Op.doneReply.clear();
    if (positive) {
        CloseQuietly(*Soquet2);
        CloseQuietly(*Soquet3);
    }
    StopReplyTimer();
    StopTimeoutTimer();
    // Idle before CommandDone, so that the host can start its next operation from there.
    SetState(ending ? Dialogue::Parting : Dialogue::Idle);
    StartNoopTimer();
    Raise(outbox::CommandDone{code, name, text});
}

}  // namespace tarselctl
