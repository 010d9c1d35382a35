// What the POSIX platform promises its host's loop: descriptors are given up before they are
// closed, the one timer is never asked for 0 ms, and work left for later outside the host's
// calls is announced through a descriptor. Also name resolution with c-ares.
#include <fcntl.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <tarsel/loops/epoll_loop.h>
#include <tarsel/posix_platform.h>

#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

using namespace std::chrono_literals;

/// The epoll loop, with a record of what the platform asked of it.
class RecordingHost final : public LoopHost {
public:
    void WatchDescriptor(int fd, WatchFor directions) override {
        if (directions == WatchFor::None && ::fcntl(fd, F_GETFD) == -1) ++closedBeforeNone;
        if (directions == WatchFor::None)
            watched.erase(fd);
        else
            watched[fd] = directions;
        loop.WatchDescriptor(fd, directions);
    }
    void SetTimer(long long milliseconds) override {
        timers.push_back(milliseconds);
        loop.SetTimer(milliseconds);
    }

    EpollLoop loop;
    std::map<int, WatchFor> watched;
    std::vector<long long> timers;
    int closedBeforeNone = 0;
};

class PosixPlatformHost : public ::testing::Test {
protected:
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (io.stopped()) io.restart();
            io.poll();
            host.loop.RunOnce(platform, 1ms);
        }
        return done();
    }

    asio::io_context io;
    RecordingHost host;
    PosixPlatform platform{host};
};

TEST_F(PosixPlatformHost, DescriptorsAreGivenUpBeforeTheyCloseAndNoneStaysWatched) {
    LoopbackPeer peer(io);
    RecordingSink sink;
    auto listener = platform.CreateSoquet();
    auto data = platform.CreateSoquet();
    auto client = platform.CreateSoquet();
    RecordingSink listenerSink, dataSink;
    listener->SetEvents(&listenerSink);
    data->SetEvents(&dataSink);
    client->SetEvents(&sink);

    // A connection that carries bytes both ways, and an accepted one.
    client->ConnectTo(u"127.0.0.1", peer.Port(), u"0");
    ASSERT_TRUE(RunUntil([&] { return sink.Has("connected") && peer.Connected(); }));
    client->Send("hello");
    peer.Drain();
    peer.Send("reply", false);
    ASSERT_TRUE(RunUntil([&] { return sink.received == "reply" && peer.incoming == "hello"; }));
    listener->ListenAt(u"127.0.0.1", u"0");
    listenerSink.onAcceptRequest = [&](Long id) {
        listener->CloseSocket();
        data->Accept(id);
    };
    asio::ip::tcp::socket other(io);
    other.async_connect({asio::ip::address_v4::loopback(),
                         static_cast<unsigned short>(listener->get_LocalPort())},
                        [](const asio::error_code&) {});
    ASSERT_TRUE(RunUntil([&] { return dataSink.Has("connected"); }));

    client->CloseSocket();
    data->CloseSocket();
    peer.socket->close();
    RunUntil([] { return false; }, 50ms);
    EXPECT_EQ(host.closedBeforeNone, 0) << "a descriptor was closed while still watched";
    // What may stay: the platform's own wake-up descriptor.
    EXPECT_LE(host.watched.size(), 1u);
    for (const auto& [fd, directions] : host.watched) EXPECT_EQ(directions, WatchFor::Read);
}

TEST_F(PosixPlatformHost, WorkLeftOutsideTheLoopsCallsArrivesThroughADescriptorNeverA0msTimer) {
    LoopbackPeer peer(io);
    auto listener = platform.CreateSoquet();
    auto data = platform.CreateSoquet();
    RecordingSink listenerSink, dataSink;
    listener->SetEvents(&listenerSink);
    data->SetEvents(&dataSink);
    listener->ListenAt(u"127.0.0.1", u"0");
    asio::ip::tcp::socket other(io);
    other.async_connect({asio::ip::address_v4::loopback(),
                         static_cast<unsigned short>(listener->get_LocalPort())},
                        [](const asio::error_code&) {});
    // Not taken inside the announcement: it is closed as that turn ends, so a later Accept
    // (a host taking it from a button press) finds nothing.
    Long id = 0;
    listenerSink.onAcceptRequest = [&](Long request) { id = request; };
    ASSERT_TRUE(RunUntil([&] { return id != 0; }));
    auto late = platform.CreateSoquet();
    RecordingSink lateSink;
    late->SetEvents(&lateSink);
    late->Accept(id);
    EXPECT_TRUE(lateSink.log.empty()) << "the request was closed at the end of its turn";

    // A name from the hosts file: c-ares answers inside its call, the platform defers it.
    auto named = platform.CreateSoquet();
    RecordingSink namedSink;
    named->SetEvents(&namedSink);
    named->ConnectTo(u"localhost", peer.Port(), u"0");
    EXPECT_TRUE(namedSink.log.empty());
    ASSERT_TRUE(RunUntil([&] { return namedSink.Has("connected"); }));
    EXPECT_EQ(named->get_LocalAddress(), 0x7F000001) << "IPv4 addresses are tried first";
    // The lookup's answer was left for later outside any call of the loop's; it came through
    // the platform's wake-up descriptor, not a 0 ms timer.
    for (const long long ms : host.timers) EXPECT_NE(ms, 0);
}

TEST_F(PosixPlatformHost, TimersShareTheHostsOneTimerAndMayDestroyEachOtherWhenDueTogether) {
    std::unique_ptr<Timer> first = platform.CreateTimer();
    std::unique_ptr<Timer> second = platform.CreateTimer();
    int firstTicks = 0, secondTicks = 0;
    first->SetTickHandler([&] {
        ++firstTicks;
        // Both are due in this turn; the second must not tick after it is gone.
        second.reset();
    });
    second->SetTickHandler([&] { ++secondTicks; });
    first->put_Interval(30);
    second->put_Interval(30);
    first->put_Enabled(true);
    second->put_Enabled(true);
    ASSERT_FALSE(host.timers.empty());
    EXPECT_GE(host.timers.back(), 1);
    ASSERT_TRUE(RunUntil([&] { return firstTicks + secondTicks >= 1; }));
    RunUntil([] { return false; }, 20ms);
    // The first was armed first, so it runs first, and the second is gone before its turn.
    EXPECT_GE(firstTicks, 1);
    EXPECT_EQ(secondTicks, 0);
    EXPECT_EQ(second, nullptr);
    first->put_Enabled(false);
    if (second) second->put_Enabled(false);
    EXPECT_EQ(host.timers.back(), -1) << "no timer left armed";
    for (const long long ms : host.timers) EXPECT_NE(ms, 0);
}

}  // namespace
}  // namespace tarselctl::testing
