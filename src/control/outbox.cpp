// The outbox: events wait here until the outermost step delivers them.
#include "control/control_core.h"

namespace tarselctl {

void ControlCore::Raise(EventKind kind, std::function<void(tarselEvents&)> event, std::function<void()> then) {
    // The two order rules hold here, whatever path raised the event: a connection says
    // nothing after DisConnected (a Connect begins the next one), and a transfer says nothing
    // once its operation's CommandDone is out.
    if (m_DisConnectedPosted) return;
    if (kind == EventKind::Transfer && !m_OperationOpen) return;
    if (kind == EventKind::CommandDone) m_OperationOpen = false;
    if (kind == EventKind::DisConnected) {
        m_DisConnectedPosted = true;
        m_OperationOpen = false;
    }
    m_Outbox.push_back(OutboxEntry{std::move(event), std::move(then)});
    ++m_EventsPosted;
}

// Events run one sink after another. A handler may advise or unadvise sinks, so the cookies
// are taken first and each sink is looked up again before it is called.
//
// An exception that leaves a handler stops at this boundary: the other sinks still get the
// event and the events behind it still come. It is not lost: the platform hands it back to
// the host once the control's step is over.
void ControlCore::CallSinks(const std::function<void(tarselEvents&)>& event) noexcept {
    if (m_Sinks.size() == 1) {
        try {
            event(*m_Sinks.begin()->second);
        } catch (...) {
            m_Platform.ReportHandlerException(std::current_exception());
        }
        return;
    }
    std::vector<Long> cookies;
    try {
        cookies.reserve(m_Sinks.size());
        for (const auto& entry : m_Sinks) cookies.push_back(entry.first);
    } catch (...) {
        return;
    }
    for (Long cookie : cookies) {
        auto it = m_Sinks.find(cookie);
        if (it == m_Sinks.end()) continue;
        try {
            event(*it->second);
        } catch (...) {
            m_Platform.ReportHandlerException(std::current_exception());
        }
    }
}

void ControlCore::DeliverOutbox() noexcept {
    // Handlers append to the outbox while it is read (their calls are nested steps), so
    // entries are moved out by index: the vector may grow under the loop.
    while (m_OutboxNext < m_Outbox.size()) {
        OutboxEntry entry = std::move(m_Outbox[m_OutboxNext++]);
        ++m_EventsDelivered;
        if (entry.event) CallSinks(entry.event);
        if (entry.then) {
            try {
                entry.then();
            } catch (...) {
            }
        }
    }
    // An idle session keeps no outbox at all: a thousand of them would otherwise each hold
    // the capacity of their busiest step.
    std::vector<OutboxEntry>().swap(m_Outbox);
    m_OutboxNext = 0;
}

}  // namespace tarselctl
