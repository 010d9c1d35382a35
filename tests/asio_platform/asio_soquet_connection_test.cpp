// Outgoing connections of the Asio socket on loopback: data both ways, send queueing,
// closing, errors and name resolution.
#include <cerrno>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/asio_soquet.h"
#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

class AsioSoquetConnection : public ::testing::Test {
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

TEST_F(AsioSoquetConnection, BulkDataBothWaysArrivesIntactWhileConnectionIsOpen) {
    Connect();
    EXPECT_EQ(soquet->get_IsClosed(), False);
    EXPECT_EQ(soquet->get_LocalAddress(), 0x7F000001);
    EXPECT_NE(soquet->get_LocalPort(), 0);
    EXPECT_EQ(soquet->get_SendReady(), True);

    const std::string down = Pattern(8 * 1024 * 1024 + 17, 1);
    const std::string up = Pattern(6 * 1024 * 1024 + 5, 2);
    peer.Drain();
    peer.Send(down, false);
    soquet->Send(up);
    EXPECT_EQ(soquet->get_SendReady(), False);
    ASSERT_TRUE(RunUntil(io, [&] {
        return sink.received.size() >= down.size() && peer.incoming.size() >= up.size() &&
               sink.Has("senddone");
    }));
    EXPECT_TRUE(sink.received == down);
    EXPECT_TRUE(peer.incoming == up);
    EXPECT_EQ(sink.Count("senddone"), 1u);
    EXPECT_EQ(soquet->get_SendReady(), True);
    EXPECT_LE(sink.largestRead, AsioSoquet::kReadSize);
    EXPECT_FALSE(sink.Has("closed"));
}

TEST_F(AsioSoquetConnection, PeerCloseAfterDataDeliversEverythingThenClosedWithoutError) {
    Connect();
    const std::string down = Pattern(3 * 1024 * 1024, 3);
    peer.Send(down, true);
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    EXPECT_TRUE(sink.received == down);
    EXPECT_EQ(sink.log.back(), "closed");
    EXPECT_EQ(sink.Count("closed"), 1u);
    EXPECT_FALSE(sink.Has("error"));
    EXPECT_EQ(soquet->get_IsClosed(), True);
    EXPECT_EQ(soquet->get_LocalAddress(), 0);
}

TEST_F(AsioSoquetConnection, QueuedSendsGoOutInOrderWithOneSendDoneEach) {
    Connect();
    peer.Drain();
    const std::vector<std::string> parts = {Pattern(1 << 20, 4), Pattern(3 << 20, 5), "tail", "",
                                            Pattern(2 << 20, 6)};
    std::string all;
    for (const auto& part : parts) {
        soquet->Send(part);
        all += part;
    }
    std::vector<Boolean> readyAtDone;
    sink.onSendDone = [&] { readyAtDone.push_back(soquet->get_SendReady()); };
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Count("senddone") == parts.size(); }));
    ASSERT_TRUE(RunUntil(io, [&] { return peer.incoming.size() >= all.size(); }));
    EXPECT_TRUE(peer.incoming == all);
    // Ready only once the last queued byte is written.
    EXPECT_EQ(readyAtDone, (std::vector<Boolean>{False, False, False, False, True}));
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_EQ(sink.Count("senddone"), parts.size());
}

TEST_F(AsioSoquetConnection, SendDuringConnectionAttemptIsWrittenOnceConnected) {
    soquet->ConnectTo(u"127.0.0.1", peer.Port(), u"0");
    soquet->Send("USER anonymous\r\n");
    ASSERT_TRUE(RunUntil(io, [&] { return peer.Connected(); }));
    peer.Drain();
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("senddone") && peer.incoming.size() >= 16; }));
    EXPECT_EQ(peer.incoming, "USER anonymous\r\n");
    EXPECT_EQ(sink.log.front(), "connected");
}

TEST_F(AsioSoquetConnection, CloseSocketEndsAnAttemptStillResolvingOrConnecting) {
    soquet->ConnectTo(u"localhost", peer.Port(), u"0");
    EXPECT_EQ(soquet->get_IsClosed(), True) << "an attempt is no open connection";
    soquet->CloseSocket();
    EXPECT_EQ(sink.log, std::vector<std::string>{"closed"});

    // "trying" is announced once the connect itself has started.
    sink.log.clear();
    bool closedInside = false;
    sink.onDiagnostic = [&](const std::string& text) {
        if (text.rfind("trying ", 0) != 0) return;
        soquet->CloseSocket();
        closedInside = sink.Has("closed");
    };
    soquet->ConnectTo(u"127.0.0.1", peer.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    EXPECT_TRUE(closedInside);
    RunFor(io, std::chrono::milliseconds(100));
    EXPECT_EQ(sink.log, std::vector<std::string>{"closed"});
}

TEST_F(AsioSoquetConnection, RefusedConnectionReportsErrnoThenClosed) {
    soquet->ConnectTo(u"127.0.0.1", ClosedPort(io), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"error", "closed"}));
    EXPECT_EQ(sink.errorNumber, ECONNREFUSED);
    EXPECT_EQ(sink.errorStep, u"connect");
    EXPECT_FALSE(sink.errorText.empty());
    EXPECT_EQ(soquet->get_IsClosed(), True);
}

TEST_F(AsioSoquetConnection, PeerResetIsAReadErrorThenClosed) {
    Connect();
    peer.Reset();
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "error", "closed"}));
    EXPECT_EQ(sink.errorNumber, ECONNRESET);
    EXPECT_EQ(sink.errorStep, u"read");
}

TEST_F(AsioSoquetConnection, ErrorHandlerThatClosesGetsExactlyOneClosed) {
    sink.onError = [&] {
        EXPECT_EQ(soquet->get_IsClosed(), True);
        soquet->CloseSocket();
    };
    soquet->ConnectTo(u"127.0.0.1", ClosedPort(io), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"error", "closed"}));
}

TEST_F(AsioSoquetConnection, HostNameIsResolvedAfterTheCallReturns) {
    soquet->ConnectTo(u"localhost", peer.Port(), u"0");
    EXPECT_TRUE(sink.log.empty());
    ASSERT_FALSE(sink.diagnostics.empty());
    EXPECT_EQ(sink.diagnostics.front(), "connecting to localhost:" + ToUtf8(peer.Port()));
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("connected"); }));
    // The peer listens on IPv4 only; IPv4 addresses are tried first.
    EXPECT_EQ(soquet->get_LocalAddress(), 0x7F000001);
}

TEST_F(AsioSoquetConnection, UnknownHostIsAResolveErrorThenClosed) {
    soquet->ConnectTo(u"no-such-host.invalid", peer.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"error", "closed"}));
    EXPECT_EQ(sink.errorStep, u"resolve");
}

TEST_F(AsioSoquetConnection, BadPortOrHostRaisesAtOnceAndChangesNothing) {
    for (const String port : {u"", u"0", u"65536", u"-21", u"2 1", u"x21", u"99999999999"}) {
        try {
            soquet->ConnectTo(u"127.0.0.1", port, u"0");
            ADD_FAILURE() << "accepted port '" << ToUtf8(port) << "'";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), 380);
            EXPECT_EQ(e.Source(), u"Soquet");
            EXPECT_EQ(e.Description(), u"Invalid port");
        }
    }
    EXPECT_THROW(soquet->ConnectTo(u"", peer.Port(), u"0"), AutomationError);
    EXPECT_THROW(soquet->ConnectTo(String(u"127.0.0.1\0x", 11), peer.Port(), u"0"), AutomationError);
    EXPECT_EQ(soquet->get_IsClosed(), True);
    RunFor(io, std::chrono::milliseconds(20));
    EXPECT_TRUE(sink.log.empty());
}

TEST_F(AsioSoquetConnection, PortFromAPassiveReplyWithALeadingBlankIsAccepted) {
    soquet->ConnectTo(u"127.0.0.1", u" " + peer.Port(), u"20");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("connected"); }));
}

TEST_F(AsioSoquetConnection, ConnectingAgainEndsTheOldConnectionFirst) {
    Connect();
    LoopbackPeer second(io);
    soquet->ConnectTo(u"127.0.0.1", second.Port(), u"0");
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "closed"}));
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Count("connected") == 2 && second.Connected(); }));
    peer.Drain();
    ASSERT_TRUE(RunUntil(io, [&] { return peer.ended; }));  // the first peer saw the close
}

}  // namespace
}  // namespace tarselctl::testing
