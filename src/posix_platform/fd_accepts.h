// Accepted connections of the platform's listeners, waiting for a socket to take them.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <optional>

#include <tarsel/types.h>

namespace tarselctl {

/// The registry behind OnAcceptRequest / Accept for descriptors, with the same rules as the
/// Asio platform's PendingAccepts: each request has a fresh positive id; any socket of the
/// platform may take it; one nobody takes is closed at the end of the turn that announced it;
/// closing a listener closes its waiting requests except the one being announced.
class FdAccepts {
public:
    ~FdAccepts();
    std::uint64_t NewListenerKey() noexcept { return ++lastListenerKey_; }
    /// Parks `fd` (owned from here on) with the peer address noted at accept time.
    Long Add(int fd, std::uint64_t listenerKey, const sockaddr_storage& peer);
    std::optional<sockaddr_storage> Peer(Long requestId, std::uint64_t listenerKey) const;
    /// Hands the descriptor over (the caller owns it); -1 when the id is unknown.
    int Take(Long requestId);
    void Drop(Long requestId);
    void DropListener(std::uint64_t listenerKey);

    /// Marks `requestId` as being announced for as long as the guard lives.
    class Announcement {
    public:
        Announcement(FdAccepts& registry, Long requestId) noexcept
            : registry_(registry), previous_(registry.announcing_) {
            registry_.announcing_ = requestId;
        }
        ~Announcement() { registry_.announcing_ = previous_; }
        Announcement(const Announcement&) = delete;
        Announcement& operator=(const Announcement&) = delete;

    private:
        FdAccepts& registry_;
        Long previous_;
    };

private:
    struct Waiting {
        int fd;
        std::uint64_t listenerKey;
        sockaddr_storage peer;
    };
    std::map<Long, Waiting> waiting_;
    Long lastId_ = 0;
    Long announcing_ = 0;
    std::uint64_t lastListenerKey_ = 0;
};

}  // namespace tarselctl
