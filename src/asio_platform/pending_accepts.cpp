#include "asio_platform/pending_accepts.h"

#include <limits>

namespace tarselctl {

Long PendingAccepts::Add(asio::ip::tcp::socket socket, std::uint64_t listenerKey) {
    // Ids stay positive and are not reused while a request with the same id still waits.
    do {
        lastId_ = lastId_ == std::numeric_limits<Long>::max() ? 1 : lastId_ + 1;
    } while (waiting_.count(lastId_) != 0);
    asio::error_code ec;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(ec);
    const asio::ip::address peer = ec ? asio::ip::address() : remote.address();
    waiting_.emplace(lastId_, Waiting{std::move(socket), listenerKey, peer});
    return lastId_;
}

std::optional<asio::ip::address> PendingAccepts::Peer(Long requestId,
                                                      std::uint64_t listenerKey) const {
    const auto it = waiting_.find(requestId);
    if (it == waiting_.end() || it->second.listenerKey != listenerKey) return std::nullopt;
    return it->second.peer;
}

std::optional<asio::ip::tcp::socket> PendingAccepts::Take(Long requestId) {
    auto it = waiting_.find(requestId);
    if (it == waiting_.end()) return std::nullopt;
    std::optional<asio::ip::tcp::socket> socket(std::move(it->second.socket));
    waiting_.erase(it);
    return socket;
}

void PendingAccepts::Drop(Long requestId) { waiting_.erase(requestId); }

void PendingAccepts::DropListener(std::uint64_t listenerKey) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->second.listenerKey == listenerKey && it->first != announcing_) {
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tarselctl
