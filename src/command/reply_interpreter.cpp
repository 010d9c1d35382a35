// The reply interpreter: turns what the server sends on the control connection into the
// dialogue's next steps and the end of each operation.
#include <tarsel/code_page.h>
#include <tarsel/tarsel.h>

#include "command/crlf_lines.h"
#include "control/event_raising.h"

namespace tarselctl {

namespace {
// A reply line that grows past this without CR LF ends the connection.
constexpr std::size_t kMaxReplyLine = 1024 * 1024;

Integer ReplyCode(const String& line) {
    // The code is the number the first three characters form; a malformed code counts its
    // leading digits only.
    Integer code = 0;
    for (std::size_t i = 0; i < 3 && i < line.size() && line[i] >= u'0' && line[i] <= u'9'; ++i)
        code = static_cast<Integer>(code * 10 + (line[i] - u'0'));
    return code;
}

String ReplyText(const String& line) { return line.size() > 4 ? line.substr(4) : String(); }
}  // namespace

void tarsel::Soquet1_OnReceived(std::string& data) {
    const Long entry = m_CloseCount;
    // Lines not yet interpreted when the connection ended stay buffered, unless the host has
    // already started a new connection: they belong to the old server, and Connect has
    // discarded that server's text.
    auto KeepUninterpreted = [this](const std::vector<String>& rest, std::size_t from) {
        if (m_FtpCommand.empty()) PutBackCrLfLines(m_ReplyBuffer, rest, from);
    };
    m_RecvRaw += data;
    String text = DecodeShiftJis(Codawa1->ToSjis(m_RecvRaw));
    m_Label1 = u"Received " + text;
    m_ReplyBuffer += text;

    std::vector<String> lines = TakeCrLfLines(m_ReplyBuffer);
    if (m_ReplyBuffer.size() > kMaxReplyLine) {
        // Nothing a server says is that long; holding it would grow memory without bound.
        m_ReplyBuffer.clear();
        m_RecvRaw.clear();
        m_DisconnectCode = -2;
        m_DisconnectMsg = u"reply line too long";
        Soquet1->CloseSocket();
        return;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        m_ReplyLine = std::move(lines[i]);
        const String& line = m_ReplyLine;
        RaiseTrace(line);
        // The host may have ended the connection in a handler; the lines not yet
        // interpreted stay buffered.
        if (m_CloseCount != entry) {
            KeepUninterpreted(lines, i + 1);
            return;
        }
        if (line.size() >= 4 && line[3] == u'-') continue;
        const char16_t first = line.empty() ? u'\0' : line[0];
        if (first == u'1') {
            if (m_Cmd == u"STOR" || m_Cmd == u"APPE") {
                m_PutReady |= 1;
                StartUploadIfReady();
                if (m_CloseCount != entry) {
                    KeepUninterpreted(lines, i + 1);
                    return;
                }
            }
        } else if (first == u'4' || first == u'5') {
            Soquet2->CloseSocket();
            Soquet3->CloseSocket();
            // Closing the data connection raises its close events to the host, which may
            // end the control connection there.
            if (m_CloseCount != entry) {
                KeepUninterpreted(lines, i + 1);
                return;
            }
            m_DataPhase = 0;
            m_PutReady = 0;
            EndOperation(ReplyCode(line), ReplyText(line), false);
            if (m_CloseCount != entry) {
                KeepUninterpreted(lines, i + 1);
                return;
            }
        } else if (first == u'2' || first == u'3') {
            m_PutReady = 0;
            if (m_InPreCommand == False) {
                const String code = line.substr(0, 3);
                if (code == u"331") QueueCommandFirst(u"PASS " + m_Password);
                else if (code == u"332") QueueCommandFirst(u"ACCT " + m_Account);
            }
            bool noAddress = false;
            if (m_Cmd == u"PASV") {
                PassiveModeSetup(line);
                if (m_PasvHost.empty() || m_PasvPort.empty()) {
                    m_Queue.clear();
                    noAddress = true;
                }
            }
            if (!m_Queue.empty()) {
                SendNextCommand();
                if (m_CloseCount != entry) {
                    KeepUninterpreted(lines, i + 1);
                    return;
                }
                continue;
            }
            if (m_DataPhase == 1 || m_DataPhase == 2) {
                // The data connection is still pending or open: its close ends the transfer.
                m_DoneReply = line;
                continue;
            }
            EndOperation(noAddress ? -1 : 0, ReplyText(line), true);
            if (m_CloseCount != entry) {
                KeepUninterpreted(lines, i + 1);
                return;
            }
        }
    }
}

void tarsel::EndOperation(Integer code, const String& text, bool positive) {
    const String name = m_FtpCommand;
    BeginOperation(u"DONE");
    m_DoneReply.clear();
    if (positive) {
        m_DataPhase = 0;
        Soquet2->CloseSocket();
        Soquet3->CloseSocket();
    }
    // Idle before CommandDone, so that the host can start its next operation from there.
    m_Idle = True;
    StartNoopTimer();
    Raise([&](tarselEvents& s) { s.CommandDone(code, name, text); });
}

}  // namespace tarselctl
