// Listening and accepting with the Asio socket: a listener announces connections that another
// socket of the same platform takes over, as an active-mode data connection is set up.
#include <cerrno>
#include <system_error>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

using asio::ip::tcp;

class AsioSoquetListener : public ::testing::Test {
protected:
    asio::io_context io;
    AsioPlatform platform{io};
    RecordingSink listenerSink, dataSink;
    std::unique_ptr<Soquet> listener = platform.CreateSoquet();
    std::unique_ptr<Soquet> data = platform.CreateSoquet();

    void SetUp() override {
        listener->SetEvents(&listenerSink);
        data->SetEvents(&dataSink);
    }

    /// Connects a plain client socket to the listener.
    tcp::socket Dial(bool& done, asio::error_code& result) {
        tcp::socket client(io);
        const auto port = static_cast<unsigned short>(listener->get_LocalPort());
        client.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), port),
                             [&](const asio::error_code& ec) {
                                 result = ec;
                                 done = true;
                             });
        return client;
    }
};

TEST_F(AsioSoquetListener, AnotherSocketTakesTheAnnouncedConnectionAndConnectsAfterTheHandler) {
    listener->Listen(u"0");
    ASSERT_NE(listener->get_LocalPort(), 0);
    EXPECT_EQ(listener->get_IsClosed(), True);
    EXPECT_EQ(listenerSink.diagnostics.back(),
              "listening on 0.0.0.0:" + std::to_string(listener->get_LocalPort()));

    bool connectedInsideAccept = true;
    listenerSink.onAcceptRequest = [&](Long id) {
        // The order the control uses: one connection per listen, then take it over.
        listener->CloseSocket();
        data->Accept(id);
        connectedInsideAccept = dataSink.Has("connected");
        EXPECT_EQ(data->get_IsClosed(), False);
    };
    bool dialed = false;
    asio::error_code dialResult;
    tcp::socket client = Dial(dialed, dialResult);
    ASSERT_TRUE(RunUntil(io, [&] { return dataSink.Has("connected"); }));
    EXPECT_FALSE(connectedInsideAccept);
    EXPECT_FALSE(dialResult);
    EXPECT_EQ(listenerSink.log, std::vector<std::string>{"request"});
    EXPECT_EQ(data->get_LocalAddress(), 0x7F000001);

    const std::string payload = Pattern(2 << 20, 9);
    asio::async_write(client, asio::buffer(payload), [](const asio::error_code&, std::size_t) {});
    data->Send("226 reply");
    std::string reply(9, '\0');
    bool replied = false;
    asio::async_read(client, asio::buffer(reply),
                     [&](const asio::error_code&, std::size_t) { replied = true; });
    ASSERT_TRUE(RunUntil(io, [&] { return dataSink.received.size() >= payload.size() && replied; }));
    EXPECT_TRUE(dataSink.received == payload);
    EXPECT_EQ(reply, "226 reply");

    // The listener is gone: a second connection is refused, not announced.
    bool dialedAgain = false;
    asio::error_code againResult;
    tcp::socket second(io);
    second.async_connect(client.remote_endpoint(), [&](const asio::error_code& ec) {
        againResult = ec;
        dialedAgain = true;
    });
    ASSERT_TRUE(RunUntil(io, [&] { return dialedAgain; }));
    EXPECT_EQ(againResult, asio::error::connection_refused);
    EXPECT_EQ(listenerSink.log, std::vector<std::string>{"request"});
}

TEST_F(AsioSoquetListener, ARequestNobodyTakesIsClosedAndCannotBeTakenLater) {
    listener->Listen(u"0");
    bool dialed = false;
    asio::error_code dialResult;
    tcp::socket client = Dial(dialed, dialResult);
    ASSERT_TRUE(RunUntil(io, [&] { return listenerSink.Has("request"); }));

    // The client sees the connection end although the listener still listens.
    char byte;
    bool ended = false;
    asio::error_code readResult;
    client.async_read_some(asio::buffer(&byte, 1), [&](const asio::error_code& ec, std::size_t) {
        readResult = ec;
        ended = true;
    });
    ASSERT_TRUE(RunUntil(io, [&] { return ended; }));
    EXPECT_EQ(readResult, asio::error::eof);

    data->Accept(listenerSink.requests.front());
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_TRUE(dataSink.log.empty());
    EXPECT_EQ(data->get_IsClosed(), True);
    EXPECT_EQ(dataSink.diagnostics.back(),
              "no connection request " + std::to_string(listenerSink.requests.front()));
}

TEST_F(AsioSoquetListener, ClosingTheAcceptedConnectionBeforeItsConnectedEventRaisesOnlyClosed) {
    listener->Listen(u"0");
    listenerSink.onAcceptRequest = [&](Long id) {
        data->Accept(id);
        data->CloseSocket();
    };
    bool dialed = false;
    asio::error_code dialResult;
    tcp::socket client = Dial(dialed, dialResult);
    ASSERT_TRUE(RunUntil(io, [&] { return dataSink.Has("closed"); }));
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_EQ(dataSink.log, std::vector<std::string>{"closed"});
}

TEST_F(AsioSoquetListener, PortInUseRaisesTheSystemErrorFromTheCallAndLeavesTheSocketIdle) {
    tcp::acceptor taken(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const String port = FromUtf8(std::to_string(taken.local_endpoint().port()));
    try {
        listener->ListenAt(u"127.0.0.1", port);
        ADD_FAILURE() << "listened on a port in use";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), EADDRINUSE);
        EXPECT_EQ(e.Description(), FromUtf8(std::system_category().message(EADDRINUSE)));
    }
    // The failed listener is gone: the socket can listen again at once.
    listener->ListenAt(u"127.0.0.1", u"0");
    EXPECT_NE(listener->get_LocalPort(), 0);
    RunFor(io, std::chrono::milliseconds(20));
    EXPECT_TRUE(listenerSink.log.empty());
}

TEST_F(AsioSoquetListener, BadListenPortOrHostRaisesAtOnce) {
    for (const String port : {u"", u"-1", u"65536", u"port"}) {
        EXPECT_THROW(listener->Listen(port), AutomationError) << ToUtf8(port);
    }
    // Only numeric addresses: a name would need a blocking look-up.
    for (const String& host : {String(u"localhost"), String(u"127.0.0.256"), String(u"1.2.3"),
                               String(u"127.0.0.1\0x", 11)}) {
        try {
            listener->ListenAt(host, u"0");
            ADD_FAILURE() << "listened at '" << ToUtf8(host) << "'";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), 380);
            EXPECT_EQ(e.Description(), u"Invalid host");
        }
    }
    EXPECT_EQ(listener->get_LocalPort(), 0);
}

TEST_F(AsioSoquetListener, ListenAtTakesConnectionsOnlyAtThatAddress) {
    listener->ListenAt(u"127.0.0.1", u"0");
    const auto port = static_cast<unsigned short>(listener->get_LocalPort());
    tcp::socket elsewhere(io);
    asio::error_code result;
    bool done = false;
    elsewhere.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.2"), port),
                            [&](const asio::error_code& ec) {
                                result = ec;
                                done = true;
                            });
    ASSERT_TRUE(RunUntil(io, [&] { return done; }));
    EXPECT_EQ(result, asio::error::connection_refused);
    EXPECT_TRUE(listenerSink.log.empty());
}

TEST_F(AsioSoquetListener, RequestHostBelongsToTheListenerAndEndsWhenTaken) {
    auto other = platform.CreateSoquet();
    other->ListenAt(u"127.0.0.1", u"0");
    listener->ListenAt(u"127.0.0.1", u"0");
    std::vector<std::string> seen;
    listenerSink.onAcceptRequest = [&](Long id) {
        seen.push_back(ToUtf8(listener->get_RequestHost(id)));
        seen.push_back("other:" + ToUtf8(other->get_RequestHost(id)));
        data->Accept(id);
        seen.push_back("taken:" + ToUtf8(listener->get_RequestHost(id)));
    };
    bool dialed = false;
    asio::error_code dialResult;
    tcp::socket client = Dial(dialed, dialResult);
    ASSERT_TRUE(RunUntil(io, [&] { return dataSink.Has("connected"); }));
    EXPECT_THAT(seen, ::testing::ElementsAre("127.0.0.1", "other:", "taken:"));
    EXPECT_EQ(data->get_RemoteHost(), u"127.0.0.1");
}

/// Whether this machine can listen on IPv6 loopback at all.
bool HasIpv6Loopback(asio::io_context& io) {
    asio::error_code ec;
    tcp::acceptor probe(io);
    probe.open(tcp::v6(), ec);
    if (!ec) probe.bind(tcp::endpoint(asio::ip::address_v6::loopback(), 0), ec);
    return !ec;
}

TEST_F(AsioSoquetListener, AnIpv4PeerOfADualStackListenerIsNamedInItsIpv4Form) {
    if (!HasIpv6Loopback(io)) GTEST_SKIP() << "no IPv6 on this machine";
    listener->ListenAt(u"::", u"0");
    std::string requestHost;
    listenerSink.onAcceptRequest = [&](Long id) {
        requestHost = ToUtf8(listener->get_RequestHost(id));
        data->Accept(id);
    };
    tcp::socket client(io);
    client.open(tcp::v4());
    client.bind(tcp::endpoint(asio::ip::make_address("127.0.0.2"), 0));
    client.async_connect(
        tcp::endpoint(asio::ip::address_v4::loopback(),
                      static_cast<unsigned short>(listener->get_LocalPort())),
        [](const asio::error_code&) {});
    ASSERT_TRUE(RunUntil(io, [&] { return dataSink.Has("connected"); }));
    EXPECT_EQ(requestHost, "127.0.0.2");
    EXPECT_EQ(data->get_RemoteHost(), u"127.0.0.2");
    EXPECT_EQ(data->get_LocalHost(), u"127.0.0.1");
    EXPECT_EQ(data->get_LocalAddress(), 0x7F000001);
}

TEST_F(AsioSoquetListener, Ipv6EndsAreNamedInTheirOwnForm) {
    if (!HasIpv6Loopback(io)) GTEST_SKIP() << "no IPv6 on this machine";
    listener->ListenAt(u"::1", u"0");
    listenerSink.onAcceptRequest = [&](Long id) { data->Accept(id); };
    auto client = platform.CreateSoquet();
    RecordingSink clientSink;
    client->SetEvents(&clientSink);
    client->ConnectTo(u"::1", FromUtf8(std::to_string(listener->get_LocalPort())), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return dataSink.Has("connected") && clientSink.Has("connected"); }));
    EXPECT_EQ(client->get_LocalHost(), u"::1");
    EXPECT_EQ(client->get_RemoteHost(), u"::1");
    EXPECT_EQ(data->get_RemoteHost(), u"::1");
    EXPECT_EQ(client->get_LocalAddress(), 0) << "no IPv4 address to announce in PORT";
}

TEST_F(AsioSoquetListener, ListeningSocketsOutliveThePlatformObject) {
    auto own = std::make_unique<AsioPlatform>(io);
    auto lone = own->CreateSoquet();
    auto taker = own->CreateSoquet();
    own.reset();
    RecordingSink takerSink;
    taker->SetEvents(&takerSink);
    RecordingSink loneSink;
    loneSink.onAcceptRequest = [&](Long id) { taker->Accept(id); };
    lone->SetEvents(&loneSink);
    lone->Listen(u"0");
    tcp::socket client(io);
    client.async_connect(
        tcp::endpoint(asio::ip::address_v4::loopback(),
                      static_cast<unsigned short>(lone->get_LocalPort())),
        [](const asio::error_code&) {});
    ASSERT_TRUE(RunUntil(io, [&] { return takerSink.Has("connected"); }));
}

}  // namespace
}  // namespace tarselctl::testing
