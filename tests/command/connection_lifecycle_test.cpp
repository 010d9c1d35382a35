// Opening, logging in on, quitting and dropping the control connection, as transcripts: the
// server's scripted replies, then the exact lines sent and the exact events raised.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tarsel/automation.h>
#include <tarsel/property_bag.h>

#include "command/raised_error.h"
#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using I = tarselInspector;

class ConnectionLifecycleTest : public ControlTest {};

TEST_F(ConnectionLifecycleTest, ConnectQueuesPreCommandsMarkerAndUserBeforeAnyReply) {
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_THAT(I::Queue(control), ElementsAre(u"USER user"));
    EXPECT_EQ(I::InPreCommand(control), False);
    EXPECT_THAT(platform.calls, ElementsAre("Soquet1.ConnectTo(ftp.example,21,0)"));
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_EQ(control.IsIdle(), False);
    control.Abend();

    control.put_PreCommand(u"SITE A\r\n  SITE B\r\n");
    control.put_port(u"2121");
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_THAT(I::Queue(control), ElementsAre(u"SITE A", u"SITE B", u"EXPC", u"USER user"));
    EXPECT_EQ(I::InPreCommand(control), True);
    EXPECT_EQ(platform.calls.back(), "Soquet1.ConnectTo(ftp.example,2121,0)");
    // Nothing goes out before the server's greeting.
    EXPECT_THAT(s1().sent, IsEmpty());
}

TEST_F(ConnectionLifecycleTest, PreCommandOfMoreThanSixteenBitsOfLinesIsQueuedWhole) {
    String preCommand;
    for (int i = 0; i < 40000; ++i) preCommand += u"NOOP\r\n";
    control.put_PreCommand(preCommand);
    control.Connect(u"ftp.example", u"user", u"pw");
    ASSERT_EQ(I::Queue(control).size(), 40002u);
    EXPECT_EQ(I::Queue(control)[39999], u"NOOP");
    EXPECT_EQ(I::Queue(control)[40000], u"EXPC");
    EXPECT_EQ(I::Queue(control)[40001], u"USER user");
}

// The whole login: pre-command lines (a 331 among them goes unanswered), the marker, USER,
// PASS on 331 with the password masked in the trace only, ACCT on 332, and the end.
TEST_F(ConnectionLifecycleTest, WholeLoginDialogue) {
    control.put_PreCommand(u"SITE A\r\nSITE B");
    control.put_Account(u"acct");
    control.put_ConnectTimeout(5);
    control.Connect(u"ftp.example", u"user", u"secret");
    EXPECT_TRUE(t2().enabled);

    s1().Connect();
    EXPECT_FALSE(t2().enabled);
    EXPECT_THAT(recorder.events, ElementsAre("Connected"));

    Reply("220 hi");
    Reply("331 early");
    Reply("200 b");
    EXPECT_EQ(I::InPreCommand(control), False);
    Reply("331 pw");
    Reply("332 acct");
    Reply("230 in");

    EXPECT_THAT(s1().SentLines(),
                ElementsAre("SITE A", "SITE B", "USER user", "PASS secret", "ACCT acct"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220 hi)", "Trace(Connect>>SITE A)",
                            "Trace(331 early)", "Trace(Connect>>SITE B)", "Trace(200 b)",
                            "Trace(Connect>>USER user)", "Trace(331 pw)",
                            "Trace(Connect>>PASS ***)", "Trace(332 acct)",
                            "Trace(Connect>>ACCT acct)", "Trace(230 in)",
                            "CommandDone(0,Connect,in)"));
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_THAT(I::Queue(control), IsEmpty());
}

// A refusal at each step of the login in turn: the operation ends with the refusal's code,
// nothing more is sent, the connection stays open and idle, and Login works afterwards.
class LoginRefusalSweep : public ControlTest, public ::testing::WithParamInterface<int> {};

TEST_P(LoginRefusalSweep, RefusalEndsTheLoginAndLeavesTheConnectionIdle) {
    const int failAt = GetParam();
    struct Step {
        const char* accept;
        const char* refuse;
        const char* lineSentAfterAccept;
    };
    const Step steps[] = {
        {"220 hi", "421 busy", "SITE A"},   {"200 a", "500 no a", "SITE B"},
        {"200 b", "501 no b", "USER user"}, {"331 pw", "530 no user", "PASS pw"},
        {"332 acct", "530 no pass", "ACCT acct"}, {"230 in", "532 no acct", nullptr},
    };
    control.put_PreCommand(u"SITE A\r\nSITE B");
    control.put_Account(u"acct");
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();

    std::vector<std::string> expectedSent, expectedEvents{"Connected"};
    for (int i = 0; i < failAt; ++i) {
        Reply(steps[i].accept);
        expectedSent.push_back(steps[i].lineSentAfterAccept);
        expectedEvents.push_back(std::string("Trace(") + steps[i].accept + ")");
        const std::string traced =
            expectedSent.back().rfind("PASS", 0) == 0 ? "PASS ***" : expectedSent.back();
        expectedEvents.push_back("Trace(Connect>>" + traced + ")");
    }
    const std::string refusal = steps[failAt].refuse;
    Reply(refusal);
    expectedEvents.push_back("Trace(" + refusal + ")");
    expectedEvents.push_back("CommandDone(" + refusal.substr(0, 3) + ",Connect," +
                             refusal.substr(4) + ")");

    EXPECT_THAT(s1().SentLines(), ElementsAreArray(expectedSent));
    EXPECT_THAT(recorder.events, ElementsAreArray(expectedEvents));
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_THAT(I::Queue(control), IsEmpty());
    EXPECT_EQ(s1().state(), FakeSoquet::State::Connected);
    // A refused pre-command line leaves the marker unreached until the next Connect.
    EXPECT_EQ(I::InPreCommand(control), failAt <= 2 ? True : False);

    // The server says more: the dialogue is over, so nothing further is sent.
    const std::size_t sentBefore = s1().sent.size();
    Reply("200 late");
    EXPECT_EQ(s1().sent.size(), sentBefore);

    ClearLogs();
    control.Login(u"user2", u"pw2");
    EXPECT_EQ(control.get_FtpCommand(), u"User");
    if (failAt > 2) {
        Reply("331 pw");
        Reply("230 ok");
        EXPECT_THAT(s1().SentLines(), ElementsAre("USER user2", "PASS pw2"));
        EXPECT_THAT(recorder.events,
                    ElementsAre("Trace(User>>USER user2)", "Trace(331 pw)",
                                "Trace(User>>PASS ***)", "Trace(230 ok)",
                                "CommandDone(0,User,ok)"));
    } else {
        Reply("230 ok");
        EXPECT_THAT(s1().SentLines(), ElementsAre("USER user2"));
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,User,ok)"));
    }
    EXPECT_EQ(control.IsIdle(), True);
}

INSTANTIATE_TEST_SUITE_P(EachStep, LoginRefusalSweep, ::testing::Range(0, 6));

TEST_F(ConnectionLifecycleTest, LoginOnABusyOrUnconnectedControlIsRefused) {
    EXPECT_EQ(RaisedError([&] { control.Login(u"u", u"p"); }), "17|User|Not Idling");
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    EXPECT_EQ(RaisedError([&] { control.Login(u"u", u"p"); }), "17|User|Not Idling");
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_THAT(I::Queue(control), ElementsAre(u"USER user"));
    EXPECT_THAT(s1().sent, IsEmpty());
}

// Connect is refused while a connection is open or being opened, and changes nothing.
class ConnectWhileConnected : public ControlTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(ConnectWhileConnected, IsRefusedWithAlreadyConnected) {
    const std::string state = GetParam();
    control.Connect(u"ftp.example", u"user", u"pw");
    if (state != "connecting") {
        s1().Connect();
        Reply("220 hi");
    }
    if (state == "idle" || state == "running" || state == "quitting") {
        Reply("331 pw");
        Reply("230 ok");
    }
    if (state == "running") control.Pwd();
    if (state == "quitting") control.DisConnect();
    ClearLogs();
    const String ftpCommand = control.get_FtpCommand();
    const Boolean idle = control.IsIdle();
    const std::deque<String> queue = I::Queue(control);

    EXPECT_EQ(RaisedError([&] { control.Connect(u"other.example", u"u2", u"p2"); }),
              "59|Connect|AlreadyConnected");
    EXPECT_EQ(control.get_FtpCommand(), ftpCommand);
    EXPECT_EQ(control.IsIdle(), idle);
    EXPECT_EQ(I::Queue(control), queue);
    EXPECT_THAT(platform.calls, IsEmpty());
    EXPECT_THAT(recorder.events, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(States, ConnectWhileConnected,
                         ::testing::Values("connecting", "greeted", "idle", "running",
                                           "quitting"));

TEST_F(ConnectionLifecycleTest, AbendEndsTheConnectionAndConnectIsAcceptedRightAfter) {
    // Without any connection Abend only closes the socket.
    control.Abend();
    EXPECT_THAT(platform.calls, ElementsAre("Soquet1.CloseSocket"));
    EXPECT_THAT(recorder.events, IsEmpty());
    ClearLogs();

    control.Connect(u"ftp.example", u"user", u"pw");
    control.Abend();
    EXPECT_THAT(recorder.events, ElementsAre("DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    control.Abend();

    ConnectAndLogin();
    control.Pwd();
    control.Abend();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_EQ(control.get_Label1(), u"Closed");
    EXPECT_EQ(RaisedError([&] { control.Connect(u"ftp.example", u"user", u"pw"); }), "none");
}

// Abend, then Connect from inside the DisConnected event the close raises: the new
// connection's operation must survive the Abend that is still returning.
TEST_F(ConnectionLifecycleTest, ConnectInsideTheDisConnectedOfAnAbendKeepsItsOperation) {
    ConnectAndLogin();
    recorder.onDisConnected = [&](Long, const String&) {
        recorder.onDisConnected = nullptr;
        control.Connect(u"other.example", u"u2", u"p2");
    };
    control.Abend();
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_THAT(platform.calls,
                ElementsAre("Soquet1.CloseSocket", "Soquet2.CloseSocket", "Soquet3.CloseSocket",
                            "Soquet1.ConnectTo(other.example,21,0)"));

    s1().Connect();
    Reply("220 again");
    Reply("230 ok");
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER u2"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DisConnected(0,)", "Connected", "CommandDone(0,Connect,ok)"));
}

TEST_F(ConnectionLifecycleTest, DisConnectSendsQuitAndTheServersCloseEndsTheConnection) {
    ConnectAndLogin();
    control.DisConnect();
    EXPECT_EQ(control.get_FtpCommand(), u"DisConnect");
    Reply("221 bye");
    EXPECT_EQ(control.IsIdle(), True);
    s1().Close();

    EXPECT_THAT(s1().SentLines(), ElementsAre("QUIT"));
    EXPECT_THAT(recorder.events, ElementsAre("Trace(DisConnect>>QUIT)", "Trace(221 bye)",
                                             "CommandDone(0,DisConnect,bye)",
                                             "DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_EQ(control.get_Label1(), u"Closed");
}

TEST_F(ConnectionLifecycleTest, DisConnectOnABusyControl) {
    // No connection at all, or one still being opened: quietly nothing.
    EXPECT_EQ(RaisedError([&] { control.DisConnect(); }), "none");
    control.Connect(u"ftp.example", u"user", u"pw");
    ClearLogs();
    EXPECT_EQ(RaisedError([&] { control.DisConnect(); }), "none");
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_THAT(platform.calls, IsEmpty());

    // An open connection with an operation running: refused, and the operation goes on.
    s1().Connect();
    Reply("220 hi");
    ClearLogs();
    EXPECT_EQ(RaisedError([&] { control.DisConnect(); }), "17|DisConnect|Not Idling");
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_THAT(I::Queue(control), IsEmpty());
    EXPECT_THAT(s1().sent, IsEmpty());
    Reply("331 pw");
    EXPECT_THAT(s1().SentLines(), ElementsAre("PASS pw"));
}

// What DisConnected reports: the last socket error recorded before the close, none after
// DisConnect has queued QUIT, and nothing carried over to the next connection.
TEST_F(ConnectionLifecycleTest, DisConnectedCarriesTheLastErrorRecordedBeforeTheClose) {
    struct Case {
        const char* name;
        std::function<void()> beforeClose;
        const char* expected;
    };
    const Case cases[] = {
        {"nothing recorded", [] {}, "DisConnected(0,)"},
        {"one error", [&] { s1().Error(10054, u"Connection reset", u"recv"); },
         "DisConnected(10054,Connection reset(recv))"},
        {"the last of several",
         [&] {
             s1().Error(1, u"a", u"b");
             s1().Error(10060, u"Timed out", u"send");
         },
         "DisConnected(10060,Timed out(send))"},
        {"after DisConnect",
         [&] {
             control.DisConnect();
             s1().Error(10054, u"Connection reset", u"recv");
         },
         "DisConnected(0,)"},
        {"before DisConnect stays",
         [&] {
             s1().Error(10053, u"Aborted", u"recv");
             control.DisConnect();
             s1().Error(10054, u"Connection reset", u"recv");
         },
         "DisConnected(10053,Aborted(recv))"},
        {"a new Connect records again", [&] { s1().Error(7, u"x", u"y"); }, "DisConnected(7,x(y))"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectAndLogin();
        c.beforeClose();
        recorder.Clear();
        s1().Close();
        EXPECT_THAT(recorder.events, ElementsAre(c.expected));
        EXPECT_EQ(control.get_FtpCommand(), u"");
    }

    // A connection refused before it is up reports the refusal; the code is used once.
    recorder.Clear();
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Error(10061, u"Connection refused", u"connect");
    s1().Close();
    EXPECT_THAT(recorder.events, ElementsAre("DisConnected(10061,Connection refused(connect))"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
    ConnectAndLogin();
    s1().Close();
    EXPECT_THAT(recorder.events, ElementsAre("DisConnected(0,)"));
}

// A ConnectTo that fails at once reaches the host as an error of Connect, and the control
// is left with no connection, ready for the next Connect.
TEST_F(ConnectionLifecycleTest, FailingConnectToRaisesTheSocketErrorAsTarselConnect) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* expected;
    };
    const Case cases[] = {
        {"refused by the socket",
         [&] {
             s1().throwOnConnect = true;
             s1().errorNumber = 10049;
             s1().errorDescription = u"Cannot assign requested address";
         },
         "10049|TARSEL_Connect()|Cannot assign requested address"},
        {"unusable port", [&] { control.put_port(u"ftp"); },
         "380|TARSEL_Connect()|Invalid port number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        control.put_ConnectTimeout(3);
        EXPECT_EQ(RaisedError([&] { control.Connect(u"ftp.example", u"user", u"pw"); }),
                  c.expected);
        EXPECT_EQ(control.get_FtpCommand(), u"");
        EXPECT_EQ(control.IsIdle(), False);
        EXPECT_THAT(recorder.events, IsEmpty());
        // Nothing is left counting for a connection that never began.
        EXPECT_FALSE(t2().enabled);

        s1().throwOnConnect = false;
        control.put_port(u"21");
        ClearLogs();
        EXPECT_EQ(RaisedError([&] { control.Connect(u"ftp.example", u"user", u"pw"); }), "none");
        EXPECT_THAT(platform.calls, ElementsAre("Soquet1.ConnectTo(ftp.example,21,0)"));
        control.Abend();
        ClearLogs();
    }
}

// CR or LF inside anything that becomes part of a login command line would put a second
// command on the wire, and a character without a Shift_JIS form would go out as '?'; such
// calls are refused before anything changes. The account and the pre-command lines come
// from stored settings here, which are loaded unchecked (a property write refuses such text
// itself).
TEST_F(ConnectionLifecycleTest, UnsafeTextInConnectArgumentsIsRefusedBeforeAnythingChanges) {
    struct Case {
        const char* name;
        const char16_t* user;
        const char16_t* password;
        const char16_t* account;
        const char16_t* preCommand;
    };
    const Case cases[] = {
        {"CR LF in the user", u"anonymous\r\nDELE x", u"pw", u"", u""},
        {"LF in the user", u"anonymous\n", u"pw", u"", u""},
        {"CR in the password", u"user", u"pw\rDELE x", u"", u""},
        {"CR LF in the account", u"user", u"pw", u"acct\r\nDELE x", u""},
        {"LF inside a pre-command line", u"user", u"pw", u"", u"SITE A\r\nSITE\nB"},
        {"CR at the end of a pre-command", u"user", u"pw", u"", u"SITE A\r"},
        {"LF right after a line end", u"user", u"pw", u"", u"SITE A\r\n\nDELE x"},
        {"no Shift_JIS form in the account", u"user", u"pw", u"\u00E9", u""},
        {"no Shift_JIS form in a pre-command line", u"user", u"pw", u"", u"SITE A\r\nSITE \U0001F600"},
        {"no Shift_JIS form in the user", u"\U0001F600", u"pw", u"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryPropertyBag bag;
        bag.values[u"Account"] = Variant::FromString(c.account);
        bag.values[u"PreCommand"] = Variant::FromString(c.preCommand);
        control.ReadProperties(bag);
        EXPECT_EQ(RaisedError([&] { control.Connect(u"ftp.example", c.user, c.password); }),
                  "5|Connect|Invalid Argument");
        EXPECT_EQ(control.get_FtpCommand(), u"");
        EXPECT_THAT(I::Queue(control), IsEmpty());
        EXPECT_THAT(platform.calls, IsEmpty());
        EXPECT_FALSE(t2().enabled);
        EXPECT_THAT(recorder.events, IsEmpty());
    }

    // A pre-command text that ends with a line end is fine.
    control.put_Account(u"");
    control.put_PreCommand(u"SITE A\r\nSITE B\r\n");
    EXPECT_EQ(RaisedError([&] { control.Connect(u"ftp.example", u"user", u"pw"); }), "none");
}

TEST_F(ConnectionLifecycleTest, LineBreaksInLoginArgumentsAreRefusedBeforeAnythingChanges) {
    ConnectAndLogin();
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"user\r\nDELE x", u"pw"}, {u"user\n", u"pw"}, {u"user", u"pw\r"}, {u"user", u"\r\nQUIT"}};
    for (const auto& [user, password] : cases) {
        SCOPED_TRACE(ToUtf8(user) + "/" + ToUtf8(password));
        EXPECT_EQ(RaisedError([&] { control.Login(user, password); }), "5|User|Invalid Argument");
        EXPECT_EQ(control.get_FtpCommand(), u"DONE");
        EXPECT_EQ(control.IsIdle(), True);
        EXPECT_THAT(s1().sent, IsEmpty());
        EXPECT_THAT(recorder.events, IsEmpty());
    }
    // The refused calls left the password of the login alone.
    control.Login(u"user", u"pw");
    Reply("331 pw");
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user", "PASS pw"));
}

// Login answers a 332 with the Account text too, so a line break there must be refused the
// same way, whenever the account was set.
TEST_F(ConnectionLifecycleTest, LineBreakInTheAccountIsRefusedByLogin) {
    ConnectAndLogin();
    MemoryPropertyBag bag;
    bag.values[u"Account"] = Variant::FromString(u"acct\r\nDELE important");
    control.ReadProperties(bag);
    EXPECT_EQ(RaisedError([&] { control.Login(u"user", u"pw"); }), "5|User|Invalid Argument");
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_THAT(s1().sent, IsEmpty());
}

// Connect starts afresh: a partial reply line and held-back command text of the earlier
// connection, and the phase of a transfer it cut off, must not reach the new one.
TEST_F(ConnectionLifecycleTest, ConnectDropsWhatAnEarlierConnectionLeftBehind) {
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    s1().sendReady = False;
    Reply("220 hi");  // USER is held back
    s1().Receive("331 pass");  // and a reply line is cut off by the close
    EXPECT_EQ(I::SendPending(control), u"USER user\r\n");
    s1().Close();

    s1().sendReady = True;
    control.Connect(u"ftp.example", u"user2", u"pw2");
    EXPECT_EQ(I::SendPending(control), u"");
    EXPECT_EQ(I::ReplyBuffer(control), u"");
    s1().Connect();
    ClearLogs();
    Reply("220 again");
    s1().SendDone();
    EXPECT_EQ(s1().sent, "USER user2\r\n");
    EXPECT_THAT(recorder.events, ElementsAre("Trace(220 again)", "Trace(Connect>>USER user2)"));
}

TEST_F(ConnectionLifecycleTest, ConnectResetsTheDataPhaseOfATransferTheCloseCutOff) {
    ConnectAndLogin();
    control.Dir();
    Reply("200 type");
    Reply("200 port");  // LIST goes out: the data phase begins
    ASSERT_EQ(I::DataPhase(control), 1);
    s1().Close();

    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_EQ(I::DataPhase(control), 0);
    s1().Connect();
    Reply("220 hi");
    Reply("230 ok");
    EXPECT_THAT(recorder.NonTraceEvents(), testing::Contains("CommandDone(0,Connect,ok)"));
    EXPECT_EQ(control.IsIdle(), True);
}

// A half multibyte character left unconverted by the closed connection would corrupt the
// first reply of the next one.
TEST_F(ConnectionLifecycleTest, ConnectDropsUnconvertedReplyBytes) {
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    s1().Receive("220 \xC6");  // first byte of an EUC-JP character
    s1().Close();

    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    ClearLogs();
    Reply("220 hi");
    EXPECT_THAT(recorder.events, ElementsAre("Trace(220 hi)", "Trace(Connect>>USER user)"));
}

TEST_F(ConnectionLifecycleTest, StatusLabelShowsTheLastConnectionEvent) {
    EXPECT_EQ(control.get_Label1(), control.get_Copyright());
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    EXPECT_EQ(control.get_Label1(), u"Connected");
    s1().Receive("220-first\r\n220 ");
    EXPECT_EQ(control.get_Label1(), u"Received 220-first\r\n220 ");
    s1().Receive("ready\r\n");
    EXPECT_EQ(control.get_Label1(), u"Received ready\r\n");
    s1().Close();
    EXPECT_EQ(control.get_Label1(), u"Closed");
}

TEST_F(ConnectionLifecycleTest, SocketDiagnosticsAreTracedOnlyWhileTraceOn) {
    s1().Diagnostic(u"resolving");
    control.TraceOn = False;
    s1().Diagnostic(u"hidden");
    control.TraceOn = True;
    s1().Diagnostic(u"connecting");
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(---Soquet1:resolving)", "Trace(---Soquet1:connecting)"));
}

}  // namespace
}  // namespace tarselctl
