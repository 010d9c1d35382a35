// Time-outs on real one-second timers over loopback TCP. Each test costs two to three seconds
// of wall time, so only the cases that depend on real sockets and timers together are here;
// the tick arithmetic itself is tested on hand-ticked timers elsewhere.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "asio_platform/loopback.h"
#include "support/event_recorder.h"
#include "support/scripted_ftp_peer.h"

namespace tarselctl {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::FtpScript;
using testing::ScriptedFtpPeer;

class RealTimeoutTest : public ::testing::Test {
protected:
    RealTimeoutTest() {
        control.Advise(recorder);
        control.put_port(peer.Port());
    }

    bool Has(const std::string& prefix) const {
        return std::any_of(recorder.events.begin(), recorder.events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }

    bool RunUntilEvent(const std::string& prefix, std::chrono::milliseconds limit = 6s) {
        return testing::RunUntil(io, [&] { return Has(prefix); }, limit);
    }

    asio::io_context io;
    AsioPlatform platform{io};
    ScriptedFtpPeer peer{io};
    EventRecorder recorder;
    tarsel control{platform};
};

TEST_F(RealTimeoutTest, ServerThatNeverGreetsIsNotAConnectTimeout) {
    peer.Greeting(FtpScript());
    control.put_ConnectTimeout(1);

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    testing::RunFor(io, 3s);

    // The connect time-out covers the TCP connection only; it was stopped when that came up.
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected"));
    EXPECT_FALSE(Has("Trace(---timer2:timeout"));
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_FALSE(peer.clientClosed);
    EXPECT_TRUE(peer.lines.empty());
}

/// A loopback listener whose accept queue is full: further connection attempts get no answer
/// to their SYN and hang until they are given up.
class FullBacklogListener {
public:
    FullBacklogListener() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ok_ = listener_ >= 0 &&
              ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              ::listen(listener_, 0) == 0 &&
              ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port_ = ntohs(address.sin_port);
        // Never accepted: the first connection fills the queue, the second makes sure of it.
        for (int i = 0; ok_ && i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers_.push_back(fd);
        }
    }
    ~FullBacklogListener() {
        for (int fd : fillers_) ::close(fd);
        if (listener_ >= 0) ::close(listener_);
    }
    bool Ok() const { return ok_; }
    String Port() const { return FromUtf8(std::to_string(port_)); }

private:
    int listener_ = -1;
    bool ok_ = false;
    unsigned port_ = 0;
    std::vector<int> fillers_;
};

TEST_F(RealTimeoutTest, ConnectionAttemptThatNeverCompletesTimesOut) {
    FullBacklogListener listener;
    ASSERT_TRUE(listener.Ok());
    control.put_port(listener.Port());
    control.put_ConnectTimeout(1);

    const auto start = Clock::now();
    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("DisConnected"));
    const auto spent = Clock::now() - start;

    // Loaded with 1, the countdown expires on the second one-second tick.
    EXPECT_GE(spent, 1800ms);
    EXPECT_LT(spent, 3500ms);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(-1,connect timeout(timer))"));
    EXPECT_THAT(recorder.events, Contains("Trace(---timer2:timeout:1)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

TEST_F(RealTimeoutTest, DownloadStallingMidFileEndsWithTransErrorCloseAndServerReply) {
    peer.On("USER", FtpScript().Reply("230 Logged in"));
    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("CommandDone(0,Connect,"));
    recorder.Clear();

    control.put_Passive(True);
    control.put_ConnectTimeout(5);
    control.put_TransTimeout(1);
    peer.On("TYPE", FtpScript().Reply("200 Switching to Binary mode."));
    peer.On("PASV", FtpScript().PassiveReply());
    // Like vsftpd: the client's close of the data connection fails the transfer with 426.
    peer.On("RETR", FtpScript()
                        .Reply("150 Opening BINARY mode data connection")
                        .AwaitData()
                        .DataSend("partial bytes")
                        .AwaitDataClosed()
                        .Reply("426 Failure writing network stream."));

    const auto start = Clock::now();
    control.GetFile(u"big.bin", u"local.bin");
    ASSERT_TRUE(RunUntilEvent("TransError"));
    const auto spent = Clock::now() - start;
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_GE(spent, 1500ms);
    EXPECT_LT(spent, 3500ms);
    EXPECT_EQ(recorder.received, "partial bytes");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", "GetData(13)",
                            "TransError(-2,trans timeout,timer)", "GetClose",
                            "CommandDone(426,GetFile,Failure writing network stream.)"));
    EXPECT_THAT(recorder.events, Contains("Trace(---timer2:timeout:3)"));
    EXPECT_TRUE(peer.dataClientClosed);
    // Only the transfer was given up: the control connection stays open and idle.
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_FALSE(peer.clientClosed);
}

}  // namespace
}  // namespace tarselctl
