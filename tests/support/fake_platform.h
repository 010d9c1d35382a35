// The host platform of the unit tests: hands the control scripted sockets and timers and
// keeps hold of them so a test can drive them.
#pragma once

#include <exception>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/platform.h>

#include "support/fail_count.h"
#include "support/fake_codawa.h"
#include "support/fake_soquet.h"
#include "support/fake_timer.h"

namespace tarselctl {

/// Platform that records every component it creates, in creation order. The control creates
/// Soquet1, Soquet2, Soquet3, Codawa1, Codawa2, Timer1, Timer2, so `soquets[0]` is the
/// control connection, `timers[0]` the keep-alive timer and `timers[1]` the time-out timer.
///
/// The recorded pointers observe components the control owns. When a component is destroyed
/// its slot becomes nullptr (for a real converter, which has no hook, the slot is left as
/// is: do not use `codawas` after the control is gone). The platform must outlive every
/// control created on it.
class FakePlatform final : public Platform {
public:
    /// Which converter CreateCodawa hands out when no `codawaFactory` is set.
    enum class CodawaKind { Real, Fake };

    explicit FakePlatform(CodawaKind kind = CodawaKind::Real) : codawaKind(kind) {}
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    std::unique_ptr<Soquet> CreateSoquet() override;
    std::unique_ptr<Codawa> CreateCodawa() override;
    std::unique_ptr<Timer> CreateTimer() override;
    void ShowMessageBox(const String& text) override { messages.push_back(text); }
    void ReportHandlerException(std::exception_ptr error) override { handlerExceptions.push_back(error); }
    Long UnitsPerPixelX() const override { return unitsPerPixelX; }
    Long UnitsPerPixelY() const override { return unitsPerPixelY; }

    // ---- configuration
    CodawaKind codawaKind;
    /// When set, CreateCodawa hands out what this returns, whatever `codawaKind` says.
    std::function<std::unique_ptr<Codawa>()> codawaFactory;
    Long unitsPerPixelX = 15;
    Long unitsPerPixelY = 15;

    // ---- what was created and shown
    /// Named "Soquet1", "Soquet2", ... in creation order.
    std::vector<FakeSoquet*> soquets;
    std::vector<Codawa*> codawas;
    /// Named "Timer1", "Timer2", ... in creation order.
    std::vector<FakeTimer*> timers;
    /// Texts of the message boxes shown, in order.
    std::vector<String> messages;
    /// Exceptions that left the host's handlers, as the control handed them over.
    std::vector<std::exception_ptr> handlerExceptions;
    /// The call log shared by all sockets, e.g. "Soquet1.ConnectTo(ftp.example,21,0)".
    std::vector<std::string> calls;

    /// `codawas[index]` if it is a FakeCodawa, else nullptr.
    FakeCodawa* fakeCodawa(std::size_t index) const;

    // ---- failure injection and the event loop
    /// When true, components created from then on are handed out behind `failures`, which
    /// then counts their calls and fails the one it is armed for. The recorded pointers
    /// above still reach the fakes themselves.
    bool injectFailures = false;
    /// Work a real platform's event loop would run later: socket failures reported after
    /// the call that caused them, and whatever a test's scripted peer queues.
    std::deque<std::function<void()>> posted;
    FailCount failures{posted};
    /// Runs the oldest queued work; false when there was none.
    bool RunPosted();
};

}  // namespace tarselctl
