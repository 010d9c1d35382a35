// Bounded waits for the server: ReplyTimeout on the control connection, the wait for the final
// reply after a data-connection time-out, and the active-mode listener after the final reply.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kReplyTimeout = "DisConnected(-1,reply timeout(timer))";
// What comes first when the time-out ends the connection under a running operation.
constexpr const char* kLost = "TransError(-7,connection lost,control)";

class ReplyTimeoutTest : public ControlTest {
protected:
    /// Ticks Timer2 `n` times and says whether the connection is still there afterwards.
    bool SurvivesTicks(int n) {
        for (int i = 0; i < n; ++i) t2().Tick();
        return s1().state() == FakeSoquet::State::Connected;
    }
};

TEST_F(ReplyTimeoutTest, ASilentGreetingClosesTheConnectionAfterReplyTimeoutPlusOneTicks) {
    control.put_ReplyTimeout(3);
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    EXPECT_TRUE(SurvivesTicks(3));
    EXPECT_FALSE(SurvivesTicks(1));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected", kReplyTimeout));
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

// Each line sent starts the wait again; a complete reply ends it. Lines that complete no
// reply (the middle of a multi-line reply that never ends, preliminary replies, bare-CR
// "lines") do not: a server cannot hold the host by talking without answering.
TEST_F(ReplyTimeoutTest, OnlyACompleteReplyEndsTheWait) {
    control.put_ReplyTimeout(3);
    ConnectAndLogin();
    EXPECT_FALSE(t2().enabled) << "nothing is due while idle";
    control.Pwd();
    t2().TickN(2);
    Reply("257-start");
    t2().Tick();
    Reply("150 still thinking");
    s1().Receive("257 x\r257 y\r");
    EXPECT_FALSE(SurvivesTicks(1));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre(kLost, "CommandDone(-1,Pwd,reply timeout(timer))", kReplyTimeout));
}

TEST_F(ReplyTimeoutTest, ARepliedCommandLeavesNothingCounting) {
    control.put_ReplyTimeout(2);
    ConnectAndLogin();
    control.Cd(u"/pub");
    t2().TickN(2);
    Reply("250 ok");  // PWD goes out: the wait starts again
    t2().TickN(2);
    Reply("257 \"/pub\"");
    EXPECT_FALSE(t2().enabled);
    EXPECT_TRUE(SurvivesTicks(10));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Cd,\"/pub\")"));
}

TEST_F(ReplyTimeoutTest, ZeroWaitsWithoutLimitAsBefore) {
    ConnectAndLogin();
    control.Pwd();
    EXPECT_FALSE(t2().enabled);
    EXPECT_EQ(t2().TickN(100), 0);
}

// While data flows the transfer time-out watches it, however long the transfer takes; the
// final reply is due once the data connection has closed.
TEST_F(ReplyTimeoutTest, APassiveTransferIsNotCutByTheReplyWaitButItsFinalReplyIs) {
    control.put_ReplyTimeout(2);
    control.put_Passive(True);
    ConnectAndLogin();
    control.GetFile(u"f");
    Reply("200 Type set");
    Reply("227 Entering Passive Mode (127,0,0,1,39,16)");
    Reply("150 Opening");
    s3().Connect();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(SurvivesTicks(1));
        s3().Receive("data");
    }
    s3().Close();
    EXPECT_TRUE(SurvivesTicks(2));
    EXPECT_FALSE(SurvivesTicks(1));
    EXPECT_EQ(recorder.NonTraceEvents().back(), kReplyTimeout);
}

// After a data-connection time-out, a server that never sends the final reply no longer holds
// the host: with ReplyTimeout 0 the wait is as long as the time-out that fired.
TEST_F(ReplyTimeoutTest, AfterATransferTimeOutTheFinalReplyIsAwaitedAsLongAsThatTimeOut) {
    control.put_TransTimeout(2);
    control.put_Passive(True);
    ConnectAndLogin();
    control.GetFile(u"f");
    Reply("200 Type set");
    Reply("227 Entering Passive Mode (127,0,0,1,39,16)");
    Reply("150 Opening");
    s3().Connect();
    t2().TickN(3);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen()", "TransError(-2,trans timeout,timer)", "GetClose"));
    EXPECT_TRUE(SurvivesTicks(2));
    EXPECT_FALSE(SurvivesTicks(1));
    EXPECT_EQ(recorder.NonTraceEvents().back(), kReplyTimeout);
}

TEST_F(ReplyTimeoutTest, AfterADataConnectTimeOutTheFinalReplyStillEndsTheOperation) {
    control.put_ConnectTimeout(1);
    control.put_Passive(True);
    ConnectAndLogin();
    control.Dir();
    Reply("200 Type set");
    Reply("227 Entering Passive Mode (127,0,0,1,39,16)");
    t2().TickN(2);
    t2().Tick();
    Reply("425 No data connection");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-1,connect timeout,timer)", "CommandDone(425,Dir,No data connection)"));
    EXPECT_FALSE(t2().enabled);
}

// Active mode: the server has answered the transfer command but never connected to the
// listener. It never will: from that reply on the data-connect time-out runs.
TEST_F(ReplyTimeoutTest, ActiveFinalReplyWithoutADataConnectionArmsTheConnectTimeOut) {
    control.put_ConnectTimeout(2);
    ConnectAndLogin();
    control.GetFile(u"f", u"l");
    Reply("200 Type set");
    Reply("200 PORT ok");
    Reply("150 Opening");
    EXPECT_FALSE(t2().enabled) << "before the final reply the server may take any time";
    Reply("226 Transfer complete");
    EXPECT_EQ(tarselInspector::TimeoutKind(control), 2);
    EXPECT_EQ(t2().TickN(2), 2);
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    t2().Tick();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-1,connect timeout,timer)", "CommandDone(0,GetFile,Transfer complete)"));
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(s2().state(), FakeSoquet::State::Idle) << "the listener is closed";
}

TEST_F(ReplyTimeoutTest, ActiveFinalReplyWithConnectTimeoutZeroWaitsAsTheHostChose) {
    ConnectAndLogin();
    control.GetFile(u"f", u"l");
    Reply("200 Type set");
    Reply("200 PORT ok");
    Reply("226 Transfer complete");
    EXPECT_FALSE(t2().enabled);
    s2().AcceptRequest(3);
    s3().Connect();
    s3().Receive("abc");
    s3().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(3)", "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
}

// A data connection that comes up while no transfer command runs (a quoted PORT) is closed
// unused; the reply still due keeps its wait, so a server that then falls silent is not
// waited for without end.
TEST_F(ReplyTimeoutTest, AnUnwantedDataConnectionLeavesTheReplyWaitRunning) {
    control.put_ReplyTimeout(2);
    ConnectAndLogin();
    control.QuoteCommand(u"XPRT");
    s2().AcceptRequest(3);
    s3().Connect();
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_TRUE(SurvivesTicks(2));
    EXPECT_FALSE(SurvivesTicks(1));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre(kLost, "CommandDone(-1,Quote,reply timeout(timer))", kReplyTimeout));
}

}  // namespace
}  // namespace tarselctl
