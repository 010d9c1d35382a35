// TLS on the real sockets of both platforms (Asio, and POSIX on each loop) against a TLS
// server on loopback: data both ways once secured, certificate checks, session resumption,
// and the ways a secured connection ends.
#include <chrono>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/asio_soquet.h"
#include "asio_platform/loopback.h"
#include "asio_platform/test_certificates.h"
#include "asio_platform/tls_loopback_server.h"
#include "loops/posix_loops.h"
#include "posix_platform/posix_soquet.h"

namespace tarselctl::testing {
namespace {

// The bounds asserted below hold for both platforms' sockets.
static_assert(PosixSoquet::kReadSize == AsioSoquet::kReadSize);
static_assert(PosixSoquet::kCloseBound == AsioSoquet::kCloseBound);

bool Contains(const String& text, const std::string& part) {
    return ToUtf8(text).find(part) != std::string::npos;
}

class SoquetTls : public ::testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<TestLoops> loops = MakeTestLoops(GetParam());
    asio::io_context& io = loops->io;
    Platform& platform = loops->Platform();
    const TestPki& trusted = MakeTestPki("trusted");
    const TestPki& other = MakeTestPki("other");
    TlsLoopbackServer server{io, trusted};
    RecordingSink sink;
    std::unique_ptr<Soquet> soquet = platform.CreateSoquet();

    void SetUp() override { soquet->SetEvents(&sink); }

    /// Runs the platform's loop and the server's (`on` is the server's io_context).
    bool RunUntil(asio::io_context& on, const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        (void)on;
        return loops->RunUntil(done, limit);
    }
    void RunFor(asio::io_context& on, std::chrono::milliseconds span) {
        RunUntil(on, [] { return false; }, span);
    }

    TlsClientSettings Trusting(const TestPki& pki, std::string name = "127.0.0.1") {
        return TlsClientSettings{true, pki.caFile, std::move(name)};
    }

    /// Connects `s` to `port` and starts TLS from OnConnected; runs until secured or closed.
    void ConnectSecured(Soquet& s, RecordingSink& events, const TlsClientSettings& settings,
                        const Soquet* resumeFrom = nullptr, const String& port = String()) {
        events.onConnected = [&s, settings, resumeFrom] { s.StartTls(settings, resumeFrom); };
        s.ConnectTo(u"127.0.0.1", port.empty() ? server.Port() : port, u"0");
        ASSERT_TRUE(RunUntil(io, [&] { return events.Has("secured") || events.Has("closed"); }));
        // With TLS 1.3 the client is done one flight before the server.
        if (events.Has("secured")) {
            ASSERT_TRUE(ServerSecured());
        }
    }

    bool ServerSecured() {
        return RunUntil(io, [&] {
            return !server.sessions.empty() &&
                   (server.Last().secured || server.Last().handshakeFailed);
        });
    }

    /// Runs until the server's last session has ended reading.
    bool ServerSessionEnds() {
        return RunUntil(io, [&] { return !server.sessions.empty() && server.Last().ended; });
    }
};

TEST_P(SoquetTls, SecuredConnectionCarriesSmallAndLargeDataBothWays) {
    server.echo = true;
    // Sent before the handshake has even begun: it must wait and go out protected.
    sink.onConnected = [&] {
        soquet->StartTls(Trusting(trusted), nullptr);
        soquet->Send("early ");
        EXPECT_EQ(soquet->get_IsSecured(), False);
    };
    soquet->ConnectTo(u"127.0.0.1", server.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("secured") || sink.Has("closed"); }));
    ASSERT_EQ(sink.log, (std::vector<std::string>{"connected", "secured"}));
    EXPECT_EQ(soquet->get_IsSecured(), True);
    EXPECT_EQ(soquet->get_IsClosed(), False);
    ASSERT_TRUE(ServerSecured());
    EXPECT_TRUE(server.Last().secured);

    const std::string big = Pattern(5 * 1024 * 1024 + 3, 7);
    soquet->Send("small");
    soquet->Send(big);
    const std::string expected = "early small" + big;
    ASSERT_TRUE(RunUntil(io, [&] { return sink.received.size() >= expected.size(); },
                         std::chrono::seconds(30)));
    EXPECT_TRUE(server.Last().incoming == expected);
    EXPECT_TRUE(sink.received == expected);
    EXPECT_EQ(sink.Count("senddone"), 3u);
    EXPECT_LE(sink.largestRead, AsioSoquet::kReadSize);
    EXPECT_FALSE(sink.Has("error"));
}

TEST_P(SoquetTls, ExplicitTlsAfterPlainExchangeKeepsPlainAndProtectedBytesApart) {
    server.plainFirst = true;
    sink.onConnected = [&] { soquet->Send("AUTH TLS\r\n"); };
    sink.onReceived = [&](std::string& data) {
        if (data == "234 go\r\n") {
            soquet->StartTls(Trusting(trusted), nullptr);
            soquet->Send("USER secret\r\n");
        }
    };
    soquet->ConnectTo(u"127.0.0.1", server.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] {
        return sink.Has("closed") ||
               (!server.sessions.empty() && server.Last().incoming == "USER secret\r\n");
    }));
    EXPECT_EQ(server.Last().plainLine, "AUTH TLS\r\n");
    EXPECT_EQ(sink.received, "234 go\r\n");
    EXPECT_EQ(sink.Count("secured"), 1u);
    EXPECT_EQ(sink.Count("senddone"), 2u);
}

TEST_P(SoquetTls, PlainBytesSentBeforeStartTlsGoOutInTheClearBeforeTheHandshake) {
    // Still being written when StartTls comes: the handshake must wait for the last byte.
    const std::string plain(3 * 1024 * 1024, 'p');
    server.plainLength = plain.size();
    sink.onConnected = [&] {
        soquet->Send(plain);
        soquet->StartTls(Trusting(trusted), nullptr);
        soquet->Send("protected");
    };
    soquet->ConnectTo(u"127.0.0.1", server.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] {
        return sink.Has("closed") ||
               (!server.sessions.empty() && server.Last().incoming == "protected");
    }));
    EXPECT_TRUE(server.Last().plainLine == plain);
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "senddone", "secured", "senddone"}));
}

TEST_P(SoquetTls, StartTlsWhileAPlainReadIsPendingStillHandshakes) {
    sink.onConnected = [&] {
        // Outside any read completion: the plain read is pending and must give way.
        asio::post(io, [&] { soquet->StartTls(Trusting(trusted), nullptr); });
    };
    soquet->ConnectTo(u"127.0.0.1", server.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("secured") || sink.Has("closed"); }));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "secured"}));
    soquet->Send("after");
    ASSERT_TRUE(RunUntil(io, [&] { return server.Last().incoming == "after"; }));
}

TEST_P(SoquetTls, CertificateChecksRefuseOtherCaAndOtherNameButNotWhenOff) {
    struct Case {
        const char* what;
        TlsClientSettings settings;
        Long error;  // 0: secured
        const char* reason;
    };
    const Case cases[] = {
        {"other CA", Trusting(other), kTlsNotVerified, "certificate verify failed ("},
        {"other name", Trusting(trusted, "ftp.example.com"), kTlsNotVerified, "hostname mismatch"},
        {"other address", Trusting(trusted, "127.0.0.2"), kTlsNotVerified, "IP address mismatch"},
        {"name it carries", Trusting(trusted, "localhost"), 0, ""},
        {"bracketed address it carries", Trusting(trusted, "[::1]"), 0, ""},
        {"verify off", TlsClientSettings{false, other.caFile, "ftp.example.com"}, 0, ""},
        {"unreadable CA file", TlsClientSettings{true, "/nonexistent/ca.pem", "127.0.0.1"},
         kTlsHandshakeFailed, "/nonexistent/ca.pem"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingSink events;
        std::unique_ptr<Soquet> s = platform.CreateSoquet();
        s->SetEvents(&events);
        ConnectSecured(*s, events, c.settings);
        if (c.error == 0) {
            EXPECT_EQ(events.log, (std::vector<std::string>{"connected", "secured"}));
            EXPECT_EQ(s->get_IsSecured(), True);
            continue;
        }
        EXPECT_EQ(events.log, (std::vector<std::string>{"connected", "error", "closed"}));
        EXPECT_EQ(events.errorNumber, c.error);
        EXPECT_EQ(ToUtf8(events.errorStep), "tls");
        EXPECT_TRUE(Contains(events.errorText, c.reason)) << ToUtf8(events.errorText);
        EXPECT_EQ(s->get_IsSecured(), False);
        EXPECT_EQ(s->get_IsClosed(), True);
        EXPECT_TRUE(events.received.empty());
    }
}

TEST_P(SoquetTls, PeerThatSpeaksNoTlsFailsTheHandshake) {
    LoopbackPeer plain(io);
    sink.onConnected = [&] { soquet->StartTls(Trusting(trusted), nullptr); };
    soquet->ConnectTo(u"127.0.0.1", plain.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return plain.Connected(); }));
    plain.Send("220 this is no TLS server, and it goes on for a while to fill a record\r\n",
               false);
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("closed"); }));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "error", "closed"}));
    EXPECT_EQ(sink.errorNumber, kTlsHandshakeFailed);
    EXPECT_EQ(ToUtf8(sink.errorStep), "tls");
    EXPECT_FALSE(sink.errorText.empty());
    EXPECT_TRUE(sink.received.empty());
}

TEST_P(SoquetTls, DataConnectionResumesTheControlConnectionsNewestSession) {
    server.echo = true;
    ConnectSecured(*soquet, sink, Trusting(trusted));
    ASSERT_TRUE(soquet->get_IsSecured());
    // A round trip lets the session tickets sent after the handshake arrive.
    soquet->Send("ping");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.received == "ping"; }));
    EXPECT_FALSE(server.Last().reused);

    RecordingSink dataEvents;
    std::unique_ptr<Soquet> data = platform.CreateSoquet();
    data->SetEvents(&dataEvents);
    ConnectSecured(*data, dataEvents, Trusting(trusted), soquet.get());
    ASSERT_EQ(data->get_IsSecured(), True);
    EXPECT_TRUE(server.Last().reused);
    EXPECT_EQ(dataEvents.diagnostics.back().find("resumed session") != std::string::npos, true);

    // Again from the same control connection, as every transfer does.
    RecordingSink againEvents;
    std::unique_ptr<Soquet> again = platform.CreateSoquet();
    again->SetEvents(&againEvents);
    ConnectSecured(*again, againEvents, Trusting(trusted), soquet.get());
    EXPECT_TRUE(server.Last().reused);

    // No session to offer: a plain instance, or none.
    RecordingSink freshEvents;
    std::unique_ptr<Soquet> fresh = platform.CreateSoquet();
    fresh->SetEvents(&freshEvents);
    std::unique_ptr<Soquet> idle = platform.CreateSoquet();
    ConnectSecured(*fresh, freshEvents, Trusting(trusted), idle.get());
    EXPECT_EQ(fresh->get_IsSecured(), True);
    EXPECT_FALSE(server.Last().reused);
}

TEST_P(SoquetTls, CloseSocketClosesAtOnceThenSendsQueuedBytesAndCloseNotify) {
    // Closed inside OnSecured, before anything was read: the server's session tickets are
    // still unread then, and closing over unread bytes would reset the connection and cost
    // the server the end of the data.
    const std::string last = Pattern(4 * 1024 * 1024, 9);
    // A slow reader: most of the data is still on its way when the client closes.
    server.readDelay = std::chrono::milliseconds(300);
    sink.onSecured = [&] {
        soquet->Send(last);
        soquet->CloseSocket();
        EXPECT_EQ(sink.log.back(), "closed");
        EXPECT_EQ(soquet->get_IsClosed(), True);
        EXPECT_EQ(soquet->get_IsSecured(), False);
    };
    sink.onConnected = [&] { soquet->StartTls(Trusting(trusted), nullptr); };
    const auto start = std::chrono::steady_clock::now();
    soquet->ConnectTo(u"127.0.0.1", server.Port(), u"0");
    ASSERT_TRUE(ServerSessionEnds());
    EXPECT_EQ(server.Last().endError, asio::error::eof) << server.Last().endError.message();
    EXPECT_EQ(server.Last().incoming.size(), last.size());
    // The server never answers the close_notify: the client must close its end regardless.
    ASSERT_TRUE(RunUntil(io, [&] { return server.Last().tcpClosed; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, AsioSoquet::kCloseBound);
    EXPECT_TRUE(server.Last().incoming == last);
    RunFor(io, std::chrono::milliseconds(50));
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "secured", "closed"}));
}

TEST_P(SoquetTls, DestroyingASecuredInstanceAlsoSendsCloseNotify) {
    ConnectSecured(*soquet, sink, Trusting(trusted));
    soquet.reset();
    ASSERT_TRUE(ServerSessionEnds());
    EXPECT_EQ(server.Last().endError, asio::error::eof);
    EXPECT_EQ(sink.log, (std::vector<std::string>{"connected", "secured"}));
}

// Either way the bytes all arrive and the close is a close; only CloseNotified tells a peer's
// close_notify from a TCP end that anyone in the path could have made.
TEST_P(SoquetTls, PeerCloseWithOrWithoutCloseNotifyIsACloseThatCloseNotifiedTellsApart) {
    for (const bool closeNotify : {true, false}) {
        SCOPED_TRACE(closeNotify ? "with close_notify" : "without close_notify");
        RecordingSink events;
        std::unique_ptr<Soquet> s = platform.CreateSoquet();
        s->SetEvents(&events);
        ConnectSecured(*s, events, Trusting(trusted));
        ASSERT_TRUE(RunUntil(io, [&] { return server.Last().secured; }));
        const std::string down = Pattern(1024 * 1024 + 1, closeNotify ? 1 : 2);
        server.SendThenClose(server.Last(), down, closeNotify);
        ASSERT_TRUE(RunUntil(io, [&] { return events.Has("closed"); }));
        EXPECT_TRUE(events.received == down);
        EXPECT_FALSE(events.Has("error"));
        EXPECT_EQ(events.log.back(), "closed");
        EXPECT_EQ(events.Count("closed"), 1u);
        EXPECT_EQ(s->get_IsClosed(), True);
        EXPECT_EQ(s->get_CloseNotified(), closeNotify ? True : False);
    }
}

TEST_P(SoquetTls, SinkMayCloseOrDestroyTheInstanceInsideSecuredAndReceived) {
    enum class Act { CloseInSecured, DestroyInSecured, CloseInReceived, DestroyInReceived };
    for (const Act act : {Act::CloseInSecured, Act::DestroyInSecured, Act::CloseInReceived,
                          Act::DestroyInReceived}) {
        SCOPED_TRACE(static_cast<int>(act));
        server.echo = true;
        RecordingSink events;
        std::unique_ptr<Soquet> s = platform.CreateSoquet();
        s->SetEvents(&events);
        events.onSecured = [&] {
            if (act == Act::CloseInSecured) s->CloseSocket();
            if (act == Act::DestroyInSecured) s.reset();
            if (s) s->Send(Pattern(600 * 1024, 3));
        };
        events.onReceived = [&](std::string&) {
            if (act == Act::CloseInReceived) s->CloseSocket();
            if (act == Act::DestroyInReceived) s.reset();
        };
        events.onConnected = [&] { s->StartTls(Trusting(trusted), nullptr); };
        // The server keeps the sessions of the earlier rounds: this round's is the next one.
        const std::size_t earlier = server.sessions.size();
        s->ConnectTo(u"127.0.0.1", server.Port(), u"0");
        ASSERT_TRUE(RunUntil(io, [&] { return server.sessions.size() > earlier && server.Last().ended; }));
        RunFor(io, std::chrono::milliseconds(50));
        std::vector<std::string> expected;
        switch (act) {
            case Act::CloseInSecured: expected = {"connected", "secured", "closed"}; break;
            case Act::DestroyInSecured: expected = {"connected", "secured"}; break;
            case Act::CloseInReceived: expected = {"connected", "secured", "received", "closed"}; break;
            case Act::DestroyInReceived: expected = {"connected", "secured", "received"}; break;
        }
        // The Send done event of the first write may come before the echo.
        std::erase(events.log, "senddone");
        EXPECT_EQ(events.log, expected);
        EXPECT_EQ(server.Last().endError, asio::error::eof) << server.Last().endError.message();
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, SoquetTls, ::testing::Values("Asio", "PosixEpoll", "PosixLibuv", "PosixGlib", "PosixQt"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tarselctl::testing
