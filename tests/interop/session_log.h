// The events of a control's session with a real server, as readable lines, for the interop
// tests (which link only the library, not the unit tests' support code).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <tarsel/tarsel.h>

namespace tarselctl {

/// Records connection-level events, one line each, in the form the unit tests use:
///   Trace(Connect>>USER anonymous)   Connected   CommandDone(0,Connect,Login successful.)
///   DisConnected(0,)
/// Diagnostic traces (text beginning "---") are left out: they depend on addresses and timing.
class SessionLog : public tarselEvents {
public:
    std::vector<std::string> events;

    void Clear() { events.clear(); }

    std::vector<std::string> NonTraceEvents() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.rfind("Trace(", 0) != 0) out.push_back(e);
        return out;
    }

    std::size_t Count(const std::string& prefix) const {
        return std::count_if(events.begin(), events.end(),
                             [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }

    void Trace(const String& msg) override {
        if (msg.rfind(u"---", 0) != 0) events.push_back("Trace(" + ToUtf8(msg) + ")");
    }
    void Connected() override { events.push_back("Connected"); }
    void DisConnected(Long code, const String& msg) override {
        events.push_back("DisConnected(" + std::to_string(code) + "," + ToUtf8(msg) + ")");
    }
    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override {
        events.push_back("CommandDone(" + std::to_string(code) + "," + ToUtf8(FtpCommand) + "," +
                         ToUtf8(msg) + ")");
    }
    void TransError(Long Ecode, const String& Description, const String& Where) override {
        events.push_back("TransError(" + std::to_string(Ecode) + "," + ToUtf8(Description) + "," +
                         ToUtf8(Where) + ")");
    }
};

}  // namespace tarselctl
