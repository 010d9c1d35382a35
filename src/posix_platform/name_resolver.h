// Name resolution that neither blocks nor uses a thread: c-ares on the host's loop.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "posix_platform/reactor.h"

struct ares_channeldata;
struct ares_addrinfo;

namespace tarselctl {

/// Resolves host names to TCP endpoints with c-ares, whose sockets and time-outs the reactor
/// watches like any other. One channel serves every socket of a platform; it is made on the
/// first lookup, so a host that connects to numeric addresses never starts one.
class NameResolver {
public:
    /// The outcome: a c-ares status (0 when found) with its text, and the addresses found.
    using Done = std::function<void(int status, const std::string& text,
                                    std::vector<sockaddr_storage> endpoints)>;

    explicit NameResolver(Reactor& reactor) : reactor_(reactor) {}
    ~NameResolver();
    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;

    /// Starts a lookup of `host` for `port`. `done` runs later (deferred on the reactor, never
    /// inside this call) unless the lookup is cancelled first. Returns its id.
    std::uint64_t Resolve(const std::string& host, std::uint16_t port, Done done);
    /// `done` of lookup `id` will not run.
    void Cancel(std::uint64_t id) { pending_.erase(id); }

private:
    struct Tag {
        NameResolver* resolver;
        std::uint64_t id;
    };
    class SocketHandler;

    bool Open(std::string& error);
    static void OnSocketState(void* data, int fd, int readable, int writable);
    static void OnResult(void* arg, int status, int timeouts, ::ares_addrinfo* result);
    void Process(int readFd, int writeFd);
    /// Arms the reactor for c-ares's next time-out.
    void SyncTimeout();

    Reactor& reactor_;
    ares_channeldata* channel_ = nullptr;
    std::shared_ptr<SocketHandler> handler_;
    std::unordered_map<std::uint64_t, Done> pending_;
    std::uint64_t lastId_ = 0;
    bool timeoutArmed_ = false;
    Reactor::TimerId timeout_ = 0;
    bool destroying_ = false;
};

}  // namespace tarselctl
