// The command queue and the sender of command lines on the control connection.
#include "control/control_core.h"

#include "components/unfailing_calls.h"

#include "control/step.h"

namespace tarselctl {

bool ControlCore::IsTransferWord(const String& word) {
    return word == u"RETR" || word == u"APPE" || word == u"STOR" || word == u"LIST" ||
           word == u"NLST" || word == u"MLSD";
}

String ControlCore::CommandWord(const String& line) {
    String word = line.substr(0, 4);
    std::size_t first = word.find_first_not_of(u' ');
    if (first == String::npos) return String();
    std::size_t last = word.find_last_not_of(u' ');
    word = word.substr(first, last - first + 1);
    for (char16_t& c : word)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return word;
}

void ControlCore::BeginOperation(const String& name) {
    StopNoopTimer();
    m_FtpCommand = name;
    // "DONE" is the end of an operation, whose close events and CommandDone are still due.
    if (name != u"DONE") {
        m_OperationOpen = true;
        // A host operation begun in the grace after QUIT's answer takes the connection as
        // it is.
        m_EndingDialogue = False;
    }
    m_Idle = False;
    m_Queue.clear();
}

void ControlCore::QueueCommand(const String& line) { m_Queue.push_back(QueuedStep{QueuedStep::Kind::Line, line}); }

void ControlCore::QueueCommandFirst(const String& line) { m_Queue.push_front(QueuedStep{QueuedStep::Kind::Line, line}); }

void ControlCore::QueueStep(QueuedStep::Kind kind) { m_Queue.push_back(QueuedStep{kind, String()}); }

void ControlCore::SendNextCommand() {
    while (!m_Queue.empty()) {
        QueuedStep step = std::move(m_Queue.front());
        m_Queue.pop_front();
        if (step.kind == QueuedStep::Kind::EndOfPreCommands) {
            // Nothing goes to the server for it.
            m_InPreCommand = False;
            continue;
        }
        if (step.kind == QueuedStep::Kind::ActiveModeSetup) {
            SendDataCommand(std::move(step));
            return;
        }
        m_Cmd = CommandWord(step.line);
        if (m_Cmd == u"TYPE") {
            // Until the answer says otherwise the server may be in either type.
            m_TypeInForce.clear();
            m_TypeSent = step.line.size() > 5 ? step.line.substr(5) : String();
            for (char16_t& c : m_TypeSent)
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        }
        if (m_Cmd == u"PASV" || IsTransferWord(m_Cmd)) {
            // Lines that set up or use a data connection are sent by the data connection,
            // which prepares itself around them.
            SendDataCommand(std::move(step));
            return;
        }
        TraceAndSendLine(step.line, m_Cmd == u"PASS" ? String(u"PASS ***") : step.line);
        return;
    }
}

bool ControlCore::TransferCommandIsNext() const {
    return !m_Queue.empty() && m_Queue.front().kind == QueuedStep::Kind::Line &&
           IsTransferWord(CommandWord(m_Queue.front().line));
}

void ControlCore::TraceAndSendLine(const String& line, const String& traceText) {
    RaiseTrace(m_FtpCommand + u">>" + traceText);
    SendLine(line);
}

void ControlCore::SendLine(const String& text) {
    // Every line sent is answered: from here a reply is due.
    StartReplyTimer(m_ReplyTimeout);
    SendRaw(text + u"\r\n");
}

void ControlCore::SendRaw(const String& text) {
    String buffer = m_SendPending + text;
    m_SendPending.clear();
    if (Soquet1->get_SendReady() != False) {
        Soquet1->Send(EncodeCommandText(buffer));
    } else {
        m_SendPending = std::move(buffer);
    }
}

void ControlCore::Soquet1_OnSendDone() {
    if (m_SendPending.empty()) return;
    String text = std::move(m_SendPending);
    m_SendPending.clear();
    // Held-back lines are converted by the same rule as lines sent at once, so an EUC
    // server never receives Shift_JIS file names.
    std::string bytes;
    try {
        bytes = EncodeCommandText(text);
    } catch (...) {
    }
    try {
        Soquet1->Send(bytes);
    } catch (...) {
    }
}

}  // namespace tarselctl
