// What every socket and timer of one PosixPlatform shares.
#pragma once

#include <memory>

#include "asio_platform/shared_read_buffer.h"
#include "posix_platform/fd_accepts.h"
#include "posix_platform/name_resolver.h"
#include "posix_platform/reactor.h"

namespace tarselctl {

/// Shared by the platform object and everything it created, so that sockets may outlive it.
/// The reactor is declared first: the resolver and the accepts go before it.
struct PosixServices {
    explicit PosixServices(LoopHost& host)
        : reactor(std::make_shared<Reactor>(host)), resolver(*reactor) {}
    std::shared_ptr<Reactor> reactor;
    NameResolver resolver;
    FdAccepts accepts;
    /// Every plain connection reads into this one buffer (see SharedReadBuffer).
    SharedReadBuffer reads;
};

}  // namespace tarselctl
