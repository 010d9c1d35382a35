// The command queue and the sender of command lines on the control connection.
#include "control/control_core.h"

#include "components/unfailing_calls.h"

#include "control/step.h"

namespace tarselctl {

void ControlCore::RunningOperation::Begin(Operation next) {
    kind = next;
    queue.clear();
    inPreCommands = False;
    doneReply.clear();
    abortRefusal.clear();
    abortedBeforeTransfer = False;
    earlyDataConnection = False;
    pasvHost.clear();
    pasvPort.clear();
    typeSent.clear();
}

void ControlCore::BeginOperation(Operation operation) {
    StopNoopTimer();
    // Transfer events are heard from here until the operation's CommandDone.
    if (m_Gate != EventGate::Disconnected) m_Gate = EventGate::Operation;
    m_Op.Begin(operation);
    // A host operation begun in the grace after QUIT's answer takes the connection as it is.
    SetState(Dialogue::Busy);
}

void ControlCore::FinishOperation() {
    StopNoopTimer();
    m_Op.queue.clear();
    SetState(Dialogue::Finishing);
}

void ControlCore::QueueCommand(const String& line) { m_Op.queue.push_back(QueuedStep{QueuedStep::Kind::Line, line}); }

void ControlCore::QueueCommandFirst(const String& line) {
    m_Op.queue.push_front(QueuedStep{QueuedStep::Kind::Line, line});
}

void ControlCore::QueueStep(QueuedStep::Kind kind) { m_Op.queue.push_back(QueuedStep{kind, String()}); }

void ControlCore::SendNextCommand() {
    while (!m_Op.queue.empty()) {
        QueuedStep step = std::move(m_Op.queue.front());
        m_Op.queue.pop_front();
        if (step.kind == QueuedStep::Kind::EndOfPreCommands) {
            // Nothing goes to the server for it.
            m_Op.inPreCommands = False;
            continue;
        }
        if (step.kind == QueuedStep::Kind::ActiveModeSetup) {
            SendDataCommand(std::move(step));
            return;
        }
        String text;
        const Word word = WordOf(step.line, &text);
        SetSent(word, text);
        if (word == Word::Type) {
            // Until the answer says otherwise the server may be in either type.
            m_TypeInForce.clear();
            m_Op.typeSent = step.line.size() > 5 ? step.line.substr(5) : String();
            for (char16_t& c : m_Op.typeSent)
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        }
        if (word == Word::Pasv || IsTransfer(word)) {
            // Lines that set up or use a data connection are sent by the data connection,
            // which prepares itself around them.
            SendDataCommand(std::move(step));
            return;
        }
        TraceAndSendLine(step.line, word == Word::Pass ? String(u"PASS ***") : step.line);
        return;
    }
}

bool ControlCore::TransferCommandIsNext() const {
    return !m_Op.queue.empty() && m_Op.queue.front().kind == QueuedStep::Kind::Line &&
           IsTransfer(WordOf(m_Op.queue.front().line));
}

void ControlCore::TraceAndSendLine(const String& line, const String& traceText) {
    RaiseTrace(OperationText() + u">>" + traceText);
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
