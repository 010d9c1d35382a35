// The Asio socket closed or destroyed from inside its own events and with operations pending.
// Meant to run under AddressSanitizer: a handler touching a freed socket shows there.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

class AsioSoquetLifetime : public ::testing::Test {
protected:
    asio::io_context io;
    AsioPlatform platform{io};
    RecordingSink sink;
    std::unique_ptr<Soquet> soquet = platform.CreateSoquet();
    LoopbackPeer peer{io};

    void SetUp() override { soquet->SetEvents(&sink); }

    void Connect() {
        soquet->ConnectTo(u"127.0.0.1", peer.Port(), u"0");
        ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("connected") && peer.Connected(); }));
    }
};

TEST_F(AsioSoquetLifetime, CloseInsideReceivedStopsFurtherReads) {
    Connect();
    sink.onReceived = [&](std::string& data) {
        data.clear();  // the handler may consume the buffer
        soquet->CloseSocket();
        EXPECT_EQ(sink.log.back(), "closed");
    };
    peer.Send(Pattern(4 << 20, 10), false);
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    RunFor(io, std::chrono::milliseconds(100));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "received", "closed"}));
}

TEST_F(AsioSoquetLifetime, ReceiveBufferKeptByTheHandlerIsNotReused) {
    Connect();
    std::vector<std::string> kept;
    sink.onReceived = [&](std::string& data) { kept.push_back(std::move(data)); };
    const std::string down = Pattern(2 << 20, 11);
    peer.Send(down, true);
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    std::string joined;
    for (const auto& part : kept) joined += part;
    EXPECT_TRUE(joined == down);
}

TEST_F(AsioSoquetLifetime, DestroyInsideEachEventIsSafe) {
    // Connected
    sink.onConnected = [&] { soquet.reset(); };
    Connect();
    RunFor(io, std::chrono::milliseconds(30));
    EXPECT_EQ(sink.log, std::vector<std::string>{"connected"});

    // Received, with more data still coming
    LoopbackPeer second(io);
    soquet = platform.CreateSoquet();
    soquet->SetEvents(&sink);
    sink = RecordingSink{};
    sink.onReceived = [&](std::string&) { soquet.reset(); };
    soquet->ConnectTo(u"127.0.0.1", second.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return second.Connected(); }));
    second.Send(Pattern(4 << 20, 12), false);
    ASSERT_TRUE(RunUntil(io, [&] { return !soquet; }));
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_EQ(sink.Count("received"), 1u);

    // SendDone, with another send queued behind
    LoopbackPeer third(io);
    soquet = platform.CreateSoquet();
    sink = RecordingSink{};
    soquet->SetEvents(&sink);
    sink.onSendDone = [&] { soquet.reset(); };
    soquet->ConnectTo(u"127.0.0.1", third.Port(), u"0");
    soquet->Send("first");
    soquet->Send(Pattern(8 << 20, 13));
    ASSERT_TRUE(RunUntil(io, [&] { return !soquet; }));
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "senddone"}));

    // Error: the Closed that would follow is not raised on the destroyed socket
    soquet = platform.CreateSoquet();
    sink = RecordingSink{};
    soquet->SetEvents(&sink);
    sink.onError = [&] { soquet.reset(); };
    soquet->ConnectTo(u"127.0.0.1", ClosedPort(io), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return !soquet; }));
    RunFor(io, std::chrono::milliseconds(30));
    EXPECT_EQ(sink.log, std::vector<std::string>{"error"});

    // Closed, raised inside CloseSocket
    soquet = platform.CreateSoquet();
    sink = RecordingSink{};
    soquet->SetEvents(&sink);
    sink.onClosed = [&] { soquet.reset(); };
    soquet->ConnectTo(u"127.0.0.1", peer.Port(), u"0");
    soquet->CloseSocket();
    EXPECT_FALSE(soquet);
}

TEST_F(AsioSoquetLifetime, DestroyWithOperationsPendingIsSafe) {
    // Resolving
    soquet->ConnectTo(u"localhost", peer.Port(), u"0");
    soquet.reset();
    // Writing a large block the peer does not read, and reading
    auto writer = platform.CreateSoquet();
    RecordingSink writerSink;
    writer->SetEvents(&writerSink);
    LoopbackPeer writerPeer(io);
    writer->ConnectTo(u"127.0.0.1", writerPeer.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return writerSink.Has("connected"); }));
    writer->Send(Pattern(16 << 20, 14));
    RunFor(io, std::chrono::milliseconds(20));
    EXPECT_FALSE(writerSink.Has("senddone"));
    writer.reset();
    // Listening, with an accept pending
    auto listener = platform.CreateSoquet();
    listener->Listen(u"0");
    listener.reset();
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_TRUE(sink.log.empty());
    EXPECT_EQ(writerSink.log, std::vector<std::string>{"connected"});
}

TEST_F(AsioSoquetLifetime, SocketsAndWaitsMayOutliveTheLoopRunning) {
    // The io_context is destroyed with handlers still queued: they must release their
    // state without running.
    auto io2 = std::make_unique<asio::io_context>();
    auto platform2 = std::make_unique<AsioPlatform>(*io2);
    auto s = platform2->CreateSoquet();
    auto t = platform2->CreateTimer();
    RecordingSink sink2;
    s->SetEvents(&sink2);
    s->ConnectTo(u"127.0.0.1", peer.Port(), u"0");
    t->put_Interval(1000);
    t->put_Enabled(true);
    s.reset();
    t.reset();
    platform2.reset();
    io2.reset();
    EXPECT_TRUE(sink2.log.empty());
}

}  // namespace
}  // namespace tarselctl::testing
