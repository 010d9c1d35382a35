// The control on the real event loop: Asio sockets against a scripted FTP server on loopback.
// Each test reads as a transcript: what the server answers, then the exact lines it received
// and the exact events the host saw.
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>

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

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using testing::FtpScript;
using testing::ScriptedFtpPeer;

class ControlLoopbackTest : public ::testing::Test {
protected:
    ControlLoopbackTest() {
        // The socket's own diagnostics depend on timing and addresses; the dialogue does not.
        recorder.skipDiagnosticTraces = true;
        control.Advise(recorder);
        control.put_port(peer.Port());
    }

    bool Has(const std::string& prefix) const {
        for (const auto& e : recorder.events)
            if (e.rfind(prefix, 0) == 0) return true;
        return false;
    }

    /// Runs the loop until an event starting with `prefix` has been recorded.
    bool RunUntilEvent(const std::string& prefix, std::chrono::milliseconds limit = 5s) {
        return testing::RunUntil(io, [&] { return Has(prefix); }, limit);
    }

    /// Anonymous login against the peer; leaves the control idle with the logs cleared.
    void LogIn() {
        peer.On("USER", FtpScript().Reply("331 Password required"));
        peer.On("PASS", FtpScript().Reply("230 Logged in"));
        control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
        ASSERT_TRUE(RunUntilEvent("CommandDone(0,Connect,"));
        ASSERT_EQ(control.IsIdle(), True);
        recorder.Clear();
        peer.lines.clear();
    }

    asio::io_context io;
    AsioPlatform platform{io};
    ScriptedFtpPeer peer{io};
    EventRecorder recorder;
    tarsel control{platform};
};

// ---- opening the connection and logging in

TEST_F(ControlLoopbackTest, LoginDialogueRunsOverTcpAndEndsIdle) {
    peer.On("USER", FtpScript().Reply("331 Password required"));
    peer.On("PASS", FtpScript().Reply("230 Logged in"));

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_EQ(peer.received, "USER anonymous\r\nPASS guest@\r\n");
    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220 scripted peer ready)",
                            "Trace(Connect>>USER anonymous)", "Trace(331 Password required)",
                            "Trace(Connect>>PASS ***)", "Trace(230 Logged in)",
                            "CommandDone(0,Connect,Logged in)"));
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_EQ(control.get_Label1(), u"Received 230 Logged in\r\n");
}

TEST_F(ControlLoopbackTest, RefusedLoginKeepsTheConnectionForAnotherLogin) {
    peer.Next(FtpScript().Reply("530 Not this user"));
    peer.Next(FtpScript().Reply("331 Password required"));
    peer.Next(FtpScript().Reply("332 Account required"));
    peer.Next(FtpScript().Reply("230 Logged in"));
    control.put_Account(u"acct1");

    control.Connect(u"127.0.0.1", u"nosuchuser", u"x");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    // The refusal leaves the connection open and idle: nothing more happens on its own.
    testing::RunFor(io, 200ms);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(530,Connect,Not this user)"));
    EXPECT_FALSE(peer.clientClosed);
    EXPECT_EQ(control.IsIdle(), True);

    control.Login(u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("CommandDone(0,User,"));
    EXPECT_THAT(peer.lines,
                ElementsAre("USER nosuchuser", "USER anonymous", "PASS guest@", "ACCT acct1"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(530,Connect,Not this user)",
                            "CommandDone(0,User,Logged in)"));
}

TEST_F(ControlLoopbackTest, RefusedConnectionReportsTheSocketErrorThenAcceptsANewConnect) {
    asio::io_context other;
    control.put_port(testing::ClosedPort(other));

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    const std::string expected = "DisConnected(" + std::to_string(ECONNREFUSED) + "," +
                                 std::system_category().message(ECONNREFUSED) + "(connect))";
    EXPECT_THAT(recorder.events, ElementsAre(expected));
    EXPECT_EQ(control.get_FtpCommand(), u"");
    EXPECT_EQ(control.IsIdle(), False);

    // The failed attempt leaves no state behind that would spoil the next connection.
    recorder.Clear();
    control.put_port(peer.Port());
    peer.On("USER", FtpScript().Reply("230 Logged in"));
    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(0,Connect,Logged in)"));
}

TEST_F(ControlLoopbackTest, ServerClosingMidDialogueEndsWithAPlainDisConnected) {
    peer.On("USER", FtpScript().Close());

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220 scripted peer ready)",
                            "Trace(Connect>>USER anonymous)", "DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_EQ(control.get_Label1(), u"Closed");
}

TEST_F(ControlLoopbackTest, ServerResettingMidDialogueReportsTheReadError) {
    peer.On("USER", FtpScript().Reset());

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    const std::string expected = "DisConnected(" + std::to_string(ECONNRESET) + "," +
                                 std::system_category().message(ECONNRESET) + "(read))";
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected", expected));
}

TEST_F(ControlLoopbackTest, LocalhostIsResolvedByTheLoopNotByTheCall) {
    peer.On("USER", FtpScript().Reply("230 Logged in"));

    const auto before = std::chrono::steady_clock::now();
    control.Connect(u"localhost", u"anonymous", u"guest@");
    const auto spent = std::chrono::steady_clock::now() - before;

    // Nothing of the connection has happened yet: only running the loop moves it on.
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    EXPECT_FALSE(peer.accepted);
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_LT(spent, 100ms);

    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(0,Connect,Logged in)"));
    EXPECT_THAT(peer.lines, ElementsAre("USER anonymous"));
}

// ---- replies as TCP delivers them

TEST_F(ControlLoopbackTest, RepliesSplitIntoPiecesAreReadAsWholeLines) {
    // The line end itself is split between CR and LF.
    peer.Greeting(FtpScript().Pieces({"2", "20 split ", "greeting\r", "\n"}));
    peer.On("USER", FtpScript().Pieces({"331-first line\r\n331", "-second\r\n33", "1 last\r\n"}));
    // Continuation and final line in one write: one reply, interpreted once.
    peer.On("PASS", FtpScript().Raw("230-one\r\n230 two\r\n"));

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_THAT(peer.lines, ElementsAre("USER anonymous", "PASS guest@"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220 split greeting)",
                            "Trace(Connect>>USER anonymous)", "Trace(331-first line)",
                            "Trace(331-second)", "Trace(331 last)", "Trace(Connect>>PASS ***)",
                            "Trace(230-one)", "Trace(230 two)", "CommandDone(0,Connect,two)"));
}

TEST_F(ControlLoopbackTest, JapaneseReplyCutInsideACharacterIsJoinedAcrossReads) {
    // "日本" in EUC-JP (the default system code): C6 FC CB DC, cut after the first byte.
    peer.Greeting(FtpScript().Pieces({"220 \xC6", "\xFC\xCB\xDC\r\n"}));
    peer.On("USER", FtpScript().Reply("230 ok"));

    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220 日本)", "Trace(Connect>>USER anonymous)",
                            "Trace(230 ok)", "CommandDone(0,Connect,ok)"));
}

// ---- ending the connection

TEST_F(ControlLoopbackTest, DisConnectSendsQuitThenReportsTheServersClose) {
    ASSERT_NO_FATAL_FAILURE(LogIn());
    peer.On("QUIT", FtpScript().Reply("221 Goodbye").Close());

    control.DisConnect();
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    EXPECT_THAT(peer.lines, ElementsAre("QUIT"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(DisConnect>>QUIT)", "Trace(221 Goodbye)",
                            "CommandDone(0,DisConnect,Goodbye)", "DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

// An exception from a host handler is not swallowed: once the control has finished its step
// it leaves io_context::run(), as one from any Asio handler would. The loop can then be run
// again, and the control goes on from a consistent state.
TEST_F(ControlLoopbackTest, AnExceptionFromAHandlerLeavesTheLoopAfterTheControlsStep) {
    peer.On("USER", FtpScript().Reply("331 Password required"));
    peer.On("PASS", FtpScript().Reply("230 Logged in"));
    peer.On("QUIT", FtpScript().Reply("221 Goodbye").Close());
    recorder.onCommandDone = [](Integer, const String& op, const String&) {
        if (op == u"Connect") throw std::runtime_error("host bug");
    };
    control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
    std::string caught;
    try {
        RunUntilEvent("DisConnected", 2s);
    } catch (const std::runtime_error& e) {
        caught = e.what();
        EXPECT_EQ(control.IsIdle(), True) << "the login ended before the exception came out";
    }
    EXPECT_EQ(caught, "host bug");
    recorder.onCommandDone = nullptr;
    control.DisConnect();
    ASSERT_TRUE(RunUntilEvent("DisConnected"));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected", "CommandDone(0,Connect,Logged in)",
                                                       "CommandDone(0,DisConnect,Goodbye)",
                                                       "DisConnected(0,)"));
}

TEST_F(ControlLoopbackTest, ResetAfterQuitStillEndsWithAPlainDisConnected) {
    ASSERT_NO_FATAL_FAILURE(LogIn());
    peer.On("QUIT", FtpScript().Reply("221 Goodbye").Pause(50ms).Reset());

    control.DisConnect();
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("CommandDone(0,DisConnect,Goodbye)", "DisConnected(0,)"));
}

TEST_F(ControlLoopbackTest, AbendClosesAtOnceAndTheServerSeesTheClose) {
    ASSERT_NO_FATAL_FAILURE(LogIn());

    control.Abend();
    // The control's own close is reported during the call.
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(0,)"));
    ASSERT_TRUE(testing::RunUntil(io, [&] { return peer.clientClosed; }, 2s));
    EXPECT_THAT(peer.lines, IsEmpty());
}

// ---- active mode: the peer connects to the control's listener

TEST_F(ControlLoopbackTest, ActiveDownloadAnnouncesTheListenerAndTakesTheServersConnection) {
    ASSERT_NO_FATAL_FAILURE(LogIn());
    peer.On("TYPE", FtpScript().Reply("200 Type set"));
    peer.On("PORT", FtpScript().Reply("200 PORT command successful"));
    peer.On("RETR", FtpScript()
                        .Reply("150 Opening BINARY mode data connection")
                        .ActiveConnect()
                        .DataSend("active bytes")
                        .DataClose()
                        .Pause(50ms)
                        .Reply("226 Transfer complete"));

    control.GetFile(u"remote.bin", u"local.bin");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    ASSERT_EQ(peer.lines.size(), 3u);
    EXPECT_EQ(peer.lines[0], "TYPE I");
    EXPECT_THAT(peer.lines[1], ::testing::MatchesRegex("PORT 127,0,0,1,[0-9]+,[0-9]+"));
    EXPECT_EQ(peer.lines[2], "RETR remote.bin");
    EXPECT_TRUE(peer.dataAccepted);
    EXPECT_EQ(recorder.received, "active bytes");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", "GetData(12)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)"));
}

// ---- passive data connections from the peer's data listener

class PassiveTransferTest : public ControlLoopbackTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(LogIn());
        control.put_Passive(True);
        peer.On("TYPE", FtpScript().Reply("200 Type set"));
        peer.On("PASV", FtpScript().PassiveReply());
    }

    /// The recorded events other than traces and GetData, and the number of GetData events.
    std::pair<std::vector<std::string>, int> WithoutGetData() const {
        std::vector<std::string> rest;
        int gets = 0;
        for (const auto& e : recorder.NonTraceEvents()) {
            if (e.rfind("GetData(", 0) == 0) {
                ++gets;
                // GetData may only come between the open and the close.
                EXPECT_TRUE(!rest.empty() && rest.back().rfind("GetOpen", 0) == 0) << e;
            } else {
                rest.push_back(e);
            }
        }
        return {rest, gets};
    }
};

TEST_F(PassiveTransferTest, DownloadWithTheFinalReplyAfterTheDataClose) {
    const std::string file = testing::Pattern(1 << 20, 7);
    peer.On("RETR", FtpScript()
                        .Reply("150 Opening BINARY mode data connection")
                        .AwaitData()
                        .DataSend(file.substr(0, 1000))
                        .Pause(30ms)
                        .DataSend(file.substr(1000))
                        .DataClose()
                        .Pause(50ms)
                        .Reply("226 Transfer complete"));

    control.GetFile(u"remote.bin", u"local.bin");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_THAT(peer.lines, ElementsAre("TYPE I", "PASV", "RETR remote.bin"));
    EXPECT_EQ(recorder.received.size(), file.size());
    EXPECT_TRUE(recorder.received == file);
    const auto [events, gets] = WithoutGetData();
    EXPECT_THAT(events, ElementsAre("GetOpen(local.bin)", "GetClose",
                                    "CommandDone(0,GetFile,Transfer complete)"));
    EXPECT_GE(gets, 2);
    EXPECT_EQ(control.IsIdle(), True);
}

TEST_F(PassiveTransferTest, DownloadWithTheFinalReplyBeforeTheDataClose) {
    peer.On("RETR", FtpScript()
                        .Reply("150 Opening BINARY mode data connection")
                        .AwaitData()
                        .DataSend("hello, world")
                        .Pause(30ms)
                        .Reply("226 Transfer complete")
                        .Pause(100ms)
                        .DataClose());

    control.GetFile(u"remote.bin", u"local.bin");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_EQ(recorder.received, "hello, world");
    // The kept final reply waits for the close: GetClose still comes first.
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", "GetData(12)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(PassiveTransferTest, ListingLinesAreCutAcrossReads) {
    peer.On("LIST", FtpScript()
                        .Reply("150 Here comes the directory listing")
                        .AwaitData()
                        .DataSend("a.txt\r\nbi")
                        .Pause(30ms)
                        .DataSend("n\r")
                        .Pause(30ms)
                        .DataSend("\nlast")
                        .DataClose()
                        .Pause(50ms)
                        .Reply("226 Directory send OK"));

    control.Dir();
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_THAT(peer.lines, ElementsAre("TYPE A", "PASV", "LIST"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(a.txt)", "DirData(bin)", "DirData(last)",
                            "DirClose", "CommandDone(0,Dir,Directory send OK)"));
}

TEST_F(PassiveTransferTest, UploadSendsEveryBlockAndEndsWithTheServersReply) {
    const std::string first = testing::Pattern(100000, 3), second = "tail bytes";
    recorder.QueueUpload(first);
    recorder.QueueUpload(second);
    peer.On("STOR", FtpScript()
                        .Reply("150 Ok to send data")
                        .AwaitData()
                        .AwaitDataClosed()
                        .Reply("226 Transfer complete"));

    control.PutFile(u"remote.bin", u"local.bin");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_THAT(peer.lines, ElementsAre("TYPE I", "PASV", "STOR remote.bin"));
    EXPECT_TRUE(peer.dataReceived == first + second);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("PutOpen(local.bin)", "PutData", "PutData", "PutData", "PutClose",
                            "CommandDone(0,PutFile,Transfer complete)"));
}

TEST_F(PassiveTransferTest, DownloadRefusedAfterTheDataConnectionOpenedClosesTheHostSideFirst) {
    // The server takes the data connection, then finds it cannot send the file.
    peer.On("RETR", FtpScript().AwaitData().Pause(20ms).Reply("550 Failed to open file"));

    control.GetFile(u"missing.bin", u"local.bin");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    // The refusal closes the data connection at once, so the host's open is matched by a
    // close before it learns the code.
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", "GetClose",
                            "CommandDone(550,GetFile,Failed to open file)"));
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_TRUE(testing::RunUntil(io, [&] { return peer.dataClientClosed; }, 2s));
}

}  // namespace
}  // namespace tarselctl
