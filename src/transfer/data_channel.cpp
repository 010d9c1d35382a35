// The data connection's events turned into the host's transfer events, and the completion
// of a transfer by whichever comes last: the data connection's close or the final reply.
#include <tarsel/tarsel.h>

#include "command/crlf_lines.h"
#include "control/event_raising.h"

namespace tarselctl {

void tarsel::ResetTransferCarry() {
    // Every transfer starts clean, so bytes of a broken transfer never reach the next file.
    m_DirBuffer.clear();
    m_GetRemainder.clear();
    m_PutRemainder.clear();
    m_PutEnding = False;
    if (m_FileCode == u"JIS") {
        // Back to the initial one-byte shift state of the file converter.
        std::string reset = "\x1b(B";
        try {
            (void)Codawa2->JisToSjis(reset);
        } catch (...) {
        }
    }
}

void tarsel::Soquet3_OnConnected() {
    if (m_Cmd == u"PORT" && !m_Queue.empty() && IsTransferWord(CommandWord(m_Queue.front()))) {
        // Some servers (pyftpdlib) connect as soon as they receive PORT, before answering
        // it. Closing that connection would leave the transfer waiting for one that never
        // comes, so it is held until the transfer command has been sent.
        m_EarlyDataConnection = True;
        return;
    }
    StopTimeoutTimer();
    StartTimeoutTimer(3);
    const Long closeCount = m_CloseCount;
    m_DataPhase = 2;
    if (m_Cmd == u"RETR") {
        Raise([&](tarselEvents& s) { s.GetOpen(m_LocalFile); });
    } else if (m_Cmd == u"STOR" || m_Cmd == u"APPE") {
        Raise([&](tarselEvents& s) { s.PutOpen(m_LocalFile); });
        if (closeCount == m_CloseCount) {
            m_PutReady |= 2;
            StartUploadIfReady();
        }
    } else if (m_Cmd == u"LIST" || m_Cmd == u"NLST") {
        Raise([](tarselEvents& s) { s.DirOpen(); });
    } else {
        RaiseDiagnostic(u"---Soquet3_Connected:Invalid m_Cmd=", m_Cmd);
        Soquet3->CloseSocket();
    }
}

void tarsel::Soquet3_OnReceived(std::string& data) {
    m_TimeoutCountdown = m_TransTimeout;
    if (m_Cmd == u"RETR") {
        ByteArray bytes;
        if (m_FileCode == u"BIN") {
            bytes.assign(reinterpret_cast<const std::uint8_t*>(data.data()),
                         reinterpret_cast<const std::uint8_t*>(data.data()) + data.size());
        } else {
            m_GetRemainder += data;
            const std::string converted = ConvertDownload();
            bytes.assign(reinterpret_cast<const std::uint8_t*>(converted.data()),
                         reinterpret_cast<const std::uint8_t*>(converted.data()) + converted.size());
        }
        Raise([&](tarselEvents& s) { s.GetData(bytes); });
    } else if (m_Cmd == u"LIST" || m_Cmd == u"NLST") {
        m_DirBuffer += data;
        std::vector<std::string> lines = TakeCrLfLines(m_DirBuffer);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const Long closeCount = m_CloseCount;
            String line = ConvertListingLine(lines[i]);
            Raise([&](tarselEvents& s) { s.DirData(line); });
            if (closeCount != m_CloseCount) {
                // The connection ended inside the handler: this line and the rest stay.
                PutBackCrLfLines(m_DirBuffer, lines, i);
                return;
            }
        }
    }
    // Bytes arriving during an upload, or for no transfer, are dropped.
}

void tarsel::StartUploadIfReady() {
    if (m_PutReady != 3) return;
    m_PutReady = 0;
    UploadStep();
}

void tarsel::Soquet3_OnSendDone() {
    if (m_PutEnding != False) {
        // The bytes kept from the last block are out: now the upload ends.
        m_PutEnding = False;
        m_TimeoutCountdown = m_TransTimeout;
        Soquet3->CloseSocket();
        return;
    }
    UploadStep();
}

void tarsel::UploadStep() {
    m_TimeoutCountdown = m_TransTimeout;
    const Long closeCount = m_CloseCount;
    ByteArray data(1, 0);
    try {
        Raise([&](tarselEvents& s) { s.PutData(data); });
    } catch (...) {
    }
    if (closeCount != m_CloseCount) return;
    if (Soquet3->get_IsClosed() != False) return;
    try {
        if (data.size() < 2) {
            // Fewer than two bytes end the upload. Bytes still kept from a block that ended
            // inside a character go out unchanged first; the close follows their send.
            if (!m_PutRemainder.empty()) {
                std::string rest = std::move(m_PutRemainder);
                m_PutRemainder.clear();
                m_PutEnding = True;
                Soquet3->Send(rest);
                return;
            }
            Soquet3->CloseSocket();
            return;
        }
        Soquet3->Send(ConvertUpload(data));
    } catch (...) {
    }
}

void tarsel::Soquet3_OnClosed() {
    StopTimeoutTimer();
    // A restart offset serves one transfer only.
    m_Rest.clear();
    m_PutEnding = False;
    m_EarlyDataConnection = False;
    const Long closeCount = m_CloseCount;
    if (m_DataPhase == 2) {
        if (m_Cmd == u"RETR") {
            if (m_FileCode != u"BIN" && !m_GetRemainder.empty()) {
                std::string converted = ConvertDownload();
                // At the end of the data nothing can complete a cut character: its bytes
                // are handed on as they are instead of being lost.
                converted += m_GetRemainder;
                m_GetRemainder.clear();
                ByteArray bytes(converted.begin(), converted.end());
                Raise([&](tarselEvents& s) { s.GetData(bytes); });
            }
            if (closeCount == m_CloseCount) Raise([](tarselEvents& s) { s.GetClose(); });
        } else if (m_Cmd == u"STOR" || m_Cmd == u"APPE") {
            Raise([](tarselEvents& s) { s.PutClose(); });
        } else if (m_Cmd == u"LIST" || m_Cmd == u"NLST") {
            // When the control connection's close is what closes this one, the listing loop
            // may still hold complete lines that the host has not seen; the unfinished tail
            // would reach the host ahead of them, so it is dropped with the connection.
            if (!m_DirBuffer.empty() && !m_FtpCommand.empty()) {
                String line = ConvertListingLine(m_DirBuffer);
                m_DirBuffer.clear();
                Raise([&](tarselEvents& s) { s.DirData(line); });
            }
            m_DirBuffer.clear();
            if (closeCount == m_CloseCount) Raise([](tarselEvents& s) { s.DirClose(); });
        }
    }
    if (m_DataPhase == 0) return;
    // No operation can end on a control connection that has closed (also while that close
    // is what closes this data connection).
    if (closeCount != m_CloseCount || m_FtpCommand.empty()) {
        m_DataPhase = 0;
        return;
    }
    if (!m_DoneReply.empty()) {
        const String name = m_FtpCommand;
        const String text = m_DoneReply.size() > 4 ? m_DoneReply.substr(4) : String();
        BeginOperation(u"DONE");
        m_Idle = True;
        StartNoopTimer();
        // Cleared before the event: the host may start its next transfer from CommandDone,
        // and a kept reply must never complete a later operation.
        m_DataPhase = 0;
        m_DoneReply.clear();
        Raise([&](tarselEvents& s) { s.CommandDone(0, name, text); });
    } else {
        m_DataPhase = 3;
    }
}

void tarsel::Soquet3_OnError(Long number, const String& text1, const String& text2) {
    Raise([&](tarselEvents& s) { s.TransError(number, text1, text2); });
}

void tarsel::Soquet3_OnDiagnostic(const String& text) { RaiseDiagnostic(u"---Soquet3:", text); }

}  // namespace tarselctl
