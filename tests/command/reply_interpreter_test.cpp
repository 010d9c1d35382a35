// Cutting the server's replies into lines and driving the dialogue from them: multi-line
// replies, replies split anywhere, several in one read, replies while idle, re-entrant hosts
// and oversized input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using I = tarselInspector;

class ReplyInterpreterTest : public ControlTest {};

TEST_F(ReplyInterpreterTest, MultiLineReplyIsInterpretedOnceOnItsLastLine) {
    ConnectAndLogin();
    control.Cd(u"/pub");
    s1().Receive("250-Directory changed.\r\n250-Welcome to /pub\r\n250 OK\r\n");
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(Cd>>CWD /pub)", "Trace(250-Directory changed.)",
                            "Trace(250-Welcome to /pub)", "Trace(250 OK)", "Trace(Cd>>PWD)"));
    s1().Receive("257-\"/pub\"\r\n257 \"/pub\" is current\r\n");
    EXPECT_THAT(s1().SentLines(), ElementsAre("CWD /pub", "PWD"));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Cd,\"/pub\" is current)"));
}

// Inside a multi-line reply only its own code followed by a blank ends it: a line that looks
// like another reply is text. Taken as a reply it would end the operation early, and every
// later reply would answer the wrong command.
TEST_F(ReplyInterpreterTest, ReplyLookalikesInsideAMultiLineReplyAreText) {
    ConnectAndLogin();
    control.Pwd();
    s1().Receive("257-start\r\n200 middle\r\n257-more\r\n257 end\r\n");
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(Pwd>>PWD)", "Trace(257-start)", "Trace(200 middle)",
                            "Trace(257-more)", "Trace(257 end)", "CommandDone(0,Pwd,end)"));
}

// A greeting of several lines, one of which reads like a reply: USER goes out only after the
// greeting's last line, and each later reply answers its own command. Before, "230 users
// max" ended the greeting, the real 220 then answered USER, and a 550 to DELE was taken as
// the answer to the next command: the host saw "delete" succeed.
TEST_F(ReplyInterpreterTest, GreetingWithReplyLikeLinesKeepsTheDialogueInStep) {
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    s1().Receive("220-Welcome\r\n2024/01/01 maintenance tonight\r\n2 mirrors are available today.\r\n");
    s1().Receive("230 users max\r\n");
    EXPECT_THAT(s1().SentLines(), IsEmpty());
    Reply("220 ready");
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user"));
    Reply("331 pw");
    Reply("230 ok");
    ClearLogs();
    control.Delete(u"precious");
    Reply("550 Permission denied");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(550,Delete,Permission denied)"));
}

TEST_F(ReplyInterpreterTest, BareLfEndsAReplyLineAndBareCrDoesNot) {
    ConnectAndLogin();
    control.Pwd();
    s1().Receive("257-a\r257 b\n");
    EXPECT_THAT(recorder.events, ElementsAre("Trace(Pwd>>PWD)", "Trace(257-a\r257 b)"));
    s1().Receive("257 c\n");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Pwd,c)"));
}

// A refused pre-command line leaves the pre-command phase unfinished; a later Login is no
// part of it and answers its 331 with the password.
TEST_F(ReplyInterpreterTest, LoginAfterARefusedPreCommandSendsThePassword) {
    control.put_PreCommand(u"SITE ONE");
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    Reply("220 ready");
    Reply("500 no SITE here");
    ClearLogs();
    control.Login(u"user2", u"pw2");
    Reply("331 pw");
    Reply("230 in");
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user2", "PASS pw2"));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,User,in)"));
}

TEST_F(ReplyInterpreterTest, LinesWithoutAReplyDigitAreTracedAndIgnored) {
    ConnectAndLogin();
    control.Pwd();
    s1().Receive("\r\nhello\r\n0 zero\r\n6000 six\r\n257 \"/\"\r\n");
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(Pwd>>PWD)", "Trace()", "Trace(hello)", "Trace(0 zero)",
                            "Trace(6000 six)", "Trace(257 \"/\")", "CommandDone(0,Pwd,\"/\")"));
}

// With no operation running, a reply still ends one: the idle one, "DONE".
TEST_F(ReplyInterpreterTest, ReplyWhileIdleEndsTheDoneOperation) {
    struct Case {
        const char* reply;
        const char* expected;
    };
    const Case cases[] = {
        {"200 spontaneous", "CommandDone(0,DONE,spontaneous)"},
        {"226 late", "CommandDone(0,DONE,late)"},
        {"421 Timeout.", "CommandDone(421,DONE,Timeout.)"},
        {"500", "CommandDone(500,DONE,)"},
    };
    ConnectAndLogin();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        recorder.Clear();
        Reply(c.reply);
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre(c.expected));
        EXPECT_EQ(control.IsIdle(), True);
        EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    }
    // A preliminary reply ends nothing.
    recorder.Clear();
    Reply("150 what");
    EXPECT_THAT(recorder.events, ElementsAre("Trace(150 what)"));
    EXPECT_THAT(s1().sent, IsEmpty());
}

// Only the login's USER is answered with the password: a 331 that arrives once a login
// without one is over sends nothing.
TEST_F(ReplyInterpreterTest, AStray331AfterTheLoginSendsNoPassword) {
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    Reply("220 ready");
    Reply("230 no password needed");
    ASSERT_EQ(control.IsIdle(), True);
    ClearLogs();
    Reply("331 password please");
    EXPECT_THAT(s1().SentLines(), IsEmpty());
}

// A host that starts its next operation inside CommandDone is served before the interpreter
// goes on with the next line already received.
// A line that came in the same read as the end of an operation was sent before the host's
// next command: it is read as a stray line, never as the answer to a command sent after it.
TEST_F(ReplyInterpreterTest, OperationStartedInsideCommandDoneWaitsForItsOwnReply) {
    ConnectAndLogin();
    recorder.onCommandDone = [&](Integer, const String& name, const String&) {
        if (name == u"Cwd") control.Pwd();
    };
    control.Cwd(u"a");
    s1().Receive("250 changed\r\n257 \"/a\"\r\n");
    EXPECT_THAT(s1().SentLines(), ElementsAre("CWD a", "PWD"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(Cwd>>CWD a)", "Trace(250 changed)", "CommandDone(0,Cwd,changed)",
                            "Trace(257 \"/a\")", "CommandDone(0,DONE,\"/a\")", "Trace(Pwd>>PWD)"));
    EXPECT_EQ(control.get_FtpCommand(), u"Pwd");
    Reply("257 \"/b\"");
    EXPECT_EQ(recorder.events.back(), "CommandDone(0,Pwd,\"/b\")");
}

// The login transcript, with a multi-line EUC-JP greeting, delivered in two pieces split at
// every byte: the lines, the dialogue and the events never depend on where reads end.
constexpr std::string_view kLoginTranscript =
    "220-\xC6\xFC\xCB\xDC FTP\r\n220 ready\r\n331 pw\r\n230 ok\r\n";

const std::vector<std::string> kLoginEvents = {
    "Connected",        "Trace(220-日本 FTP)",         "Trace(220 ready)",
    "Trace(Connect>>USER user)", "Trace(331 pw)", "Trace(Connect>>PASS ***)",
    "Trace(230 ok)",    "CommandDone(0,Connect,ok)"};

class ReplySplitSweep : public ControlTest, public ::testing::WithParamInterface<int> {};

TEST_P(ReplySplitSweep, SameDialogueWhereverTheReadsEnd) {
    const auto at = static_cast<std::size_t>(GetParam());
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    s1().Receive(kLoginTranscript.substr(0, at));
    s1().Receive(kLoginTranscript.substr(at));
    EXPECT_THAT(recorder.events, ElementsAreArray(kLoginEvents));
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user", "PASS pw"));
    EXPECT_EQ(I::ReplyBuffer(control), u"");
}

INSTANTIATE_TEST_SUITE_P(EveryByte, ReplySplitSweep,
                         ::testing::Range(0, static_cast<int>(kLoginTranscript.size()) + 1));

TEST_F(ReplyInterpreterTest, TranscriptFedOneByteAtATime) {
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    for (char byte : kLoginTranscript) s1().Receive(std::string_view(&byte, 1));
    EXPECT_THAT(recorder.events, ElementsAreArray(kLoginEvents));
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user", "PASS pw"));
}

// The host ends the connection from inside the Trace of a reply line. The read it came in is
// one step, interpreted whole before the host hears of it; the Abend then ends the connection
// behind that step's events.
TEST_F(ReplyInterpreterTest, AbendInsideTheTraceOfALineEndsTheConnectionBehindTheRead) {
    ConnectAndLogin();
    control.Rename(u"a", u"b");
    recorder.onTrace = [&](const String& msg) {
        if (msg == u"350-ready") control.Abend();
    };
    s1().Receive("350-ready\r\n350 for RNTO\r\n250 x\r\n");
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(Rename>>RNFR a)", "Trace(350-ready)", "Trace(350 for RNTO)",
                            "Trace(Rename>>RNTO b)", "Trace(250 x)", "CommandDone(0,Rename,x)",
                            "DisConnected(0,)"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("RNFR a", "RNTO b"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

// Same, but the host connects anew from inside the DisConnected event of that Abend: the
// lines of the old connection still waiting must not be read as the new server's greeting.
TEST_F(ReplyInterpreterTest, LinesOfAConnectionEndedInsideTraceNeverReachTheNextConnection) {
    ConnectAndLogin();
    control.Pwd();
    recorder.onTrace = [&](const String& msg) {
        if (msg == u"257-a") control.Abend();
    };
    recorder.onDisConnected = [&](Long, const String&) {
        control.Connect(u"other.example", u"u2", u"p2");
    };
    s1().Receive("257-a\r\n257 b\r\n");
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_EQ(I::ReplyBuffer(control), u"");

    s1().Connect();
    ClearLogs();
    Reply("220 new server");
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(220 new server)", "Trace(Connect>>USER u2)"));
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
}

// No 16-bit positions: a reply of 100 KB of continuation lines is read whole and once.
TEST_F(ReplyInterpreterTest, HundredKilobyteMultiLineReply) {
    ConnectAndLogin();
    control.QuoteCommand(u"HELP");
    std::string reply;
    int lines = 0;
    while (reply.size() < 100 * 1024) {
        reply += "214-line " + std::to_string(lines++) + " of the help text\r\n";
    }
    reply += "214 end of help\r\n";
    ++lines;
    recorder.recordTraces = false;
    int traces = 0;
    recorder.onTrace = [&](const String&) { ++traces; };
    s1().Receive(reply);
    EXPECT_EQ(traces, lines);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Quote,end of help)"));
    EXPECT_EQ(I::ReplyBuffer(control), u"");
}

// A line that grows past 1 MiB without a line end is no reply: the connection is given up
// rather than the buffer growing without bound.
TEST_F(ReplyInterpreterTest, ReplyLineGrowingPastOneMebibyteClosesTheConnection) {
    ConnectAndLogin();
    control.Pwd();
    s1().Receive("257-");
    for (int i = 0; i < 15; ++i) s1().Receive(std::string(64 * 1024, 'x'));
    s1().Receive(std::string(64 * 1024 - 4, 'y'));
    EXPECT_EQ(I::ReplyBuffer(control).size(), 1024u * 1024u);
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());

    s1().Receive("z");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-7,connection lost,control)",
                            "CommandDone(-1,Pwd,reply line too long)",
                            "DisConnected(-2,reply line too long)"));
    EXPECT_EQ(I::ReplyBuffer(control), u"");
    EXPECT_EQ(control.get_FtpCommand(), u"");

    // The next connection starts clean.
    ConnectAndLogin();
    EXPECT_EQ(control.IsIdle(), True);
}

// Complete lines in the same read as an over-long unfinished one are traced and interpreted
// before the connection is given up.
TEST_F(ReplyInterpreterTest, LinesBeforeAnOverlongTailAreInterpretedFirst) {
    ConnectAndLogin();
    control.Pwd();
    s1().Receive("257 \"/\"\r\n" + std::string(1024 * 1024 + 1, 'x'));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("CommandDone(0,Pwd,\"/\")", "DisConnected(-2,reply line too long)"));
}

// A host handler that throws does not cost the rest of the read: the next lines are still
// interpreted.
TEST_F(ReplyInterpreterTest, ExceptionFromAHandlerLosesNoLine) {
    ConnectAndLogin();
    control.Cd(u"/pub");
    recorder.onTrace = [](const String& line) {
        if (line == u"250 changed") throw std::runtime_error("host bug");
    };
    s1().Receive("250 changed\r\n257 \"/pub\"\r\n");
    EXPECT_THAT(s1().SentLines(), ElementsAre("CWD /pub", "PWD"));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Cd,\"/pub\")"));
}

}  // namespace
}  // namespace tarselctl
