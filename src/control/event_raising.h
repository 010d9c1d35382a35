// Raising the control's events to every advised sink.
#pragma once

#include <tarsel/tarsel.h>

namespace tarselctl {

// Events run synchronously, one sink after another. A handler may advise or unadvise sinks,
// so the cookies are taken first and each sink is looked up again before it is called.
//
// An exception that leaves a handler stops at this boundary: the control is in the middle of
// its own work (a read's remaining lines, a transfer's close), which must go on for the
// events the host sees to stay whole, and the other sinks still get the event. It is not
// lost: the platform hands it back to the host once the control's step is over.
template <class F>
void tarsel::Raise(F&& call) {
    if (m_Sinks.size() == 1) {
        try {
            call(*m_Sinks.begin()->second);
        } catch (...) {
            m_Platform.ReportHandlerException(std::current_exception());
        }
        return;
    }
    std::vector<Long> cookies;
    cookies.reserve(m_Sinks.size());
    for (const auto& entry : m_Sinks) cookies.push_back(entry.first);
    for (Long cookie : cookies) {
        auto it = m_Sinks.find(cookie);
        if (it == m_Sinks.end()) continue;
        try {
            call(*it->second);
        } catch (...) {
            m_Platform.ReportHandlerException(std::current_exception());
        }
    }
}

}  // namespace tarselctl
