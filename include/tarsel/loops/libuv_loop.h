// The control on a libuv loop: uv_poll for the descriptors, one uv_timer for the timer.
#pragma once

#include <uv.h>

#include <unordered_map>

#include <tarsel/posix_platform.h>

namespace tarselctl {

/// The loop's side of a LibuvPlatform; a host does not use it directly.
class LibuvHost : public LoopHost {
public:
    explicit LibuvHost(uv_loop_t* loop) : loop_(loop), timer_(new uv_timer_t) {
        uv_timer_init(loop_, timer_);
        timer_->data = this;
    }
    ~LibuvHost() override {
        // Handles are freed once the loop has run their close callbacks.
        for (auto& [fd, poll] : polls_) Close(poll);
        uv_close(reinterpret_cast<uv_handle_t*>(timer_), [](uv_handle_t* h) {
            delete reinterpret_cast<uv_timer_t*>(h);
        });
    }
    LibuvHost(const LibuvHost&) = delete;
    LibuvHost& operator=(const LibuvHost&) = delete;

    void WatchDescriptor(int fd, WatchFor directions) override {
        auto it = polls_.find(fd);
        if (directions == WatchFor::None) {
            if (it == polls_.end()) return;
            // Stopped at once, before the platform closes the descriptor.
            Close(it->second);
            polls_.erase(it);
            return;
        }
        if (it == polls_.end()) {
            auto* poll = new Poll{};
            poll->fd = fd;
            poll->host = this;
            uv_poll_init_socket(loop_, &poll->handle, fd);
            poll->handle.data = poll;
            it = polls_.emplace(fd, poll).first;
        }
        const int events = (directions == WatchFor::Write ? 0 : UV_READABLE) |
                           (directions == WatchFor::Read ? 0 : UV_WRITABLE);
        uv_poll_start(&it->second->handle, events, &LibuvHost::OnPoll);
    }

    void SetTimer(long long milliseconds) override {
        uv_timer_stop(timer_);
        if (milliseconds >= 0)
            uv_timer_start(timer_, &LibuvHost::OnTimer, static_cast<uint64_t>(milliseconds), 0);
    }

protected:
    virtual PosixPlatform& Platform() = 0;

private:
    struct Poll {
        uv_poll_t handle;
        int fd;
        LibuvHost* host;
    };

    static void Close(Poll* poll) {
        uv_poll_stop(&poll->handle);
        uv_close(reinterpret_cast<uv_handle_t*>(&poll->handle),
                 [](uv_handle_t* h) { delete static_cast<Poll*>(h->data); });
    }
    static void OnPoll(uv_poll_t* handle, int status, int events) {
        auto* poll = static_cast<Poll*>(handle->data);
        const bool failed = status < 0;
        poll->host->Platform().DescriptorReady(
            poll->fd, failed || (events & (UV_READABLE | UV_DISCONNECT)),
            failed || (events & UV_WRITABLE));
    }
    static void OnTimer(uv_timer_t* timer) {
        static_cast<LibuvHost*>(timer->data)->Platform().TimerDue();
    }

    uv_loop_t* loop_;
    uv_timer_t* timer_;
    std::unordered_map<int, Poll*> polls_;
};

/// A PosixPlatform whose loop is `loop`: create the control with it and run the loop as
/// usual (uv_run). Every event of the control is raised inside libuv's callbacks.
class LibuvPlatform final : private LibuvHost, public PosixPlatform {
public:
    explicit LibuvPlatform(uv_loop_t* loop)
        : LibuvHost(loop), PosixPlatform(static_cast<LibuvHost&>(*this)) {}

private:
    PosixPlatform& Platform() override { return *this; }
};

}  // namespace tarselctl
