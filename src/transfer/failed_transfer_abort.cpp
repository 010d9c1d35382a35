// ABOR after a data connection that failed once its transfer command was out. RFC 959 has the
// server answer ABOR with 226 (or 225), after a 426 (or 425) that ends the transfer command
// when the transfer was under way: the operation ends at the 2xx, with the refusal before it
// when one came, so that no answer of the exchange is left to be read as another command's.
#include "control/control_core.h"

#include "command/reply_lines.h"

namespace tarselctl {

void ControlCore::AbortFailedTransfer() {
    SetState(Dialogue::Aborting);
    m_Op.abortRefusal.clear();
    m_Op.queue.clear();
    SetSent(Word::Abor);
    TraceAndSendLine(u"ABOR", u"ABOR");
    StartReplyTimer(m_ReplyTimeout > 0 && m_ReplyTimeout < kGraceTicks ? m_ReplyTimeout : kGraceTicks);
}

void ControlCore::AbortReply(const String& line) {
    const char16_t first = line[0];
    if (first == u'3') {
        EndDialogue(kDialogueBroken, u"unexpected reply: " + line);
        return;
    }
    String& refusal = m_Op.abortRefusal;
    if (first != u'2' && refusal.empty()) {
        // The transfer command's answer, as a rule; ABOR's own is still due.
        refusal = line;
        return;
    }
    const String decisive = refusal.empty() ? line : refusal;
    // No data connection served the transfer: whatever the server answers, it failed.
    const Integer code = refusal.empty() ? -1 : ReplyCode(refusal);
    SetDataPhase(kNoTransfer);
    EndOperation(code, ReplyText(decisive), false);
}

void ControlCore::AbortGraceOver() {
    if (const String refusal = m_Op.abortRefusal; !refusal.empty()) {
        // One answer came: the transfer's end. The server had nothing more to say on ABOR.
        SetDataPhase(kNoTransfer);
        EndOperation(ReplyCode(refusal), ReplyText(refusal), false);
        return;
    }
    // Silence: the server is not answering, and a late answer would be taken for another
    // command's.
    EndDialogue(-1, u"reply timeout(timer)");
}

}  // namespace tarselctl
