#include "posix_platform/name_resolver.h"

#include <netinet/in.h>
#include <sys/time.h>

#include <cstring>
#include <mutex>

#include <ares.h>

namespace tarselctl {

class NameResolver::SocketHandler final : public ReadyHandler {
public:
    explicit SocketHandler(NameResolver& owner) : owner_(owner) {}
    void OnReady(int fd, bool readable, bool writable) override {
        owner_.Process(readable ? fd : ARES_SOCKET_BAD, writable ? fd : ARES_SOCKET_BAD);
    }

private:
    NameResolver& owner_;
};

NameResolver::~NameResolver() {
    if (channel_ == nullptr) return;
    destroying_ = true;
    pending_.clear();
    if (timeoutArmed_) reactor_.Cancel(timeout_);
    // Every lookup still running ends here, in OnResult, with ARES_EDESTRUCTION.
    ares_destroy(channel_);
}

bool NameResolver::Open(std::string& error) {
    if (channel_ != nullptr) return true;
    static std::once_flag initialised;
    static int initStatus = ARES_SUCCESS;
    std::call_once(initialised, [] { initStatus = ares_library_init(ARES_LIB_INIT_ALL); });
    if (initStatus != ARES_SUCCESS) {
        error = ares_strerror(initStatus);
        return false;
    }
    ares_options options{};
    options.sock_state_cb = &NameResolver::OnSocketState;
    options.sock_state_cb_data = this;
    const int status = ares_init_options(&channel_, &options, ARES_OPT_SOCK_STATE_CB);
    if (status != ARES_SUCCESS) {
        channel_ = nullptr;
        error = ares_strerror(status);
        return false;
    }
    handler_ = std::make_shared<SocketHandler>(*this);
    return true;
}

std::uint64_t NameResolver::Resolve(const std::string& host, std::uint16_t port, Done done) {
    const std::uint64_t id = ++lastId_;
    std::string error;
    if (!Open(error)) {
        reactor_.Defer([done = std::move(done), error] { done(ARES_ENOTINITIALIZED, error, {}); });
        return id;
    }
    pending_.emplace(id, std::move(done));
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    // The result may come inside this call (a name from the hosts file): OnResult defers it.
    ares_getaddrinfo(channel_, host.c_str(), service.c_str(), &hints, &NameResolver::OnResult,
                     new Tag{this, id});
    SyncTimeout();
    return id;
}

void NameResolver::OnSocketState(void* data, int fd, int readable, int writable) {
    auto* self = static_cast<NameResolver*>(data);
    if (self->destroying_) return;
    if (!readable && !writable) {
        self->reactor_.Forget(fd);
        return;
    }
    const WatchFor directions = readable && writable ? WatchFor::ReadWrite
                                : readable           ? WatchFor::Read
                                                     : WatchFor::Write;
    self->reactor_.Watch(fd, self->handler_, directions);
}

void NameResolver::OnResult(void* arg, int status, int, ::ares_addrinfo* result) {
    std::unique_ptr<Tag> tag(static_cast<Tag*>(arg));
    NameResolver& self = *tag->resolver;
    std::vector<sockaddr_storage> endpoints;
    if (status == ARES_SUCCESS && result != nullptr) {
        for (const ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
            if (node->ai_addr == nullptr || node->ai_addrlen > sizeof(sockaddr_storage)) continue;
            sockaddr_storage endpoint{};
            std::memcpy(&endpoint, node->ai_addr, node->ai_addrlen);
            endpoints.push_back(endpoint);
        }
    }
    if (result != nullptr) ares_freeaddrinfo(result);
    if (self.destroying_) return;
    const auto it = self.pending_.find(tag->id);
    if (it == self.pending_.end()) return;
    Done done = std::move(it->second);
    self.pending_.erase(it);
    if (status == ARES_SUCCESS && endpoints.empty()) status = ARES_ENODATA;
    const std::string text = ares_strerror(status);
    // Never inside a c-ares call: the handler may start another lookup or destroy us.
    self.reactor_.Defer([done = std::move(done), status, text, endpoints = std::move(endpoints)] {
        done(status, text, endpoints);
    });
}

void NameResolver::Process(int readFd, int writeFd) {
    ares_process_fd(channel_, readFd, writeFd);
    SyncTimeout();
}

void NameResolver::SyncTimeout() {
    if (timeoutArmed_) reactor_.Cancel(timeout_);
    timeoutArmed_ = false;
    timeval left{};
    if (ares_timeout(channel_, nullptr, &left) == nullptr) return;
    const auto wait = std::chrono::seconds(left.tv_sec) + std::chrono::microseconds(left.tv_usec);
    timeoutArmed_ = true;
    timeout_ = reactor_.At(Reactor::Clock::now() + wait, [this] {
        timeoutArmed_ = false;
        Process(ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    });
}

}  // namespace tarselctl
