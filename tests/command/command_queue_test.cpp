// The command queue and sender: command words, queue markers, the command trace, and text
// held back while the control socket cannot take it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using I = tarselInspector;

// The conversions of outgoing text among a converter's calls (replies pass ToSjis too).
std::vector<std::string> OutgoingConversions(const FakeCodawa& codawa) {
    std::vector<std::string> out;
    for (const std::string& call : codawa.calls)
        if (call.rfind("TextTo", 0) == 0) out.push_back(call);
    return out;
}

// The identity converter shows which conversion each path chose.
class CommandQueueTest : public ControlTest {
protected:
    CommandQueueTest() : ControlTest(FakePlatform::CodawaKind::Fake) {}
};

// The command word is the first four characters, trimmed and upper-cased; what the server
// receives is always the line exactly as queued.
TEST_F(CommandQueueTest, CommandWordDecidesTheTraceNotTheLineSent) {
    struct Case {
        const char16_t* line;
        const char* trace;
        const char* word;
    };
    const Case cases[] = {
        {u"pass secret", "Trace(Quote>>PASS ***)", "PASS"},
        {u"Pass", "Trace(Quote>>PASS ***)", "PASS"},
        {u"PASSWORD x", "Trace(Quote>>PASS ***)", "PASS"},
        {u"PWD", "Trace(Quote>>PWD)", "PWD"},
        {u"noop", "Trace(Quote>>noop)", "NOOP"},
        {u"  ab cd", "Trace(Quote>>  ab cd)", "AB"},
        {u"", "Trace(Quote>>)", ""},
    };
    ConnectAndLogin();
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.line));
        control.QuoteCommand(c.line);
        EXPECT_THAT(recorder.events, ElementsAre(c.trace));
        EXPECT_EQ(s1().sent, ToUtf8(c.line) + "\r\n");
        EXPECT_EQ(ToUtf8(I::Cmd(control)), c.word);
        Reply("200 ok");
        ClearLogs();
    }
}

TEST_F(CommandQueueTest, QuotedXprtOpensAListenerAndSendsPortInstead) {
    ConnectAndLogin();
    for (const char16_t* line : {u"XPRT", u"xprt anything"}) {
        SCOPED_TRACE(ToUtf8(line));
        I::DataPhase(control) = 3;
        control.QuoteCommand(line);
        EXPECT_THAT(platform.calls,
                    ElementsAre("Soquet2.CloseSocket", "Soquet3.CloseSocket", "Soquet2.ListenAt(127.0.0.1,0)",
                                "Soquet3.SetupPhase(-1)",
                                "Soquet1.Send(PORT 127,0,0,1,195,203\\r\\n)"));
        EXPECT_THAT(recorder.events, ElementsAre("Trace(Quote>>PORT 127,0,0,1,195,203)"));
        EXPECT_EQ(I::Cmd(control), u"PORT");
        EXPECT_EQ(I::DataPhase(control), 0);
        Reply("500 no");
        ClearLogs();
    }
}

TEST_F(CommandQueueTest, TransferCommandWordStartsTheDataPhase) {
    ConnectAndLogin();
    control.QuoteCommand(u"list -la");
    EXPECT_EQ(I::DataPhase(control), 1);
    EXPECT_THAT(platform.calls,
                ElementsAre("Soquet3.SetupPhase(0)", "Soquet1.Send(list -la\\r\\n)"));
    EXPECT_THAT(recorder.events, ElementsAre("Trace(Quote>>list -la)"));
}

// "EXPC" is passed over within the same call: with nothing after it, nothing is traced or
// sent and the operation waits.
TEST_F(CommandQueueTest, QueueHoldingOnlyTheMarkerClearsPreCommandSilently) {
    ConnectAndLogin();
    control.Noop();
    I::InPreCommand(control) = True;
    I::Queue(control) = {u"EXPC"};
    ClearLogs();
    Reply("200 ok");
    EXPECT_EQ(I::InPreCommand(control), False);
    EXPECT_THAT(recorder.events, ElementsAre("Trace(200 ok)"));
    EXPECT_THAT(s1().sent, IsEmpty());
    EXPECT_THAT(I::Queue(control), IsEmpty());
    EXPECT_EQ(control.get_FtpCommand(), u"Noop");
}

// The host ends the connection inside the trace of a command line. The trace tells of a line
// already sent (the step that sent it is over when the host hears of it); the Abend ends the
// connection there, and its DisConnected is the last event.
TEST_F(CommandQueueTest, AbendInsideTheCommandTraceEndsTheConnectionAfterThatLine) {
    ConnectAndLogin();
    recorder.onTrace = [&](const String& msg) {
        if (msg == u"Rename>>RNTO b") control.Abend();
    };
    control.Rename(u"a", u"b");
    Reply("350 go on");
    EXPECT_THAT(s1().SentLines(), ElementsAre("RNFR a", "RNTO b"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Trace(Rename>>RNFR a)", "Trace(350 go on)", "Trace(Rename>>RNTO b)",
                            "DisConnected(0,)"));
    Reply("250 renamed");
    EXPECT_THAT(recorder.events, ElementsAre("Trace(Rename>>RNFR a)", "Trace(350 go on)",
                                             "Trace(Rename>>RNTO b)", "DisConnected(0,)"));
}

// While the socket cannot take data, lines wait in order and leave together, converted by
// the same rule as lines sent at once.
TEST_F(CommandQueueTest, HeldBackLinesLeaveTogetherOnTheNextSendDone) {
    for (const char16_t* sysCode : {u"EUC", u"SJIS"}) {
        SCOPED_TRACE(ToUtf8(sysCode));
        control.put_SysCode(sysCode);
        const std::string conversion = sysCode == String(u"EUC") ? "TextToEuc" : "TextToSjis";
        control.Connect(u"ftp.example", u"user", u"pw");
        s1().Connect();
        s1().sendReady = False;
        ClearLogs();
        Reply("220 hi");
        Reply("331 pw");
        EXPECT_THAT(s1().sends, IsEmpty());
        EXPECT_EQ(I::SendPending(control), u"USER user\r\nPASS pw\r\n");
        EXPECT_THAT(OutgoingConversions(codawa1()), IsEmpty());

        s1().SendDone();
        EXPECT_THAT(s1().sends, ElementsAre("USER user\r\nPASS pw\r\n"));
        EXPECT_THAT(OutgoingConversions(codawa1()), ElementsAre(conversion));
        EXPECT_EQ(I::SendPending(control), u"");

        // Nothing waiting: a completed send sends nothing.
        s1().SendDone();
        EXPECT_EQ(s1().sends.size(), 1u);

        Reply("230 ok");
        control.Noop();
        EXPECT_THAT(OutgoingConversions(codawa1()), ElementsAre(conversion, conversion));
        control.Abend();
    }
}

// Text kept back goes out in front of the next text once the socket can take data, even
// before the completion event has arrived.
TEST_F(CommandQueueTest, HeldBackTextGoesInFrontOfTheNextLine) {
    ConnectAndLogin();
    s1().sendReady = False;
    control.Rename(u"a", u"b");
    s1().sendReady = True;
    Reply("350 go on");
    EXPECT_THAT(s1().sends, ElementsAre("RNFR a\r\nRNTO b\r\n"));
    EXPECT_EQ(I::SendPending(control), u"");
}

class HeldBackEncodingTest : public ControlTest {};

// A Japanese file name reaches the server in the SysCode encoding both when sent at once
// and when it had to wait.
TEST_F(HeldBackEncodingTest, JapaneseFileNameUsesTheSystemCodeEitherWay) {
    struct Case {
        const char16_t* sysCode;
        bool heldBack;
        const char* bytes;
    };
    const Case cases[] = {
        {u"EUC", false, "DELE \xC6\xFC\xCB\xDC.txt\r\n"},
        {u"EUC", true, "DELE \xC6\xFC\xCB\xDC.txt\r\n"},
        {u"SJIS", false, "DELE \x93\xFA\x96\x7B.txt\r\n"},
        {u"SJIS", true, "DELE \x93\xFA\x96\x7B.txt\r\n"},
    };
    ConnectAndLogin();
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.sysCode) + (c.heldBack ? " held back" : " at once"));
        control.put_SysCode(c.sysCode);
        s1().sendReady = c.heldBack ? False : True;
        control.Delete(u"日本.txt");
        if (c.heldBack) {
            EXPECT_THAT(s1().sends, IsEmpty());
            s1().SendDone();
        }
        EXPECT_THAT(s1().sends, ElementsAre(c.bytes));
        EXPECT_THAT(recorder.events, ElementsAre("Trace(Delete>>DELE 日本.txt)"));
        Reply("250 deleted");
        ClearLogs();
    }
}

}  // namespace
}  // namespace tarselctl
