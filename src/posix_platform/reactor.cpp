#include "posix_platform/reactor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tarselctl {

namespace {

class WakeHandler final : public ReadyHandler {
public:
    explicit WakeHandler(std::function<void()> onWake) : onWake_(std::move(onWake)) {}
    void OnReady(int, bool, bool) override { onWake_(); }

private:
    std::function<void()> onWake_;
};

}  // namespace

Reactor::Reactor(LoopHost& host) : host_(host) {}

Reactor::~Reactor() {
    for (const auto& [fd, watched] : watches_)
        if (watched.directions != WatchFor::None) host_.WatchDescriptor(fd, WatchFor::None);
    if (armed_) host_.SetTimer(-1);
    // Handlers (connections closing in the background) close their descriptors as they go.
    auto watches = std::move(watches_);
    watches.clear();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

Reactor::Turn::~Turn() {
    if (--r_.depth_ > 0) return;
    ++r_.depth_;
    // Deferred work may make deadlines due and due deadlines may defer work: both run until
    // neither has any, so nothing due is left to a 0 ms timer.
    for (;;) {
        while (!r_.deferred_.empty()) {
            std::function<void()> work = std::move(r_.deferred_.front());
            r_.deferred_.pop_front();
            work();
        }
        const bool due = !r_.deadlines_.empty() && r_.deadlines_.begin()->first.first <= Clock::now();
        if (!due) break;
        r_.RunDueDeadlines();
    }
    --r_.depth_;
    r_.SyncTimer();
}

void Reactor::Watch(int fd, std::shared_ptr<ReadyHandler> handler, WatchFor directions) {
    Watched& w = watches_[fd];
    w.handler = std::move(handler);
    if (w.directions != directions) {
        w.directions = directions;
        host_.WatchDescriptor(fd, directions);
    }
}

void Reactor::Rewatch(int fd, WatchFor directions) {
    const auto it = watches_.find(fd);
    if (it == watches_.end() || it->second.directions == directions) return;
    it->second.directions = directions;
    host_.WatchDescriptor(fd, directions);
}

void Reactor::Forget(int fd) {
    const auto it = watches_.find(fd);
    if (it == watches_.end()) return;
    if (it->second.directions != WatchFor::None) host_.WatchDescriptor(fd, WatchFor::None);
    // The handler may be the one running now: Ready holds a copy of it until it returns.
    watches_.erase(it);
}

Reactor::TimerId Reactor::At(Clock::time_point when, std::function<void()> work) {
    const TimerId id = ++lastId_;
    deadlines_.emplace(std::make_pair(when, id), std::move(work));
    deadlineIds_.emplace(id, when);
    if (depth_ == 0) SyncTimer();
    return id;
}

void Reactor::Cancel(TimerId id) {
    const auto it = deadlineIds_.find(id);
    if (it == deadlineIds_.end()) return;
    deadlines_.erase(std::make_pair(it->second, id));
    deadlineIds_.erase(it);
    if (depth_ == 0) SyncTimer();
}

void Reactor::Defer(std::function<void()> work) {
    deferred_.push_back(std::move(work));
    if (depth_ == 0) Wake();
}

void Reactor::Ready(int fd, bool readable, bool writable) {
    Turn turn(*this);
    const auto it = watches_.find(fd);
    if (it == watches_.end()) return;
    // A copy: the handler may forget its own descriptor while it runs.
    std::shared_ptr<ReadyHandler> handler = it->second.handler;
    const WatchFor wanted = it->second.directions;
    readable = readable && (static_cast<int>(wanted) & static_cast<int>(WatchFor::Read));
    writable = writable && (static_cast<int>(wanted) & static_cast<int>(WatchFor::Write));
    if (handler && (readable || writable)) handler->OnReady(fd, readable, writable);
}

void Reactor::Due() {
    Turn turn(*this);
    // The host armed its timer for a deadline it no longer has to keep.
    armed_ = false;
    RunDueDeadlines();
}

void Reactor::RunDueDeadlines() {
    const Clock::time_point now = Clock::now();
    const TimerId newest = lastId_;
    // One at a time: a deadline's work may cancel another that is due too (a timer handler
    // that destroys another timer). Deadlines added meanwhile wait for the next round.
    for (auto it = deadlines_.begin(); it != deadlines_.end() && it->first.first <= now;) {
        if (it->first.second > newest) {
            ++it;
            continue;
        }
        auto node = deadlines_.extract(it);
        deadlineIds_.erase(node.key().second);
        node.mapped()();
        it = deadlines_.begin();
    }
}

void Reactor::SyncTimer() {
    if (deadlines_.empty()) {
        if (armed_) host_.SetTimer(-1);
        armed_ = false;
        return;
    }
    const Clock::time_point earliest = deadlines_.begin()->first.first;
    if (armed_ && armedFor_ == earliest) return;
    const auto left = earliest - Clock::now();
    // Rounded up, and never 0: a host's timer that fires early only costs another arming.
    long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    if (ms < 1) ms = 1;
    armed_ = true;
    armedFor_ = earliest;
    host_.SetTimer(ms);
}

void Reactor::Wake() {
    if (wakePending_) return;
    if (wakeFd_ < 0) {
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) return;
        wakeHandler_ = std::make_shared<WakeHandler>([this] { OnWake(); });
        Watch(wakeFd_, wakeHandler_, WatchFor::Read);
    }
    const std::uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) == sizeof one) wakePending_ = true;
}

void Reactor::OnWake() {
    std::uint64_t count = 0;
    if (::read(wakeFd_, &count, sizeof count) < 0) {}
    wakePending_ = false;
    // The deferred work runs as this turn ends.
}

}  // namespace tarselctl
