#include "posix_platform/fd_accepts.h"

#include <unistd.h>

#include <limits>

namespace tarselctl {

FdAccepts::~FdAccepts() {
    for (const auto& [id, waiting] : waiting_) ::close(waiting.fd);
}

Long FdAccepts::Add(int fd, std::uint64_t listenerKey, const sockaddr_storage& peer) {
    do {
        lastId_ = lastId_ == std::numeric_limits<Long>::max() ? 1 : lastId_ + 1;
    } while (waiting_.count(lastId_) != 0);
    waiting_.emplace(lastId_, Waiting{fd, listenerKey, peer});
    return lastId_;
}

std::optional<sockaddr_storage> FdAccepts::Peer(Long requestId, std::uint64_t listenerKey) const {
    const auto it = waiting_.find(requestId);
    if (it == waiting_.end() || it->second.listenerKey != listenerKey) return std::nullopt;
    return it->second.peer;
}

int FdAccepts::Take(Long requestId) {
    const auto it = waiting_.find(requestId);
    if (it == waiting_.end()) return -1;
    const int fd = it->second.fd;
    waiting_.erase(it);
    return fd;
}

void FdAccepts::Drop(Long requestId) {
    const int fd = Take(requestId);
    if (fd >= 0) ::close(fd);
}

void FdAccepts::DropListener(std::uint64_t listenerKey) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->second.listenerKey == listenerKey && it->first != announcing_) {
            ::close(it->second.fd);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tarselctl
