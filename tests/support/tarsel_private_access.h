// White-box access to the control's private state, for the unit tests that must set up a
// state no public call can reach. The pure operations are free functions in their own
// headers (command/split_text.h, transfer/data_address_text.h) and are tested there.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include <tarsel/tarsel.h>

namespace tarselctl {

/// Friend of the control. Accessors return references, so a test may also set up a state
/// directly; forwarding functions reach the private operations.
struct tarselInspector {
    // ---- member state
    static Long& NoopCountdown(tarsel& c) { return c.m_NoopCountdown; }
    static Long& TimeoutKind(tarsel& c) { return c.m_TimeoutKind; }
    static Long& TimeoutCountdown(tarsel& c) { return c.m_TimeoutCountdown; }
    static Long& DataPhase(tarsel& c) { return c.m_DataPhase; }
    static Long& PutReady(tarsel& c) { return c.m_PutReady; }
    static String& Cmd(tarsel& c) { return c.m_Cmd; }
    static Boolean& InPreCommand(tarsel& c) { return c.m_InPreCommand; }
    static String& ReplyBuffer(tarsel& c) { return c.m_ReplyBuffer; }
    static String& SendPending(tarsel& c) { return c.m_SendPending; }
    static std::string& DirBuffer(tarsel& c) { return c.m_DirBuffer; }
    static std::string& GetRemainder(tarsel& c) { return c.m_GetRemainder; }
    static std::deque<String>& Queue(tarsel& c) { return c.m_Queue; }
    /// Events the control has posted, and of those the ones taken out for delivery so far.
    static std::uint64_t EventsPosted(const tarsel& c) { return c.m_EventsPosted; }
    static std::uint64_t EventsDelivered(const tarsel& c) { return c.m_EventsDelivered; }
};

}  // namespace tarselctl
