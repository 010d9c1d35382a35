// Makes the n-th call into the fake platform's components fail, so that a test can sweep an
// operation through every point where a socket, timer or converter may let it down.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <tarsel/codawa.h>
#include <tarsel/platform.h>
#include <tarsel/soquet.h>

namespace tarselctl {

class FakeSoquet;
class FakeTimer;

/// The shared counter. Disarmed, it only counts. Armed with n, the n-th counted call from
/// then on fails, once. Which calls count depends on the mode:
///  - Mode::Throw: the calls that do work and may refuse it: the socket's ConnectTo, Listen,
///    ListenAt, Accept and Send, and every converter call. The failing one raises
///    AutomationError (number kInjectedError) without reaching the component.
///  - Mode::ThrowAnywhere: every call, also those whose contracts promise no error
///    (property reads and writes, CloseSocket, SetupPhase, the timers' switches); the
///    wiring calls SetEvents and SetTickHandler excepted. For a control that stays sound
///    even when a component breaks its word.
///  - Mode::Report: the socket calls that start network work: ConnectTo, Accept, Send,
///    Listen, ListenAt. ConnectTo and Accept go ahead and their connection then fails; a
///    Send is lost and its connection fails; either way the socket later reports OnError
///    and then OnClosed, posted to `posted` as a real socket reports them from the event
///    loop. A listen can only fail from the call, so Listen and ListenAt raise.
class FailCount {
public:
    enum class Mode { Throw, ThrowAnywhere, Report };
    /// What a call does, which decides in which modes it counts.
    enum class Call { Network, Work, Other };
    static constexpr Long kInjectedError = 10099;

    /// `posted` is the event loop's queue, where reported failures wait until the test runs it.
    explicit FailCount(std::deque<std::function<void()>>& posted) : posted_(posted) {}

    /// From now on, the n-th counted call fails (n >= 1); the count starts over.
    void Arm(std::size_t n, Mode mode);
    /// No call fails any more; the count and `fired` stay for inspection.
    void Disarm() { failAt_ = 0; }

    /// Counts one call of `what` ("Soquet3.Send") if it counts in the mode; true when it is
    /// the one that must fail.
    bool Fails(const std::string& what, Call call);

    Mode mode() const { return mode_; }
    /// Calls counted since the last Arm.
    std::size_t calls = 0;
    /// The armed call came, and which it was.
    bool fired = false;
    std::string firedAt;

    /// Queues work for the event loop (reported failures).
    void Post(std::function<void()> work) { posted_.push_back(std::move(work)); }

private:
    std::deque<std::function<void()>>& posted_;
    std::size_t failAt_ = 0;
    Mode mode_ = Mode::Throw;
};

/// The decorators the platform hands out while failures are injected: each forwards every
/// call to the fake it wraps unless the counter says that call fails.
std::unique_ptr<Soquet> WithFailures(std::unique_ptr<FakeSoquet> soquet, FailCount& count);
std::unique_ptr<Timer> WithFailures(std::unique_ptr<FakeTimer> timer, FailCount& count);
std::unique_ptr<Codawa> WithFailures(std::unique_ptr<Codawa> codawa, std::string name,
                                     FailCount& count);

}  // namespace tarselctl
