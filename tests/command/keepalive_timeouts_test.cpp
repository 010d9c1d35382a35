// The one-second ticks: the keep-alive NOOP on an idle connection, and the time-outs of the
// control connection, the passive data connection and a silent transfer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class KeepAlive : public ControlTest {};

TEST_F(KeepAlive, NoopTimeOneSendsNoopOnTheSecondTickAfterEachCompletion) {
    control.put_NoopTime(1);
    ConnectAndLogin();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ClearLogs();
        EXPECT_TRUE(t1().Tick());
        EXPECT_THAT(s1().SentLines(), IsEmpty());
        EXPECT_TRUE(t1().Tick());
        EXPECT_THAT(s1().SentLines(), ElementsAre("NOOP"));
        EXPECT_EQ(control.get_FtpCommand(), u"Noop");
        EXPECT_EQ(control.IsIdle(), False);
        EXPECT_FALSE(t1().enabled);
        EXPECT_EQ(tarselInspector::NoopCountdown(control), -1);
        EXPECT_THAT(s1().SentLines(), ElementsAre("NOOP"));
        Reply("200 NOOP ok");
        EXPECT_THAT(recorder.events,
                    ElementsAre("Trace(Noop>>NOOP)", "Trace(200 NOOP ok)", "CommandDone(0,Noop,NOOP ok)"));
        EXPECT_TRUE(t1().enabled);
        EXPECT_EQ(tarselInspector::NoopCountdown(control), 1);
    }
}

TEST_F(KeepAlive, AMethodCalledDuringTheKeepAliveIsRefused) {
    control.put_NoopTime(1);
    ConnectAndLogin();
    t1().TickN(2);
    EXPECT_THROW(control.Pwd(), AutomationError);
    try {
        control.Cd(u"x");
        FAIL() << "Cd was accepted while NOOP runs";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 17);
        EXPECT_EQ(e.Source(), u"Cd");
    }
    EXPECT_THAT(s1().SentLines(), ElementsAre("NOOP"));
}

TEST_F(KeepAlive, NoopTimeZeroWhileIdleStopsItAtOnce) {
    control.put_NoopTime(1);
    ConnectAndLogin();
    ASSERT_TRUE(t1().enabled);
    control.put_NoopTime(0);
    EXPECT_FALSE(t1().enabled);
    EXPECT_EQ(tarselInspector::NoopCountdown(control), -1);
    t1().TickN(5);
    EXPECT_THAT(s1().SentLines(), IsEmpty());
}

TEST_F(KeepAlive, NoopTimeWrittenWhileBusyWaitsForTheCompletion) {
    ConnectAndLogin();
    control.Pwd();
    control.put_NoopTime(1);
    EXPECT_FALSE(t1().enabled);
    EXPECT_EQ(t1().TickN(5), 0);
    Reply("257 \"/\"");
    EXPECT_TRUE(t1().enabled);
    EXPECT_EQ(tarselInspector::NoopCountdown(control), 1);
}

TEST_F(KeepAlive, AHostCallStopsTheCountdownAndItsCompletionStartsItAfresh) {
    control.put_NoopTime(2);
    ConnectAndLogin();
    t1().Tick();
    EXPECT_EQ(tarselInspector::NoopCountdown(control), 1);
    control.Pwd();
    EXPECT_FALSE(t1().enabled);
    Reply("257 \"/\"");
    EXPECT_EQ(tarselInspector::NoopCountdown(control), 2);
    t1().TickN(2);
    EXPECT_THAT(s1().SentLines(), ElementsAre("PWD"));
    t1().Tick();
    EXPECT_THAT(s1().SentLines(), ElementsAre("PWD", "NOOP"));
}

TEST_F(KeepAlive, TheConnectionsCloseStopsTheKeepAlive) {
    control.put_NoopTime(1);
    ConnectAndLogin();
    s1().Close();
    EXPECT_FALSE(t1().enabled);
    EXPECT_EQ(t1().TickN(3), 0);
    EXPECT_THAT(s1().SentLines(), IsEmpty());
}

// ---- the control connection's time-out

class ControlConnectTimeout : public ControlTest {};

class ConnectTimeout : public ControlTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConnectTimeout, FiveClosesTheConnectionOnTheSixthTick) {
    control.TraceOn = GetParam() ? True : False;
    control.put_ConnectTimeout(5);
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_EQ(t2().TickN(5), 5);
    EXPECT_THAT(recorder.events, IsEmpty());
    EXPECT_EQ(s1().state(), FakeSoquet::State::Connecting);
    t2().Tick();
    std::vector<std::string> want;
    if (control.TraceOn != False) want.push_back("Trace(---timer2:timeout:1)");
    want.push_back("DisConnected(-1,connect timeout(timer))");
    EXPECT_THAT(recorder.events, ::testing::ElementsAreArray(want));
    EXPECT_EQ(s1().state(), FakeSoquet::State::Idle);
    EXPECT_FALSE(t2().enabled);
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

INSTANTIATE_TEST_SUITE_P(TraceOnAndOff, ConnectTimeout, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "TraceOn" : "TraceOff"; });

TEST_F(ControlConnectTimeout, ConnectTimeoutZeroWaitsWithoutLimit) {
    control.put_ConnectTimeout(0);
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_FALSE(t2().enabled);
    EXPECT_EQ(tarselInspector::TimeoutKind(control), 1);
    EXPECT_EQ(t2().TickN(1000), 0);
    s1().Connect();
    Reply("220 ready");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected"));
}

TEST_F(ControlConnectTimeout, TheConnectionComingUpStopsTheTimeOut) {
    control.put_ConnectTimeout(2);
    control.Connect(u"ftp.example", u"user", u"pw");
    t2().TickN(2);
    s1().Connect();
    EXPECT_FALSE(t2().enabled);
    t2().TickN(5);
    EXPECT_EQ(s1().state(), FakeSoquet::State::Connected);
}

TEST_F(ControlConnectTimeout, AFailedConnectLeavesNoCountdownBehind) {
    control.put_ConnectTimeout(5);
    s1().throwOnConnect = true;
    try {
        control.Connect(u"ftp.example", u"user", u"pw");
        FAIL() << "Connect did not raise";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 10061);
        EXPECT_EQ(e.Source(), u"TARSEL_Connect()");
    }
    EXPECT_FALSE(t2().enabled);
    ClearLogs();
    t2().TickN(6);
    EXPECT_THAT(recorder.events, IsEmpty());

    // The next connection starts clean: its own close reports no time-out.
    s1().throwOnConnect = false;
    ConnectAndLogin();
    s1().Close();
    EXPECT_THAT(recorder.events, ElementsAre("DisConnected(0,)"));
}

TEST_F(ControlConnectTimeout, TheNextConnectReArmsTheCountdownOfAFailedOne) {
    control.put_ConnectTimeout(5);
    s1().throwOnConnect = true;
    EXPECT_THROW(control.Connect(u"ftp.example", u"user", u"pw"), AutomationError);
    t2().TickN(3);
    s1().throwOnConnect = false;
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_EQ(tarselInspector::TimeoutCountdown(control), 5);
    EXPECT_EQ(t2().TickN(5), 5);
    EXPECT_EQ(s1().state(), FakeSoquet::State::Connecting);
    t2().Tick();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(-1,connect timeout(timer))"));
}

// ---- the data connection's time-outs

class DataTimeouts : public ControlTest {
protected:
    void SetUp() override { ConnectAndLogin(); }

    /// A download up to the transfer command, with its 150 reply.
    void StartGet(bool passive) {
        control.put_Passive(passive ? True : False);
        control.GetFile(u"f");
        Reply("200 Type set");
        Reply(passive ? "227 Entering Passive Mode (127,0,0,1,39,16)" : "200 PORT ok");
        Reply("150 Opening");
    }
    void OpenData(bool passive) {
        if (!passive) s2().AcceptRequest(5);
        s3().Connect();
    }
};

TEST_F(DataTimeouts, APassiveDataConnectionThatNeverOpensTimesOutAfterConnectTimeoutPlusOneTicks) {
    control.put_ConnectTimeout(3);
    StartGet(true);
    EXPECT_EQ(tarselInspector::TimeoutKind(control), 2);
    EXPECT_EQ(t2().TickN(3), 3);
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    platform.calls.clear();
    t2().Tick();
    EXPECT_THAT(platform.calls, ElementsAre("Soquet3.CloseSocket"));
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("TransError(-1,connect timeout,timer)"));
    EXPECT_EQ(recorder.events.end()[-2], "Trace(---timer2:timeout:2)");
    Reply("425 Can't open data connection");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-1,connect timeout,timer)",
                            "CommandDone(425,GetFile,Can't open data connection)"));
}

TEST_F(DataTimeouts, ConnectTimeoutZeroLetsAPassiveDataConnectionWaitWithoutLimit) {
    control.put_ConnectTimeout(0);
    StartGet(true);
    EXPECT_FALSE(t2().enabled);
    EXPECT_EQ(t2().TickN(100), 0);
    s3().Connect();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen()"));
}

TEST_F(DataTimeouts, ActiveModeArmsNoDataConnectTimeOutAndTheTransferOneStartsAtOpen) {
    control.put_ConnectTimeout(2);
    control.put_TransTimeout(3);
    StartGet(false);
    EXPECT_FALSE(t2().enabled);
    EXPECT_EQ(t2().TickN(50), 0);
    OpenData(false);
    EXPECT_TRUE(t2().enabled);
    EXPECT_EQ(tarselInspector::TimeoutKind(control), 3);
    EXPECT_EQ(tarselInspector::TimeoutCountdown(control), 3);
}

TEST_F(DataTimeouts, TheDataConnectionOpeningReplacesTheConnectTimeOutByTheTransferOne) {
    control.put_ConnectTimeout(2);
    control.put_TransTimeout(6);
    StartGet(true);
    t2().TickN(2);
    OpenData(true);
    EXPECT_EQ(tarselInspector::TimeoutKind(control), 3);
    EXPECT_EQ(t2().TickN(6), 6);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen()"));
}

class TransTimeout : public DataTimeouts, public ::testing::WithParamInterface<bool> {};

TEST_P(TransTimeout, DataEveryTwoTicksNeverExpiresAPauseOfFourDoes) {
    const bool passive = GetParam();
    control.put_TransTimeout(3);
    StartGet(passive);
    OpenData(passive);
    for (int i = 0; i < 10; ++i) {
        t2().TickN(2);
        s3().Receive("xy");
    }
    EXPECT_EQ(recorder.NonTraceEvents().size(), 11u) << "GetOpen and ten GetData, no TransError";
    recorder.Clear();
    EXPECT_EQ(t2().TickN(3), 3);
    EXPECT_THAT(recorder.events, IsEmpty());
    t2().Tick();
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(---timer2:timeout:3)", "TransError(-2,trans timeout,timer)", "GetClose"));
    EXPECT_EQ(control.IsIdle(), False);
    Reply("426 Transfer aborted");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("TransError(-2,trans timeout,timer)", "GetClose",
                                                       "CommandDone(426,GetFile,Transfer aborted)"));
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransTimeout, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST_F(DataTimeouts, TransTimeoutSetToZeroMidTransferExpiresOnTheTickAfterTheNextArrival) {
    control.put_TransTimeout(3);
    StartGet(true);
    OpenData(true);
    control.put_TransTimeout(0);
    t2().Tick();
    EXPECT_EQ(tarselInspector::TimeoutCountdown(control), 2) << "the running countdown goes on";
    s3().Receive("x");
    EXPECT_EQ(tarselInspector::TimeoutCountdown(control), 0);
    recorder.Clear();
    t2().Tick();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("TransError(-2,trans timeout,timer)", "GetClose"));
}

TEST_F(DataTimeouts, WithTraceOffOnlyTheTimeoutTraceIsMissing) {
    control.TraceOn = False;
    control.put_TransTimeout(1);
    StartGet(true);
    OpenData(true);
    recorder.Clear();
    t2().TickN(2);
    EXPECT_THAT(recorder.events, ElementsAre("TransError(-2,trans timeout,timer)", "GetClose"));
    Reply("426 aborted");
    EXPECT_EQ(recorder.events.end()[-2], "Trace(426 aborted)") << "reply traces are not gated";
}

TEST_F(DataTimeouts, TheDataConnectionClosingStopsTheTransferTimeOut) {
    control.put_TransTimeout(2);
    StartGet(true);
    OpenData(true);
    s3().Close();
    EXPECT_FALSE(t2().enabled);
    EXPECT_EQ(t2().TickN(5), 0);
    Reply("226 done");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen()", "GetClose", "CommandDone(0,GetFile,done)"));
}

}  // namespace
}  // namespace tarselctl
