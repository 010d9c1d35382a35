// The loops the real-socket tests run on: an Asio io_context that runs the test's peers and,
// for the POSIX platform, the epoll loop beside it, both driven by one bounded runner so that
// a failure cannot hang.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/loops/epoll_loop.h>
#include <tarsel/posix_platform.h>

#include "asio_platform/loopback.h"

namespace tarselctl::testing {

/// A platform under test and the io_context of the test's own peers.
struct TestLoops {
    virtual ~TestLoops() = default;
    asio::io_context io;
    virtual tarselctl::Platform& Platform() = 0;
    /// Runs the loops until `done` holds or `limit` passes; returns `done()`.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return Run(done, limit);
    }
    virtual bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit) = 0;
};

/// The Asio platform: the peers and the sockets share the one io_context.
struct AsioLoops final : TestLoops {
    AsioPlatform platform{io};
    tarselctl::Platform& Platform() override { return platform; }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit) override {
        return testing::RunUntil(io, done, limit);
    }
};

/// The POSIX platform on the epoll loop.
struct PosixLoops final : TestLoops {
    EpollLoop loop;
    PosixPlatform platform{loop};
    tarselctl::Platform& Platform() override { return platform; }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (io.stopped()) io.restart();
            io.poll();
            loop.RunOnce(platform, std::chrono::milliseconds(1));
        }
        return done();
    }
};

/// "Asio" or "PosixEpoll".
inline std::unique_ptr<TestLoops> MakeTestLoops(const std::string& name) {
    if (name == "Asio") return std::make_unique<AsioLoops>();
    return std::make_unique<PosixLoops>();
}

}  // namespace tarselctl::testing
