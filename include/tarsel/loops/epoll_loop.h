// A minimal event loop of the library's own, on Linux epoll, for hosts that have none.
#pragma once

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <tarsel/posix_platform.h>

namespace tarselctl {

/// Drives a PosixPlatform with epoll (level-triggered) and one deadline:
///
///     EpollLoop loop;
///     PosixPlatform platform(loop);
///     tarsel control(platform);
///     ... control.Connect(...);
///     while (!done) loop.RunOnce(platform, std::chrono::milliseconds(100));
class EpollLoop final : public LoopHost {
public:
    EpollLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    }
    ~EpollLoop() override { ::close(epoll_); }
    EpollLoop(const EpollLoop&) = delete;
    EpollLoop& operator=(const EpollLoop&) = delete;

    void WatchDescriptor(int fd, WatchFor directions) override {
        const auto it = watched_.find(fd);
        if (directions == WatchFor::None) {
            if (it == watched_.end()) return;
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            watched_.erase(it);
            // An event of this batch for the descriptor is stale now (its number may be
            // reused by the next socket before the batch is through).
            dropped_.push_back(fd);
            return;
        }
        epoll_event event{};
        event.data.fd = fd;
        event.events = (directions == WatchFor::Write ? 0u : unsigned(EPOLLIN)) |
                       (directions == WatchFor::Read ? 0u : unsigned(EPOLLOUT));
        if (it == watched_.end()) {
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
            watched_.emplace(fd, directions);
        } else {
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
            it->second = directions;
        }
    }

    void SetTimer(long long milliseconds) override {
        armed_ = milliseconds >= 0;
        if (armed_) due_ = Clock::now() + std::chrono::milliseconds(milliseconds);
    }

    /// Waits at most `limit` for descriptors or the timer, and hands what came to `platform`.
    /// Returns false when nothing came.
    bool RunOnce(PosixPlatform& platform, std::chrono::milliseconds limit) {
        auto wait = limit;
        if (armed_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - Clock::now());
            wait = std::clamp(left, std::chrono::milliseconds(0), limit);
        }
        epoll_event events[64];
        const int n = ::epoll_wait(epoll_, events, 64, static_cast<int>(wait.count()));
        dropped_.clear();
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (std::find(dropped_.begin(), dropped_.end(), fd) != dropped_.end()) continue;
            const unsigned got = events[i].events;
            const bool failed = got & (EPOLLERR | EPOLLHUP);
            platform.DescriptorReady(fd, failed || (got & (EPOLLIN | EPOLLRDHUP)),
                                     failed || (got & EPOLLOUT));
        }
        const bool due = armed_ && Clock::now() >= due_;
        if (due) {
            armed_ = false;
            platform.TimerDue();
        }
        return n > 0 || due;
    }

    /// Descriptors watched now.
    std::size_t WatchCount() const { return watched_.size(); }

private:
    using Clock = std::chrono::steady_clock;
    int epoll_;
    std::unordered_map<int, WatchFor> watched_;
    std::vector<int> dropped_;
    bool armed_ = false;
    Clock::time_point due_{};
};

}  // namespace tarselctl
