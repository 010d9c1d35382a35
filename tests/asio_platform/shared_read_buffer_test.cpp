// Several connections of one platform reading through its one shared buffer: each one's
// bytes stay its own, whatever the handlers do with the buffer they are handed.
#include <array>
#include <memory>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/asio_soquet.h"
#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

constexpr std::size_t kConnections = 3;

class SharedReadBufferTest : public ::testing::Test {
protected:
    asio::io_context io;
    AsioPlatform platform{io};
    std::array<RecordingSink, kConnections> sinks;
    std::array<std::unique_ptr<Soquet>, kConnections> soquets;
    std::array<std::unique_ptr<LoopbackPeer>, kConnections> peers;

    void ConnectAll() {
        for (std::size_t i = 0; i < kConnections; ++i) {
            peers[i] = std::make_unique<LoopbackPeer>(io);
            soquets[i] = platform.CreateSoquet();
            soquets[i]->SetEvents(&sinks[i]);
            soquets[i]->ConnectTo(u"127.0.0.1", peers[i]->Port(), u"0");
        }
        ASSERT_TRUE(RunUntil(io, [&] {
            for (std::size_t i = 0; i < kConnections; ++i)
                if (!sinks[i].Has("connected") || !peers[i]->Connected()) return false;
            return true;
        }));
    }
};

TEST_F(SharedReadBufferTest, InterleavedDownloadsStayApartWhateverHandlersDoWithTheBuffer) {
    ConnectAll();
    // One handler takes the buffer's contents away, one clears it, one leaves it: the next
    // read of every connection must get a whole buffer again and its own bytes only.
    ByteArray taken;
    sinks[0].onReceivedBytes = [&](ByteArray& data) {
        ByteArray moved = std::move(data);
        taken.insert(taken.end(), moved.begin(), moved.end());
    };
    sinks[1].onReceivedBytes = [](ByteArray& data) { data.clear(); };
    sinks[2].onReceivedBytes = [](ByteArray&) {};
    std::array<std::string, kConnections> sent;
    for (std::size_t i = 0; i < kConnections; ++i) {
        sent[i] = Pattern(3 * 1024 * 1024 + 101 * i, static_cast<unsigned>(i + 7));
        peers[i]->Send(sent[i], true);
    }
    ASSERT_TRUE(RunUntil(io, [&] {
        for (const auto& sink : sinks)
            if (!sink.Has("closed")) return false;
        return true;
    }));
    for (std::size_t i = 0; i < kConnections; ++i) {
        EXPECT_TRUE(sinks[i].received == sent[i]) << "connection " << i;
        EXPECT_LE(sinks[i].largestRead, AsioSoquet::kReadSize);
        EXPECT_FALSE(sinks[i].Has("error"));
    }
    EXPECT_TRUE(std::string(taken.begin(), taken.end()) == sent[0]);
}

TEST_F(SharedReadBufferTest, AHandlerThatRunsTheLoopKeepsItsBytesWhileOthersRead) {
    ConnectAll();
    // The first arrival on connection 0 runs the loop until connection 1 has read: that read
    // must not land in the buffer connection 0's handler is still holding.
    bool nested = false;
    ByteArray before, after;
    sinks[0].onReceivedBytes = [&](ByteArray& data) {
        if (nested) return;
        nested = true;
        before = data;
        peers[1]->Send(Pattern(200 * 1024, 3), false);
        RunUntil(io, [&] { return sinks[1].received.size() >= 200 * 1024; });
        after = data;
    };
    peers[0]->Send(Pattern(4096, 9), false);
    ASSERT_TRUE(RunUntil(io, [&] { return sinks[1].received.size() >= 200 * 1024; }));
    ASSERT_TRUE(nested);
    EXPECT_FALSE(before.empty());
    EXPECT_TRUE(before == after);
    EXPECT_TRUE(sinks[1].received == Pattern(200 * 1024, 3));

    // Both connections go on reading normally afterwards.
    peers[0]->Send("tail", false);
    ASSERT_TRUE(RunUntil(io, [&] { return sinks[0].received.size() == 4096 + 4; }));
    EXPECT_EQ(sinks[0].received.substr(4096), "tail");
}

TEST_F(SharedReadBufferTest, ShortRepliesLeaveTheSharedBufferSmall) {
    // Each read is sized to what has arrived: a dialogue of short lines never grows the
    // platform's buffer towards the largest read size.
    SharedReadBuffer reads;
    RecordingSink sink;
    LoopbackPeer peer(io);
    AsioSoquet soquet(io, std::make_shared<PendingAccepts>(),
                      std::shared_ptr<SharedReadBuffer>(&reads, [](SharedReadBuffer*) {}));
    soquet.SetEvents(&sink);
    soquet.ConnectTo(u"127.0.0.1", peer.Port(), u"0");
    ASSERT_TRUE(RunUntil(io, [&] { return sink.Has("connected") && peer.Connected(); }));
    for (int i = 0; i < 20; ++i) {
        peer.Send("200 NOOP ok\r\n", false);
        ASSERT_TRUE(RunUntil(io, [&] { return sink.received.size() == (i + 1) * 13u; }));
    }
    EXPECT_LT(reads.Capacity(), 4096u);
}

}  // namespace
}  // namespace tarselctl::testing
