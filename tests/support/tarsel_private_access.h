// White-box access to the control's private state, for the unit tests that must set up a
// state no public call can reach. The pure operations are free functions in their own
// headers (command/split_text.h, transfer/data_address_text.h) and are tested there.
#pragma once

#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include <tarsel/tarsel.h>

#include "control/control_core.h"

namespace tarselctl {

/// Friend of the control and of its core. Accessors return references, so a test may also set up a state
/// directly; forwarding functions reach the private operations.
struct tarselInspector {
    static ControlCore& Core(tarsel& c) { return *c.m_Core; }
    static const ControlCore& Core(const tarsel& c) { return *c.m_Core; }

    // ---- member state
    static Long& NoopCountdown(tarsel& c) { return Core(c).m_NoopCountdown; }
    static Long& TimeoutKind(tarsel& c) { return Core(c).m_TimeoutKind; }
    static Long& TimeoutCountdown(tarsel& c) { return Core(c).m_TimeoutCountdown; }
    static Long& DataPhase(tarsel& c) { return Core(c).m_DataPhase; }
    static Long& PutReady(tarsel& c) { return Core(c).m_PutReady; }
    static String Cmd(tarsel& c) { return Core(c).LastCommand(); }
    static Boolean& InPreCommand(tarsel& c) { return Core(c).m_Op.inPreCommands; }
    static String& ReplyBuffer(tarsel& c) { return Core(c).m_ReplyBuffer; }
    static String& SendPending(tarsel& c) { return Core(c).m_SendPending; }
    static std::string& DirBuffer(tarsel& c) { return Core(c).m_Carry.dirBuffer; }
    static std::string& GetRemainder(tarsel& c) { return Core(c).m_Carry.getRemainder; }
    /// The command queue as text: each line, and the control's own steps by name.
    static std::deque<String> Queue(const tarsel& c) {
        std::deque<String> out;
        for (const auto& step : Core(c).m_Op.queue) out.push_back(StepText(step.kind, step.line));
        return out;
    }
    /// Replaces the queue; "<end of pre-commands>" and "<active-mode set-up>" stand for
    /// those steps.
    static void SetQueue(tarsel& c, std::initializer_list<String> steps) {
        Core(c).m_Op.queue.clear();
        for (const String& text : steps) PushQueue(c, text);
    }
    static void PushQueue(tarsel& c, const String& text) {
        using Kind = ControlCore::QueuedStep::Kind;
        auto& queue = Core(c).m_Op.queue;
        if (text == StepText(Kind::EndOfPreCommands, {})) queue.push_back({Kind::EndOfPreCommands, {}});
        else if (text == StepText(Kind::ActiveModeSetup, {})) queue.push_back({Kind::ActiveModeSetup, {}});
        else queue.push_back({Kind::Line, text});
    }
    /// Characters of the lines waiting in the queue.
    static std::size_t QueuedChars(const tarsel& c) {
        std::size_t n = 0;
        for (const auto& step : Core(c).m_Op.queue) n += step.line.size();
        return n;
    }
    static String StepText(ControlCore::QueuedStep::Kind kind, const String& line) {
        using Kind = ControlCore::QueuedStep::Kind;
        return kind == Kind::EndOfPreCommands  ? String(u"<end of pre-commands>")
               : kind == Kind::ActiveModeSetup ? String(u"<active-mode set-up>")
                                               : line;
    }
    /// Events the control has posted, and of those the ones taken out for delivery so far.
    static std::uint64_t EventsPosted(const tarsel& c) { return Core(c).m_EventsPosted; }
    static std::uint64_t EventsDelivered(const tarsel& c) { return Core(c).m_EventsDelivered; }
};

}  // namespace tarselctl
