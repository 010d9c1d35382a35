// The data connection's events turned into the host's transfer events, and the completion
// of a transfer by whichever comes last: the data connection's close or the final reply.
//
// Every transfer the host sees is well formed, whatever it calls from inside its events and
// whatever the server does: XOpen, any number of XData, exactly one XClose, nothing of that
// transfer after its close, CommandDone after the close, and DisConnected after every close
// event of its connection. m_HostTransfer is the transfer open on the host's side, and
// every close event goes through CloseHostSide, which raises it once.
#include "control/control_core.h"

#include <charconv>

#include "components/unfailing_calls.h"
#include "code_converters/utf8_stream_converter.h"

#include "command/reply_lines.h"
#include "control/step.h"

namespace tarselctl {

namespace {
// A listing line that grows past this without CR LF ends the listing: nothing a server lists
// is that long, and holding it would let a server grow the control's memory without bound.
constexpr std::size_t kMaxListingLine = 1024 * 1024;

ByteArray ToByteArray(std::string_view bytes) {
    return ByteArray(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                     reinterpret_cast<const std::uint8_t*>(bytes.data()) + bytes.size());
}
}  // namespace

void ControlCore::ResetTransferCarry() {
    // Every transfer starts clean, so bytes of a broken transfer never reach the next file.
    m_Carry = TransferCarry{};
    // The offset this download asked for, which the bytes received count from; text that is
    // no plain decimal number counts as none, so the size check below is never stricter
    // than the server.
    if (m_Sent == Word::Retr && !m_Rest.empty()) {
        const std::string rest = ToUtf8(m_Rest);
        std::uint64_t offset = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), offset);
        if (error == std::errc() && end == rest.data() + rest.size()) m_Carry.offset = offset;
    }
    // The file converter starts from its initial shift state whatever the file code: a JIS
    // file that ended shifted out would otherwise turn the next one's text into katakana.
    Codawa2->Reset();
    PrepareTextConverters();
}

void ControlCore::RaiseTransError(Long code, const String& description, const String& where) {
    m_Carry.transErrorRaised = True;
    Raise(outbox::TransError{code, description, where});
}

void ControlCore::Soquet3_OnConnected() {
    m_Carry.connected = True;
    if (m_DataProtected != False && Soquet3->get_IsSecured() == False) {
        // Protected data: the transfer begins once the handshake (resuming the control
        // connection's session, as servers may demand) is through; the data-connect
        // time-out still runs meanwhile.
        Soquet3->StartTls(TlsSettings(), Soquet1.get());
        return;
    }
    DataConnectionReady();
}

void ControlCore::Soquet3_OnSecured() { DataConnectionReady(); }

void ControlCore::DataConnectionReady() {
    if (HoldEarlyDataConnection()) return;
    if (!IsTransfer(m_Sent)) {
        // No transfer command runs (a quoted PORT): nothing would read or write this
        // connection, and the operation's own reply, still due, ends the operation.
        RaiseDiagnostic(u"---Soquet3_Connected:Invalid m_Cmd=", LastCommand());
        CloseQuietly(*Soquet3);
        return;
    }
    StopTimeoutTimer();
    StartTimeoutTimer(kTransferTimeout);
    // While data flows the transfer time-out watches the transfer; the final reply is not
    // due before the data connection closes.
    StopReplyTimer();
    SetDataPhase(kDataOpen);
    m_HostTransfer = std::make_shared<HostTransfer>(HostTransfer{m_Sent});
    if (m_Sent == Word::Retr) {
        Raise(outbox::GetOpen{m_LocalFile});
    } else if (IsUpload(m_Sent)) {
        Raise(outbox::PutOpen{m_LocalFile});
        SetPutReady(m_PutReady | kPutDataOpen);
        StartUploadIfReady();
    } else {
        Raise(outbox::DirOpen{});
    }
}

void ControlCore::Soquet3_OnReceived(std::string& data) { DataArrived(data, nullptr); }

void ControlCore::Soquet3_OnReceivedBytes(ByteArray& data) {
    DataArrived(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &data);
}

// `asBytes`: the same bytes as the platform's own array, which a binary download hands to the
// host as they are, without a copy.
void ControlCore::DataArrived(std::string_view data, ByteArray* asBytes) {
    m_TimeoutCountdown = m_TransTimeout;
    // The bytes belong to the transfer the host has open, whatever command the server has
    // made the control send since (a 331 to RETR sends PASS). Bytes that arrive during an
    // upload, or for no transfer the host has open, are dropped.
    const Word side = HostSide();
    if (side == Word::Retr) {
        m_Carry.dataReceived += data.size();
        ByteArray converted;
        ByteArray* block = asBytes;
        if (m_FileCode != FileCode::Bin) {
            m_Carry.getRemainder.append(data);
            converted = ToByteArray(ConvertDownload());
            block = &converted;
        } else if (block == nullptr) {
            converted = ToByteArray(data);
            block = &converted;
        }
        // The event owns its bytes until it is delivered; the platform's array is taken as
        // it is rather than copied. Delivered before the socket's event returns when this
        // step is that event's own, so the platform's array is still there then: the storage
        // the host leaves goes back to it as the next read's buffer. Without that every block
        // of a download would cost the platform a new buffer, allocated and cleared.
        ByteArray* const platform = block == asBytes && m_StepDepth == 1 ? asBytes : nullptr;
        Raise(outbox::GetData{std::move(*block), platform});
    } else if (IsListing(side)) {
        m_Carry.dirBuffer.append(data);
        DeliverListingLines();
        if (m_Carry.dirBuffer.size() - m_Carry.dirStart > kMaxListingLine) {
            // The unfinished line is dropped; the listing ends as after a failed data
            // connection, and the server's reply to the listing ends the operation.
            m_Carry.dirBuffer.clear();
            m_Carry.dirStart = 0;
            m_Carry.dirScanned = 0;
            RaiseTransError(-3, u"listing line too long", u"data");
            CloseQuietly(*Soquet3);
        }
    }
}

// Raises DirData for every complete line in m_Carry.dirBuffer.
void ControlCore::DeliverListingLines() {
    // The cutter erases the delivered lines at once, so nothing before dirStart is kept.
    for (const std::string& line : TakeListingLines(m_Carry.dirBuffer, m_Carry.dirScanned))
        Raise(outbox::DirData{ConvertListingLine(line)});
    m_Carry.dirStart = 0;
}

void ControlCore::CloseHostSide() {
    if (!m_HostTransfer) return;
    const Word side = m_HostTransfer->word;
    // Judged before the last lines go out: whatever remains after the complete lines is a
    // line the data connection cut.
    const bool cutMidLine = IsListing(side) && m_Carry.dirBuffer.size() > m_Carry.dirStart &&
                            !std::string_view(m_Carry.dirBuffer).ends_with("\r\n");
    const bool alreadyFailed = m_Carry.transErrorRaised != False || m_Carry.cutByControl != False;
    if (IsListing(side)) {
        DeliverListingLines();
        if (m_Carry.dirStart < m_Carry.dirBuffer.size()) {
            // The last line had no CR LF.
            String text = ConvertListingLine(m_Carry.dirBuffer.substr(m_Carry.dirStart));
            m_Carry.dirBuffer.clear();
            m_Carry.dirStart = 0;
            m_Carry.dirScanned = 0;
            Raise(outbox::DirData{std::move(text)});
        }
        m_Carry.dirBuffer.clear();
        m_Carry.dirStart = 0;
        m_Carry.dirScanned = 0;
    } else if (side == Word::Retr && m_Carry.downloadText) {
        // Bytes kept at the end form no character now: replaced and counted as they would
        // be in mid-stream, so the host hears of them below.
        std::string rest = m_Carry.downloadText->Finish();
        if (!rest.empty()) {
            Raise(outbox::GetData{ToByteArray(rest)});
        }
    } else if (side == Word::Retr && m_FileCode != FileCode::Bin && !m_Carry.getRemainder.empty()) {
        std::string converted = ConvertDownload();
        // At the end of the data nothing can complete a cut character: the Shift_JIS, EUC
        // and JIS converters pass bytes that form no character on unchanged in mid-stream,
        // and so they go at the end too, never lost.
        converted += m_Carry.getRemainder;
        m_Carry.getRemainder.clear();
        Raise(outbox::GetData{ToByteArray(converted)});
    }
    if (!IsListing(side)) ReportReplacedCharacters();
    ReportCutShort(side, cutMidLine, alreadyFailed);
    // An upload whose side has closed can no longer start, whatever reply comes later.
    SetPutReady(m_PutReady & ~Long{kPutDataOpen});
    m_HostTransfer.reset();
    if (side == Word::Retr) Raise(outbox::GetClose{});
    else if (IsUpload(side)) Raise(outbox::PutClose{});
    else Raise(outbox::DirClose{});
}

// Text that went through a conversion with characters written as '?' is not what the host
// or the server had: the host hears of it once per transfer, before the close.
void ControlCore::ReportReplacedCharacters() {
    std::uint64_t replaced = 0;
    if (m_Carry.downloadText) replaced += m_Carry.downloadText->Substitutions();
    if (m_Carry.uploadText) replaced += m_Carry.uploadText->Substitutions();
    // The component's own converters (Shift_JIS on the host, no UTF-8 on either side) count
    // too; the count of a binary transfer's converter stays 0 from the transfer's start.
    const bool legacyText = !m_Carry.downloadText && !m_Carry.uploadText && m_FileCode != FileCode::Bin;
    if (legacyText) replaced += Codawa2->Substitutions();
    // With the control connection gone the transfer has failed anyway, and DisConnected
    // says so; a TransError there would belong to no operation.
    if (replaced == 0 || m_State == Dialogue::Closed) return;
    // Counted once: a close made from inside the TransError comes back here.
    m_Carry.downloadText.reset();
    m_Carry.uploadText.reset();
    if (legacyText) Codawa2->Reset();
    RaiseTransError(-6, u"characters replaced", u"data");
}

// A data connection that the server ended is the only sign of a download's end that FTP
// gives, and a forged or early end looks the same unless something confirms it: the size the
// server announced, or over TLS its close_notify (a TCP close without one is exactly what an
// attacker in the path can make, while the genuine final reply still arrives). A transfer
// that nothing confirms is reported before its close event, so the host never takes a
// truncated file or listing for a whole one.
void ControlCore::ReportCutShort(Word side, bool cutMidLine, bool alreadyFailed) {
    if (alreadyFailed || m_State == Dialogue::Closed) return;
    const bool truncatedTls = m_DataProtected != False && Soquet3->get_CloseNotified() == False;
    if (side == Word::Retr) {
        // Only bytes that cross unchanged can be counted against the announced size: in
        // ASCII mode and with a conversion the server counts other bytes than arrive.
        // (A stored type is sent as written, so "i" is binary too.)
        const bool binary = !m_Filetype.empty() && (m_Filetype[0] == u'I' || m_Filetype[0] == u'i');
        const bool countable = m_Carry.announcedSize >= 0 && binary && m_FileCode == FileCode::Bin;
        const bool whole = countable ? m_Carry.offset + m_Carry.dataReceived >=
                                           static_cast<std::uint64_t>(m_Carry.announcedSize)
                                     : !truncatedTls;
        if (!whole) RaiseTransError(-8, u"download cut short", u"data");
    } else if (IsListing(side) && cutMidLine && truncatedTls) {
        RaiseTransError(-9, u"listing cut short", u"data");
    }
}

void ControlCore::StartUploadIfReady() {
    if (m_PutReady != kPutStartable) return;
    SetPutReady(0);
    if (!IsUpload(HostSide()) || Soquet3->get_IsClosed() != False) return;
    UploadStep();
}

void ControlCore::Soquet3_OnSendDone() {
    if (m_Carry.putEnding != False) {
        // The bytes kept from the last block are out: now the upload ends.
        m_Carry.putEnding = False;
        m_TimeoutCountdown = m_TransTimeout;
        CloseQuietly(*Soquet3);
        return;
    }
    if (!IsUpload(HostSide()) || m_Carry.putFinished != False) return;
    UploadStep();
}

// PutData is the one event that asks the host for something: the block it leaves in the
// array is sent once every sink has had the event, unless the upload ended meanwhile (the
// host called Abort, Abend or DisConnect from inside it, or the server closed first).
void ControlCore::UploadStep() {
    m_TimeoutCountdown = m_TransTimeout;
    // The question holds its upload weakly (see outbox.cpp).
    Raise(outbox::PutData{m_HostTransfer, ByteArray(1, 0)});
}

void ControlCore::EndUpload() {
    Entry entry(*this);
    if (IsUpload(HostSide()) && m_Carry.putFinished == False) m_Carry.putLastBlock = True;
}

bool ControlCore::IsCurrent(const std::weak_ptr<HostTransfer>& transfer) const {
    const auto open = transfer.lock();
    return open && open == m_HostTransfer;
}

Word ControlCore::HostSide() const { return m_HostTransfer ? m_HostTransfer->word : Word::None; }

void ControlCore::SendUploadBlock(const ByteArray& data) {
    if (Soquet3->get_IsClosed() != False) return;
    try {
        // The end signal: an empty array, or the one element of value 0 left as handed over.
        // Any other block is data, a single byte included. After EndUpload the block is data
        // whatever it holds, and the end follows it.
        const bool last = m_Carry.putLastBlock != False;
        if (last || data.empty() || (data.size() == 1 && data[0] == 0)) {
            m_Carry.putFinished = True;
            // What the conversion still keeps (a character cut by the end, held text, the
            // return of JIS output to one-byte mode) goes out after the last block; the close
            // follows their send.
            std::string rest = last && !data.empty() ? ConvertUpload(data) : std::string();
            rest += FinishUpload();
            if (!rest.empty()) {
                m_Carry.putEnding = True;
                Soquet3->Send(rest);
                return;
            }
            CloseQuietly(*Soquet3);
            return;
        }
        Soquet3->Send(ConvertUpload(data));
    } catch (...) {
    }
}

void ControlCore::Soquet3_OnClosed() { EndDataConnection(); }

// The data connection has ended (closed by either side, failed, or never came and given up):
// the host's side closes, then the operation ends if its final reply is already in.
void ControlCore::EndDataConnection() {
    StopTimeoutTimer();
    // A restart offset serves one transfer only.
    m_Rest.clear();
    m_Carry.putEnding = False;
    // A held early connection that closes is no longer held.
    m_Op.earlyDataConnection = False;
    const Long closeCount = m_CloseCount;
    // The transfer command is out and no data connection ever served it.
    const bool neverOpened = m_DataPhase == kTransferSent;
    CloseHostSide();
    if (m_DataPhase == kNoTransfer) return;
    // No operation can end on a control connection that has closed (also while that close
    // is what closes this data connection).
    if (closeCount != m_CloseCount || m_State == Dialogue::Closed) {
        SetDataPhase(kNoTransfer);
        return;
    }
    if (!m_Op.doneReply.empty()) {
        const String text = ReplyText(m_Op.doneReply);
        // Cleared before the event: the host may start its next transfer from CommandDone,
        // and a kept reply must never complete a later operation.
        SetDataPhase(kNoTransfer);
        m_Op.doneReply.clear();
        EndOperation(0, text, true);
    } else if (neverOpened && m_Passive != False && m_Carry.connected == False &&
               m_Carry.cutByControl == False) {
        // The passive connect failed: the server never saw it and may wait for it until a
        // time-out of its own, if it has one. ABOR tells it, and its answer ends the
        // operation.
        SetDataPhase(kDataClosed);
        AbortFailedTransfer();
    } else {
        SetDataPhase(kDataClosed);
        // The final reply is due now. A stalled server must not hold the host for ever once
        // it has set a time-out: ReplyTimeout, or after a data-connection time-out as long
        // as that time-out was.
        StartReplyTimer(m_ReplyTimeout > 0 ? m_ReplyTimeout : m_Carry.replyWaitAfterTimeout);
    }
}

void ControlCore::Soquet3_OnError(Long number, const String& text1, const String& text2) {
    RaiseTransError(number, text1, text2);
}

void ControlCore::Soquet3_OnDiagnostic(const String& text) { RaiseDiagnostic(u"---Soquet3:", text); }

}  // namespace tarselctl
