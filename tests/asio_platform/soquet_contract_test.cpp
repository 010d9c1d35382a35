// What the control relies on from a socket, run against the real sockets of both platforms
// (Asio, and POSIX on each of its loops) on loopback and the scripted one the control's unit
// tests use, so that they cannot drift apart.
//
// Each implementation comes with a rig that plays the far end of its connections and the
// passing of time: for the real socket a peer on 127.0.0.1 and the event loop, for the
// scripted one its triggers. The cases themselves only call the socket interface.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/loopback.h"
#include "loops/posix_loops.h"
#include "support/fake_soquet.h"

namespace tarselctl::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using asio::ip::tcp;

/// The real socket of `Driver`'s platform: a peer on loopback and a bounded run of the loops
/// for every step.
template <class Driver>
class LoopbackRig {
public:
    std::unique_ptr<Soquet> Create() { return loops_.Platform().CreateSoquet(); }

    /// Starts a connection attempt to a peer that will take it.
    void StartConnect(Soquet& s) { s.ConnectTo(u"127.0.0.1", peer_.Port(), u"0"); }
    /// Lets the attempt started by StartConnect come up.
    bool CompleteConnect(Soquet&, RecordingSink& sink) {
        return loops_.RunUntil([&] { return sink.Has("connected") && peer_.Connected(); });
    }
    /// The peer writes `bytes`; they arrive when the loop runs.
    void PeerSends(Soquet&, const std::string& bytes) { peer_.Send(bytes, false); }
    /// The peer ends the connection in an orderly way; returns once OnClosed came.
    bool PeerCloses(Soquet&, RecordingSink& sink) {
        peer_.socket->close();
        return loops_.RunUntil([&] { return sink.Has("closed"); });
    }
    /// Lets `count` sends complete (the peer reads everything).
    bool CompleteSends(Soquet&, RecordingSink& sink, std::size_t count) {
        if (!draining_) peer_.Drain();
        draining_ = true;
        return loops_.RunUntil([&] { return sink.Count("senddone") >= count; });
    }
    /// Gives anything still on its way the chance to arrive.
    void Settle() { loops_.RunUntil([] { return false; }, 60ms); }

    /// A port on which listening at 127.0.0.1 (and on every interface) fails.
    String UnusablePort(Soquet&) {
        return FromUtf8(std::to_string(taken_.local_endpoint().port()));
    }

    /// A connection request from `peerHost` reaches the listener; returns once announced.
    bool Request(Soquet& listener, RecordingSink& sink, const std::string& peerHost) {
        const std::size_t before = sink.requests.size();
        tcp::socket& client = clients_.emplace_back(loops_.io);
        client.open(tcp::v4());
        client.bind(tcp::endpoint(asio::ip::make_address(peerHost), 0));
        client.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(),
                                           static_cast<unsigned short>(listener.get_LocalPort())),
                             [](const asio::error_code&) {});
        return loops_.RunUntil([&] { return sink.requests.size() > before; });
    }
    /// Lets a connection taken with Accept raise OnConnected.
    bool CompleteAccept(Soquet&, RecordingSink& sink) {
        return loops_.RunUntil([&] { return sink.Has("connected"); });
    }

private:
    Driver loops_;
    LoopbackPeer peer_{loops_.io};
    bool draining_ = false;
    tcp::acceptor taken_{loops_.io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
    std::vector<tcp::socket> clients_;
};

using AsioRig = LoopbackRig<AsioLoops>;
using PosixRig = LoopbackRig<PosixLoops>;
using LibuvRig = LoopbackRig<LibuvLoops>;
using GlibRig = LoopbackRig<GlibLoops>;
using QtRig = LoopbackRig<QtLoops>;

/// The scripted socket: the rig raises through its triggers what a real peer would cause.
/// Bytes from the peer are held until the rig settles and dropped when the connection has
/// gone by then, as a real peer's would be.
class FakeRig {
public:
    std::unique_ptr<Soquet> Create() {
        auto s = std::make_unique<FakeSoquet>("S" + std::to_string(++created_));
        s->sendBlocksUntilDone = true;
        return s;
    }

    void StartConnect(Soquet& s) { s.ConnectTo(u"127.0.0.1", u"2121", u"0"); }
    bool CompleteConnect(Soquet& s, RecordingSink& sink) {
        Fake(s).Connect();
        return sink.Has("connected");
    }
    void PeerSends(Soquet& s, const std::string& bytes) { pending_.push_back({&Fake(s), bytes}); }
    bool PeerCloses(Soquet& s, RecordingSink& sink) {
        Fake(s).Close();
        return sink.Has("closed");
    }
    bool CompleteSends(Soquet& s, RecordingSink& sink, std::size_t count) {
        FakeSoquet& fake = Fake(s);
        while (sink.Count("senddone") < count && sink.Count("senddone") < fake.sends.size())
            fake.SendDone();
        return sink.Count("senddone") >= count;
    }
    void Settle() {
        for (auto& [fake, bytes] : pending_)
            if (fake->state() == FakeSoquet::State::Connected) fake->Receive(bytes);
        pending_.clear();
    }

    String UnusablePort(Soquet& s) {
        Fake(s).throwOnListen = true;
        Fake(s).errorNumber = 98;
        Fake(s).errorDescription = u"Address already in use";
        return u"2121";
    }

    bool Request(Soquet& listener, RecordingSink& sink, const std::string& peerHost) {
        const std::size_t before = sink.requests.size();
        Fake(listener).AcceptRequest(++lastRequest_, FromUtf8(peerHost));
        return sink.requests.size() > before;
    }
    bool CompleteAccept(Soquet& s, RecordingSink& sink) {
        Fake(s).Connect();
        return sink.Has("connected");
    }

private:
    static FakeSoquet& Fake(Soquet& s) { return dynamic_cast<FakeSoquet&>(s); }

    int created_ = 0;
    Long lastRequest_ = 100;
    std::vector<std::pair<FakeSoquet*, std::string>> pending_;
};

template <class Rig>
class SoquetContract : public ::testing::Test {
protected:
    void SetUp() override { soquet->SetEvents(&sink); }

    /// The connection as IsClosed, LocalHost and RemoteHost show it.
    static std::string Ends(const Soquet& s) {
        return "closed=" + std::to_string(s.get_IsClosed()) + " local=" +
               ToUtf8(s.get_LocalHost()) + " remote=" + ToUtf8(s.get_RemoteHost());
    }
    const std::string kNoConnection = "closed=-1 local= remote=";
    const std::string kLoopbackConnection = "closed=0 local=127.0.0.1 remote=127.0.0.1";

    void Connect() {
        rig.StartConnect(*soquet);
        ASSERT_TRUE(rig.CompleteConnect(*soquet, sink));
    }

    Rig rig;
    RecordingSink sink;
    std::unique_ptr<Soquet> soquet = rig.Create();
};

using Rigs = ::testing::Types<AsioRig, PosixRig, LibuvRig, GlibRig, QtRig, FakeRig>;
class RigNames {
public:
    template <class T>
    static std::string GetName(int) {
        if (std::is_same_v<T, AsioRig>) return "Asio";
        if (std::is_same_v<T, PosixRig>) return "PosixEpoll";
        if (std::is_same_v<T, QtRig>) return "PosixQt";
        if (std::is_same_v<T, LibuvRig>) return "PosixLibuv";
        return std::is_same_v<T, GlibRig> ? "PosixGlib" : "Fake";
    }
};
TYPED_TEST_SUITE(SoquetContract, Rigs, RigNames);

TYPED_TEST(SoquetContract, IsClosedAndAddressesFollowTheConnectionNotTheAttempt) {
    auto& s = *this->soquet;
    std::vector<std::string> seen;
    auto note = [&](const char* when) { seen.push_back(std::string(when) + ": " + this->Ends(s)); };
    note("idle");
    this->rig.StartConnect(s);
    note("attempt");
    this->sink.onConnected = [&] { note("in OnConnected"); };
    ASSERT_TRUE(this->rig.CompleteConnect(s, this->sink));
    note("open");
    this->sink.onClosed = [&] { note("in OnClosed"); };
    ASSERT_TRUE(this->rig.PeerCloses(s, this->sink));
    note("after");

    const std::string none = this->kNoConnection, open = this->kLoopbackConnection;
    EXPECT_THAT(seen, ElementsAre("idle: " + none, "attempt: " + none, "in OnConnected: " + open,
                                  "open: " + open, "in OnClosed: " + none, "after: " + none));
}

TYPED_TEST(SoquetContract, CloseSocketDuringAnAttemptRaisesOneClosedBeforeItReturns) {
    auto& s = *this->soquet;
    this->rig.StartConnect(s);
    Boolean closedInside = False;
    this->sink.onClosed = [&] {
        closedInside = s.get_IsClosed();
        s.CloseSocket();  // a handler that closes again gets no second event
    };
    s.CloseSocket();
    EXPECT_THAT(this->sink.log, ElementsAre("closed"));
    EXPECT_EQ(closedInside, True);
    this->rig.Settle();
    s.CloseSocket();
    EXPECT_THAT(this->sink.log, ElementsAre("closed")) << "the attempt must not come up later";
    EXPECT_EQ(this->Ends(s), this->kNoConnection);
}

TYPED_TEST(SoquetContract, CloseSocketOnAnOpenConnectionEndsItWithNothingAfterwards) {
    ASSERT_NO_FATAL_FAILURE(this->Connect());
    auto& s = *this->soquet;
    this->rig.PeerSends(s, "late bytes");
    s.Send("unfinished");
    s.CloseSocket();
    EXPECT_THAT(this->sink.log, ElementsAre("connected", "closed"));
    this->rig.Settle();
    s.Send("after the close");
    s.CloseSocket();
    this->rig.Settle();
    EXPECT_THAT(this->sink.log, ElementsAre("connected", "closed"))
        << "no data, send completion or second close after the close";
}

TYPED_TEST(SoquetContract, EachSendCompletesOnceAndSendReadyWaitsForTheLast) {
    ASSERT_NO_FATAL_FAILURE(this->Connect());
    auto& s = *this->soquet;
    EXPECT_EQ(s.get_SendReady(), True);
    std::vector<Boolean> readyAtDone;
    this->sink.onSendDone = [&] { readyAtDone.push_back(s.get_SendReady()); };
    s.Send("USER anonymous\r\n");
    EXPECT_EQ(s.get_SendReady(), False);
    s.Send("PASS guest\r\n");
    ASSERT_TRUE(this->rig.CompleteSends(s, this->sink, 2));
    this->rig.Settle();
    EXPECT_EQ(this->sink.Count("senddone"), 2u);
    EXPECT_EQ(readyAtDone.back(), True);
    EXPECT_EQ(s.get_SendReady(), True);
}

TYPED_TEST(SoquetContract, AListenFailureIsRaisedByTheCallAndNothingFollows) {
    auto& s = *this->soquet;
    const String port = this->rig.UnusablePort(s);
    for (const bool at : {true, false}) {
        SCOPED_TRACE(at ? "ListenAt" : "Listen");
        try {
            if (at)
                s.ListenAt(u"127.0.0.1", port);
            else
                s.Listen(port);
            ADD_FAILURE() << "the listen did not fail";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Source(), u"Soquet");
            EXPECT_NE(e.Number(), 0);
            EXPECT_FALSE(e.Description().empty());
        }
        EXPECT_EQ(s.get_LocalPort(), 0);
        EXPECT_EQ(s.get_IsClosed(), True);
        this->rig.Settle();
        EXPECT_THAT(this->sink.log, IsEmpty());
    }
}

TYPED_TEST(SoquetContract, AListenerNamesEachRequestsPeerAndKeepsListeningWhenNoneIsTaken) {
    auto& listener = *this->soquet;
    listener.ListenAt(u"127.0.0.1", u"0");
    EXPECT_NE(listener.get_LocalPort(), 0);
    EXPECT_EQ(this->Ends(listener), this->kNoConnection) << "a listener has no connection";

    std::vector<std::string> peers;
    this->sink.onAcceptRequest = [&](Long id) {
        peers.push_back(ToUtf8(listener.get_RequestHost(id)));
        peers.push_back("other:" + ToUtf8(listener.get_RequestHost(id + 1000)));
    };
    ASSERT_TRUE(this->rig.Request(listener, this->sink, "127.0.0.2"));
    this->rig.Settle();
    // Not taken: the request is gone, the listener still listens.
    EXPECT_EQ(listener.get_RequestHost(this->sink.requests.back()), u"");
    ASSERT_TRUE(this->rig.Request(listener, this->sink, "127.0.0.1"));
    EXPECT_THAT(peers, ElementsAre("127.0.0.2", "other:", "127.0.0.1", "other:"));

    listener.CloseSocket();
    this->rig.Settle();
    EXPECT_THAT(this->sink.log, ElementsAre("request", "request")) << "a listener never closes";
}

TYPED_TEST(SoquetContract, AnAcceptedConnectionIsOpenFromTheAcceptAndConnectsAfterTheHandler) {
    auto& listener = *this->soquet;
    auto data = this->rig.Create();
    RecordingSink dataSink;
    data->SetEvents(&dataSink);
    listener.ListenAt(u"127.0.0.1", u"0");

    std::string insideHandler;
    this->sink.onAcceptRequest = [&](Long id) {
        // The order the control uses: one connection per listen, then take it over.
        listener.CloseSocket();
        data->Accept(id);
        insideHandler = this->Ends(*data) + (dataSink.log.empty() ? "" : " +events");
    };
    ASSERT_TRUE(this->rig.Request(listener, this->sink, "127.0.0.1"));
    EXPECT_EQ(insideHandler, this->kLoopbackConnection);
    ASSERT_TRUE(this->rig.CompleteAccept(*data, dataSink));
    EXPECT_EQ(this->Ends(*data), this->kLoopbackConnection);
    data->CloseSocket();
    EXPECT_THAT(dataSink.log, ElementsAre("connected", "closed"));
    EXPECT_THAT(this->sink.log, ElementsAre("request"));
}

TYPED_TEST(SoquetContract, StartingSomethingNewEndsTheOldConnectionWithItsClose) {
    ASSERT_NO_FATAL_FAILURE(this->Connect());
    auto& s = *this->soquet;
    s.ListenAt(u"127.0.0.1", u"0");
    EXPECT_THAT(this->sink.log, ElementsAre("connected", "closed"));
    EXPECT_EQ(this->Ends(s), this->kNoConnection);
    this->rig.StartConnect(s);  // a listener ends silently
    EXPECT_THAT(this->sink.log, ElementsAre("connected", "closed"));
}

}  // namespace
}  // namespace tarselctl::testing
