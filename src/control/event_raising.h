// Raising the control's events to every advised sink.
#pragma once

#include <tarsel/tarsel.h>

namespace tarselctl {

// Events run synchronously, one sink after another. A handler may advise or unadvise sinks,
// so the cookies are taken first and each sink is looked up again before it is called.
template <class F>
void tarsel::Raise(F&& call) {
    if (m_Sinks.size() == 1) {
        call(*m_Sinks.begin()->second);
        return;
    }
    std::vector<Long> cookies;
    cookies.reserve(m_Sinks.size());
    for (const auto& entry : m_Sinks) cookies.push_back(entry.first);
    for (Long cookie : cookies) {
        auto it = m_Sinks.find(cookie);
        if (it != m_Sinks.end()) call(*it->second);
    }
}

}  // namespace tarselctl
