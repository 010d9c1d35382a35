// Descriptors, deadlines and deferred work of one PosixPlatform, on the host's loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

#include <tarsel/posix_platform.h>

namespace tarselctl {

/// Something that waits on a descriptor.
class ReadyHandler {
public:
    virtual ~ReadyHandler() = default;
    virtual void OnReady(int fd, bool readable, bool writable) = 0;
};

/// Multiplexes what the platform's parts wait for onto the host's descriptor watches and
/// its one timer.
///
///  - Each watched descriptor has one handler, held (strongly) until Forget: a connection
///    closing in the background lives as long as its descriptor is watched.
///  - Deadlines of every timer share the host's timer, armed for the earliest only and only
///    when that changes. Due deadlines run inside TimerDue, never through a 0 ms timer.
///  - Deferred work ("later, but in this turn") runs when the outermost host call returns.
///    Deferred outside a host call, it is announced through an eventfd the host watches.
class Reactor {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    explicit Reactor(LoopHost& host);
    ~Reactor();
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    /// Watches `fd` for `directions` with `handler`; the host is told only of changes.
    void Watch(int fd, std::shared_ptr<ReadyHandler> handler, WatchFor directions);
    /// Changes the directions of a watched descriptor.
    void Rewatch(int fd, WatchFor directions);
    /// Stops watching `fd` and drops its handler; call before closing it.
    void Forget(int fd);

    /// Runs `work` at `when` (in a TimerDue, or at the end of the turn when already due).
    TimerId At(Clock::time_point when, std::function<void()> work);
    void Cancel(TimerId id);

    /// Runs `work` before the current host call returns, or soon after this call when
    /// there is no host call under way.
    void Defer(std::function<void()> work);

    void Ready(int fd, bool readable, bool writable);
    void Due();

    /// Descriptors watched now (for tests and measurements).
    std::size_t WatchCount() const { return watches_.size(); }

private:
    /// Marks a host call in progress; the outermost one finishes the turn on leaving.
    class Turn {
    public:
        explicit Turn(Reactor& r) : r_(r) { ++r_.depth_; }
        ~Turn();
    private:
        Reactor& r_;
    };

    struct Watched {
        std::shared_ptr<ReadyHandler> handler;
        WatchFor directions = WatchFor::None;
    };

    void RunDueDeadlines();
    /// Tells the host of the earliest deadline when it changed.
    void SyncTimer();
    void Wake();
    void OnWake();

    LoopHost& host_;
    std::unordered_map<int, Watched> watches_;
    std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> deadlines_;
    std::unordered_map<TimerId, Clock::time_point> deadlineIds_;
    TimerId lastId_ = 0;
    /// The deadline the host's timer is armed for; none when disarmed.
    bool armed_ = false;
    Clock::time_point armedFor_{};
    std::deque<std::function<void()>> deferred_;
    int depth_ = 0;
    int wakeFd_ = -1;
    bool wakePending_ = false;
    std::shared_ptr<ReadyHandler> wakeHandler_;
};

}  // namespace tarselctl
