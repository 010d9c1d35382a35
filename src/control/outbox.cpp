// The outbox: events wait here until the outermost step delivers them.
#include "control/control_core.h"

namespace tarselctl {

namespace {
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// An outbox that grew past this in one step gives its storage back when the step ends; a
// smaller one is kept while an operation runs, so that a steady transfer posts its events
// into the same storage every time.
constexpr std::size_t kKeptOutbox = 16;
}  // namespace

void ControlCore::Raise(OutboxEvent event) {
    // The two order rules hold here, whatever path raised the event: a connection says
    // nothing after DisConnected (a Connect begins the next one), and a transfer says nothing
    // once its operation's CommandDone is out.
    if (m_Gate == EventGate::Disconnected) return;
    if (std::holds_alternative<outbox::DisConnected>(event)) {
        m_Gate = EventGate::Disconnected;
    } else if (std::holds_alternative<outbox::CommandDone>(event)) {
        m_Gate = EventGate::NoOperation;
    } else if (!std::holds_alternative<outbox::Trace>(event) && !std::holds_alternative<outbox::Connected>(event) &&
               m_Gate != EventGate::Operation) {
        return;
    }
    m_Outbox.push_back(std::move(event));
    ++m_EventsPosted;
}

// Events run one sink after another. A handler may advise or unadvise sinks, so the cookies
// are taken first and each sink is looked up again before it is called.
//
// An exception that leaves a handler stops at this boundary: the other sinks still get the
// event and the events behind it still come. It is not lost: the platform hands it back to
// the host once the control's step is over.
template <class F>
void ControlCore::CallSinks(F&& call) noexcept {
    if (m_Sinks.size() == 1) {
        try {
            call(*m_Sinks.begin()->second);
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
            call(*it->second);
        } catch (...) {
            m_Platform.ReportHandlerException(std::current_exception());
        }
    }
}

void ControlCore::Deliver(OutboxEvent& event) noexcept {
    std::visit(
        Overloaded{
            [&](outbox::Trace& e) { CallSinks([&](tarselEvents& s) { s.Trace(e.msg); }); },
            [&](outbox::Connected&) { CallSinks([](tarselEvents& s) { s.Connected(); }); },
            [&](outbox::CommandDone& e) { CallSinks([&](tarselEvents& s) { s.CommandDone(e.code, e.name, e.text); }); },
            [&](outbox::DisConnected& e) { CallSinks([&](tarselEvents& s) { s.DisConnected(e.code, e.msg); }); },
            [&](outbox::TransError& e) {
                CallSinks([&](tarselEvents& s) { s.TransError(e.code, e.description, e.where); });
            },
            [&](outbox::GetOpen& e) { CallSinks([&](tarselEvents& s) { s.GetOpen(e.file); }); },
            [&](outbox::PutOpen& e) { CallSinks([&](tarselEvents& s) { s.PutOpen(e.file); }); },
            [&](outbox::DirOpen&) { CallSinks([](tarselEvents& s) { s.DirOpen(); }); },
            [&](outbox::GetData& e) {
                CallSinks([&](tarselEvents& s) { s.GetData(e.bytes); });
                // The platform's read buffer is still there when this step is its event's own:
                // the storage the host leaves becomes the next read's buffer.
                if (e.recycle != nullptr && e.recycle->capacity() == 0) e.recycle->swap(e.bytes);
            },
            [&](outbox::PutData& e) {
                // A question about an upload that has ended meanwhile is not asked, and a block
                // left for it is not sent.
                CallSinks([&](tarselEvents& s) {
                    if (IsCurrent(e.upload)) s.PutData(e.data);
                });
                try {
                    if (IsCurrent(e.upload)) SendUploadBlock(e.data);
                } catch (...) {
                }
            },
            [&](outbox::DirData& e) { CallSinks([&](tarselEvents& s) { s.DirData(e.text); }); },
            [&](outbox::GetClose&) { CallSinks([](tarselEvents& s) { s.GetClose(); }); },
            [&](outbox::PutClose&) { CallSinks([](tarselEvents& s) { s.PutClose(); }); },
            [&](outbox::DirClose&) { CallSinks([](tarselEvents& s) { s.DirClose(); }); },
        },
        event);
}

void ControlCore::DeliverOutbox() noexcept {
    // Handlers append to the outbox while it is read (their calls are nested steps), so
    // entries are moved out by index: the vector may grow under the loop.
    while (m_OutboxNext < m_Outbox.size()) {
        OutboxEvent event = std::move(m_Outbox[m_OutboxNext++]);
        ++m_EventsDelivered;
        Deliver(event);
    }
    m_Outbox.clear();
    m_OutboxNext = 0;
    // An idle session keeps no outbox at all: a thousand of them would otherwise each hold
    // the capacity of their busiest step.
    if (m_Outbox.capacity() > kKeptOutbox || m_State == Dialogue::Closed || Idle())
        std::vector<OutboxEvent>().swap(m_Outbox);
}

}  // namespace tarselctl
