// Connections a listener has accepted and announced, waiting for another socket to take them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include <asio/ip/tcp.hpp>

#include <tarsel/types.h>

namespace tarselctl {

/// The registry behind OnAcceptRequest / Accept, shared by every socket of one platform.
///
/// A listener parks each accepted connection here under a fresh request id and announces the
/// id; any socket of the same platform may take the connection with Accept(id). A connection
/// nobody takes does not linger: the listener drops it at the end of the loop turn that
/// announced it, and closing the listener drops every one of its requests except the one
/// whose announcement is running (the usual host closes the listener first and then accepts,
/// both inside the announcement). Dropping closes the connection, so the peer sees it end.
/// Used only on the event-loop thread.
class PendingAccepts {
public:
    /// A key that tells one listener's requests from another's.
    std::uint64_t NewListenerKey() noexcept { return ++lastListenerKey_; }

    /// Parks `socket` for the listener `listenerKey`; returns its request id (1 or more). The
    /// peer's address is noted now: a peer that resets before the request is looked at has
    /// none to ask the socket for any more.
    Long Add(asio::ip::tcp::socket socket, std::uint64_t listenerKey);
    /// The peer address of a request of the listener `listenerKey` still waiting; none when
    /// the id is unknown, taken, dropped or another listener's.
    std::optional<asio::ip::address> Peer(Long requestId, std::uint64_t listenerKey) const;
    /// Hands the connection of `requestId` over, removing it; none when the id is unknown.
    std::optional<asio::ip::tcp::socket> Take(Long requestId);
    /// Closes the connection of `requestId` if nobody took it yet.
    void Drop(Long requestId);
    /// Closes every waiting connection of the listener, except the one being announced.
    void DropListener(std::uint64_t listenerKey);

    /// Marks `requestId` as being announced for as long as the guard lives.
    class Announcement {
    public:
        Announcement(PendingAccepts& registry, Long requestId) noexcept
            : registry_(registry), previous_(registry.announcing_) {
            registry_.announcing_ = requestId;
        }
        ~Announcement() { registry_.announcing_ = previous_; }
        Announcement(const Announcement&) = delete;
        Announcement& operator=(const Announcement&) = delete;

    private:
        PendingAccepts& registry_;
        Long previous_;
    };

    std::size_t size() const noexcept { return waiting_.size(); }

private:
    struct Waiting {
        asio::ip::tcp::socket socket;
        std::uint64_t listenerKey;
        /// Unspecified when the socket could not tell.
        asio::ip::address peer;
    };
    std::map<Long, Waiting> waiting_;
    Long lastId_ = 0;
    Long announcing_ = 0;
    std::uint64_t lastListenerKey_ = 0;
};

}  // namespace tarselctl
