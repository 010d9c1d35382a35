// The loops the real-socket tests run on: an Asio io_context that runs the test's peers and,
// for the POSIX platform, one of its loops (epoll, libuv, GLib, Qt) beside it, both driven by
// one bounded runner so that a failure cannot hang.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QTimer>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/loops/epoll_loop.h>
#include <tarsel/loops/glib_loop.h>
#include <tarsel/loops/libuv_loop.h>
#include <tarsel/loops/qt_loop.h>
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

/// The POSIX platform on a libuv loop of its own.
struct LibuvLoops final : TestLoops {
    LibuvLoops() {
        uv_loop_init(&loop);
        platform = std::make_unique<LibuvPlatform>(&loop);
        // Bounds each turn of the loop, so that the test's peers get their turns too.
        uv_timer_init(&loop, &tick);
        uv_timer_start(&tick, [](uv_timer_t*) {}, 1, 1);
    }
    ~LibuvLoops() override {
        platform.reset();
        uv_close(reinterpret_cast<uv_handle_t*>(&tick), nullptr);
        uv_run(&loop, UV_RUN_DEFAULT);
        uv_loop_close(&loop);
    }
    tarselctl::Platform& Platform() override { return *platform; }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (io.stopped()) io.restart();
            io.poll();
            uv_run(&loop, UV_RUN_ONCE);
        }
        return done();
    }

    uv_loop_t loop;
    uv_timer_t tick;
    std::unique_ptr<LibuvPlatform> platform;
};

/// The POSIX platform on a GLib main context of its own.
struct GlibLoops final : TestLoops {
    GlibLoops() : context(g_main_context_new()), platform(std::make_unique<GlibPlatform>(context)) {
        tick = g_timeout_source_new(1);
        g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
        g_source_attach(tick, context);
    }
    ~GlibLoops() override {
        platform.reset();
        g_source_destroy(tick);
        g_source_unref(tick);
        g_main_context_unref(context);
    }
    tarselctl::Platform& Platform() override { return *platform; }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (io.stopped()) io.restart();
            io.poll();
            g_main_context_iteration(context, TRUE);
        }
        return done();
    }

    GMainContext* context;
    GSource* tick = nullptr;
    std::unique_ptr<GlibPlatform> platform;
};

/// The POSIX platform on the Qt event loop of the test's main thread.
struct QtLoops final : TestLoops {
    QtLoops() {
        platform = std::make_unique<QtPlatform>();
        // Bounds each turn of the loop, so that the test's peers get their turns too.
        tick.start(1);
    }
    ~QtLoops() override {
        platform.reset();
        tick.stop();
    }
    tarselctl::Platform& Platform() override { return *platform; }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (io.stopped()) io.restart();
            io.poll();
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return done();
    }

    /// One application object per process, made by the first test that needs it (before any
    /// Qt object of the test's); it lives on to the end of the process.
    static bool MakeApplication() {
        static int argc = 1;
        static char name[] = "tarsel_unit_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
        return true;
    }

    bool application = MakeApplication();
    QTimer tick;
    std::unique_ptr<QtPlatform> platform;
};

/// "Asio", "PosixEpoll", "PosixLibuv", "PosixGlib" or "PosixQt".
inline std::unique_ptr<TestLoops> MakeTestLoops(const std::string& name) {
    if (name == "Asio") return std::make_unique<AsioLoops>();
    if (name == "PosixQt") return std::make_unique<QtLoops>();
    if (name == "PosixLibuv") return std::make_unique<LibuvLoops>();
    if (name == "PosixGlib") return std::make_unique<GlibLoops>();
    return std::make_unique<PosixLoops>();
}

}  // namespace tarselctl::testing
