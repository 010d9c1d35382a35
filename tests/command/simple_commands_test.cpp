// The one-exchange command methods: their transcripts, the not-idle error with each
// operation's name, and text (arguments and properties) that would change a command line on
// its way to the server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

struct Exchange {
    std::string line;   // what the control sends
    std::string reply;  // what the server answers
};

struct SimpleCase {
    const char* name;
    const char* filetype;
    std::function<void(tarsel&)> call;
    std::string operation;
    std::vector<Exchange> exchanges;
};

const SimpleCase kSimpleCases[] = {
    {"Cd", "I", [](tarsel& c) { c.Cd(u"pub"); }, "Cd",
     {{"CWD pub", "250 CWD ok"}, {"PWD", "257 \"/pub\" is current"}}},
    {"CdEmptyIsDot", "I", [](tarsel& c) { c.Cd(u""); }, "Cd",
     {{"CWD .", "250 ok"}, {"PWD", "257 \"/\""}}},
    {"CdBlanksUnchanged", "I", [](tarsel& c) { c.Cd(u"  "); }, "Cd",
     {{"CWD   ", "250 ok"}, {"PWD", "257 \"/\""}}},
    {"CdRefused", "I", [](tarsel& c) { c.Cd(u"nope"); }, "Cd", {{"CWD nope", "550 No such directory"}}},
    {"Cwd", "I", [](tarsel& c) { c.Cwd(u"pub"); }, "Cwd", {{"CWD pub", "250 CWD ok"}}},
    {"CwdEmpty", "I", [](tarsel& c) { c.Cwd(u""); }, "Cwd", {{"CWD ", "550 Bad argument"}}},
    {"Pwd", "I", [](tarsel& c) { c.Pwd(); }, "Pwd", {{"PWD", "257 \"/home\""}}},
    {"SizeImage", "I", [](tarsel& c) { c.FileSize(u"a.bin"); }, "Size",
     {{"TYPE I", "200 Type set to I"}, {"SIZE a.bin", "213 1234"}}},
    {"SizeAscii", "A", [](tarsel& c) { c.FileSize(u"a.txt"); }, "Size",
     {{"TYPE A", "200 Type set to A"}, {"SIZE a.txt", "213 99"}}},
    {"SizeNoType", "", [](tarsel& c) { c.FileSize(u"a.bin"); }, "Size", {{"SIZE a.bin", "213 1234"}}},
    {"SizeRefused", "I", [](tarsel& c) { c.FileSize(u"none"); }, "Size",
     {{"TYPE I", "200 ok"}, {"SIZE none", "550 No such file"}}},
    {"Noop", "I", [](tarsel& c) { c.Noop(); }, "Noop", {{"NOOP", "200 NOOP ok"}}},
    {"Delete", "I", [](tarsel& c) { c.Delete(u"old.txt"); }, "Delete", {{"DELE old.txt", "250 Deleted"}}},
    {"DeleteEmpty", "I", [](tarsel& c) { c.Delete(u""); }, "Delete", {{"DELE ", "501 Syntax error"}}},
    {"MkDir", "I", [](tarsel& c) { c.MkDir(u"new dir"); }, "MkDir", {{"MKD new dir", "257 \"/new dir\" created"}}},
    {"RmDir", "I", [](tarsel& c) { c.RmDir(u"old"); }, "RmDir", {{"RMD old", "250 Removed"}}},
    {"Rename", "I", [](tarsel& c) { c.Rename(u"a", u"b"); }, "Rename",
     {{"RNFR a", "350 Ready for RNTO"}, {"RNTO b", "250 Renamed"}}},
    {"RenameRefusedFrom", "I", [](tarsel& c) { c.Rename(u"a", u"b"); }, "Rename",
     {{"RNFR a", "550 No such file"}}},
    {"Site", "I", [](tarsel& c) { c.SiteCommand(u"CHMOD 644 a"); }, "Site", {{"SITE CHMOD 644 a", "200 ok"}}},
    {"QuoteLowerCase", "I", [](tarsel& c) { c.QuoteCommand(u"noop"); }, "Quote", {{"noop", "200 ok"}}},
    {"QuoteEmpty", "I", [](tarsel& c) { c.QuoteCommand(u""); }, "Quote", {{"", "500 Unknown command"}}},
    {"QuoteMultiLineReply", "I", [](tarsel& c) { c.QuoteCommand(u"HELP"); }, "Quote",
     {{"HELP", "214-Commands:\r\n USER PASS\r\n214 End"}}},
};

void PrintTo(const SimpleCase& c, std::ostream* os) { *os << c.name; }

class SimpleCommandTranscript : public ControlTest, public ::testing::WithParamInterface<SimpleCase> {};

TEST_P(SimpleCommandTranscript, SendsEachLineAfterAPositiveReplyAndEndsWithCommandDone) {
    const SimpleCase& c = GetParam();
    control.put_Filetype(FromUtf8(c.filetype));
    ConnectAndLogin();
    c.call(control);
    EXPECT_EQ(control.get_FtpCommand(), FromUtf8(c.operation));
    EXPECT_EQ(control.IsIdle(), False);

    std::vector<std::string> lines, events;
    for (const Exchange& e : c.exchanges) {
        lines.push_back(e.line);
        events.push_back("Trace(" + c.operation + ">>" + e.line + ")");
        std::string reply = e.reply;
        for (std::size_t start = 0;;) {  // every line of a multi-line reply is traced
            const std::size_t end = reply.find("\r\n", start);
            events.push_back("Trace(" + reply.substr(start, end - start) + ")");
            if (end == std::string::npos) break;
            start = end + 2;
        }
        Reply(e.reply);
    }
    const std::string last = c.exchanges.back().reply;
    const std::string finalLine = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
    const std::string code = finalLine[0] == '2' || finalLine[0] == '3' ? "0" : finalLine.substr(0, 3);
    events.push_back("CommandDone(" + code + "," + c.operation + "," + finalLine.substr(4) + ")");

    EXPECT_THAT(s1().SentLines(), ElementsAreArray(lines));
    EXPECT_THAT(recorder.events, ElementsAreArray(events));
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_THAT(tarselInspector::Queue(control), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllMethods, SimpleCommandTranscript, ::testing::ValuesIn(kSimpleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- every operation method, with the operation name it reports

struct OperationCase {
    const char* source;
    std::function<void(tarsel&, const String&)> call;  // the argument goes into every text
};

const OperationCase kOperations[] = {
    {"User", [](tarsel& c, const String& a) { c.Login(u"u" + a, u"p"); }},
    {"Cd", [](tarsel& c, const String& a) { c.Cd(a); }},
    {"Cwd", [](tarsel& c, const String& a) { c.Cwd(a); }},
    {"Pwd", [](tarsel& c, const String&) { c.Pwd(); }},
    {"Size", [](tarsel& c, const String& a) { c.FileSize(a); }},
    {"Noop", [](tarsel& c, const String&) { c.Noop(); }},
    {"Delete", [](tarsel& c, const String& a) { c.Delete(a); }},
    {"MkDir", [](tarsel& c, const String& a) { c.MkDir(a); }},
    {"RmDir", [](tarsel& c, const String& a) { c.RmDir(a); }},
    {"Rename", [](tarsel& c, const String& a) { c.Rename(u"from", u"to" + a); }},
    {"Site", [](tarsel& c, const String& a) { c.SiteCommand(a); }},
    {"Quote", [](tarsel& c, const String& a) { c.QuoteCommand(u"STAT" + a); }},
    {"Dir", [](tarsel& c, const String& a) { c.Dir(a); }},
    {"Ls", [](tarsel& c, const String& a) { c.Ls(a); }},
    {"GetFile", [](tarsel& c, const String& a) { c.GetFile(a, u"local"); }},
    {"PutFile", [](tarsel& c, const String& a) { c.PutFile(a, u"local"); }},
    {"AppendFile", [](tarsel& c, const String& a) { c.AppendFile(a); }},
};

std::string Raised(const std::function<void()>& call) {
    try {
        call();
    } catch (const AutomationError& e) {
        return std::to_string(e.Number()) + " " + ToUtf8(e.Source()) + " " + ToUtf8(e.Description());
    }
    return "nothing raised";
}

class SimpleCommands : public ControlTest {};

TEST_F(SimpleCommands, EveryMethodRefusesWithoutAConnection) {
    for (const OperationCase& op : kOperations) {
        EXPECT_EQ(Raised([&] { op.call(control, u"x"); }), "17 " + std::string(op.source) + " Not Idling");
    }
    EXPECT_THAT(platform.calls, IsEmpty());
    EXPECT_THAT(recorder.events, IsEmpty());
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

TEST_F(SimpleCommands, EveryMethodRefusesWhileAnOperationRunsAndLeavesItAlone) {
    ConnectAndLogin();
    control.Pwd();
    for (const OperationCase& op : kOperations) {
        EXPECT_EQ(Raised([&] { op.call(control, u"x"); }), "17 " + std::string(op.source) + " Not Idling");
    }
    EXPECT_EQ(control.get_FtpCommand(), u"Pwd");
    EXPECT_THAT(tarselInspector::Queue(control), IsEmpty());
    EXPECT_THAT(s1().SentLines(), ElementsAre("PWD"));
    Reply("257 \"/\"");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Pwd,\"/\")"));
}

// Text that would change the command line on its way out: a line break or NUL cuts it in
// two, and a character the server's code cannot write goes out as "?", a wildcard.
const String kUnsafeTexts[] = {
    u"\r\nDELE x", u"\r", u"\n", u"a\nb",
    String(u"a\0DELE x", 8),
    u"\U0001F600.txt",       // no Shift_JIS or EUC-JP form
    u"\u00E9t\u00E9.txt",     // neither
    u"a\xD800",              // half a surrogate pair
    String(u"\xDC00") + u"b",
};

TEST_F(SimpleCommands, UnsafeTextInAnyArgumentIsRefusedBeforeAnythingChanges) {
    for (const char16_t* sysCode : {u"EUC", u"SJIS"}) {
        control.put_SysCode(sysCode);
        ConnectAndLogin();
        for (const String& unsafe : kUnsafeTexts) {
            for (const OperationCase& op : kOperations) {
                if (op.source == std::string("Pwd") || op.source == std::string("Noop")) continue;
                SCOPED_TRACE(std::string(op.source) + " " + ToUtf8(sysCode) + " " + ToUtf8(unsafe));
                EXPECT_EQ(Raised([&] { op.call(control, unsafe); }),
                          "5 " + std::string(op.source) + " Invalid Argument");
            }
        }
        EXPECT_EQ(Raised([&] { control.Login(u"u", u"p\r\nDELE x"); }), "5 User Invalid Argument");
        EXPECT_EQ(Raised([&] { control.Login(u"u", u"p\u00E9"); }), "5 User Invalid Argument");
        EXPECT_EQ(Raised([&] { control.Rename(u"a\r\n", u"b"); }), "5 Rename Invalid Argument");
        EXPECT_EQ(Raised([&] { control.Rename(String(u"a\0", 2), u"b"); }), "5 Rename Invalid Argument");

        EXPECT_THAT(platform.calls, IsEmpty());
        EXPECT_THAT(recorder.events, IsEmpty());
        EXPECT_EQ(control.get_FtpCommand(), u"DONE");
        EXPECT_EQ(control.IsIdle(), True);
        control.Abend();
    }
}

TEST_F(SimpleCommands, TextWithAFormInTheServersCodeGoesOutExactly) {
    ConnectAndLogin();
    // A question mark of the host's own, the yen sign (written as 0x5C) and half-width
    // katakana all have a form; EUC is the start value of SysCode.
    control.Delete(u"\u65E5\u672C?\u00A5\uFF71.txt");
    EXPECT_EQ(s1().sent, "DELE \xC6\xFC\xCB\xDC?\\\x8E\xB1.txt\r\n");
    Reply("250 ok");
    s1().ClearSent();
    control.put_SysCode(u"SJIS");
    control.Delete(u"\u65E5\u672C?\u00A5\uFF71.txt");
    EXPECT_EQ(s1().sent, "DELE \x93\xFA\x96\x7B?\\\xB1.txt\r\n");
}

// Properties that go into command lines refuse unsafe text when written, whenever that is,
// and keep their value; the error names the property.
TEST_F(SimpleCommands, PropertiesThatGoIntoCommandLinesRefuseUnsafeText) {
    control.put_Account(u"acct");
    control.put_Rest(u"100");
    control.put_PreCommand(u"SITE A\r\n  SITE B\r\n");
    for (const String& unsafe : kUnsafeTexts) {
        SCOPED_TRACE(ToUtf8(unsafe));
        EXPECT_EQ(Raised([&] { control.put_Account(unsafe); }), "5 Account Invalid Argument");
        EXPECT_EQ(Raised([&] { control.put_Rest(unsafe); }), "5 Rest Invalid Argument");
        if (unsafe != u"\r\nDELE x") {  // a CR LF pair separates pre-command lines
            EXPECT_EQ(Raised([&] { control.put_PreCommand(u"SITE A\r\n" + unsafe); }),
                      "5 PreCommand Invalid Argument");
        }
    }
    // A lone CR or LF next to a line end is no line end of its own.
    for (const char16_t* text : {u"SITE A\r\r\nSITE B", u"SITE A\r\n\nSITE B", u"SITE A\r"}) {
        EXPECT_EQ(Raised([&] { control.put_PreCommand(text); }), "5 PreCommand Invalid Argument");
    }
    EXPECT_EQ(control.get_Account(), u"acct");
    EXPECT_EQ(control.get_Rest(), u"100");
    EXPECT_EQ(control.get_PreCommand(), u"SITE A\r\n  SITE B\r\n");
    control.put_PreCommand(u"SITE \u65E5\r\nSITE \u00A5\r\n");
    EXPECT_EQ(control.get_PreCommand(), u"SITE \u65E5\r\nSITE \u00A5\r\n");
}

// The account written from inside Connected, after Connect has checked its arguments, is
// what the server's 332 gets: it must not carry a second command.
TEST_F(SimpleCommands, AnAccountWrittenDuringTheLoginCannotSmuggleACommand) {
    control.put_Account(u"acct");
    std::string refused;
    recorder.onConnected = [&] {
        refused = Raised([&] { control.put_Account(u"acct\r\nDELE precious"); });
    };
    control.Connect(u"ftp.example", u"user", u"pw");
    s1().Connect();
    Reply("220 ready");
    Reply("331 pw");
    Reply("332 account");
    Reply("230 ok");
    EXPECT_EQ(refused, "5 Account Invalid Argument");
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user", "PASS pw", "ACCT acct"));
}

TEST_F(SimpleCommands, QuoteRefusesTheControlsOwnQueueMarker) {
    ConnectAndLogin();
    for (const char16_t* text : {u"EXPC", u"EXPC something", u"expc", u"eXpC x"}) {
        EXPECT_EQ(Raised([&] { control.QuoteCommand(text); }), "5 Quote Invalid Argument") << ToUtf8(text);
    }
    EXPECT_THAT(platform.calls, IsEmpty());
    EXPECT_EQ(control.IsIdle(), True);
    // The command word is the first four characters, trimmed: this line's word is "EXP".
    control.QuoteCommand(u" EXPC");
    EXPECT_THAT(s1().SentLines(), ElementsAre(" EXPC"));
}

TEST_F(SimpleCommands, TheNextOperationStartsFromInsideCommandDone) {
    ConnectAndLogin();
    recorder.onCommandDone = [&](Integer, const String& op, const String&) {
        if (op == u"Cd") control.Delete(u"x");
    };
    control.Cd(u"d");
    Reply("250 ok");
    Reply("257 \"/d\"");
    EXPECT_THAT(s1().SentLines(), ElementsAre("CWD d", "PWD", "DELE x"));
    Reply("250 Deleted");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("CommandDone(0,Cd,\"/d\")", "CommandDone(0,Delete,Deleted)"));
    EXPECT_EQ(control.IsIdle(), True);
}

// A line that arrives behind the reply that ended an operation was sent before the host's
// next command existed: it cannot answer that command, and is read as the stray line it is
// (ending the idle state, as any stray reply does) before the host hears of the end.
TEST_F(SimpleCommands, ALineArrivingWithTheEndOfAnOperationNeverAnswersTheNextOne) {
    ConnectAndLogin();
    recorder.onCommandDone = [&](Integer, const String& op, const String&) {
        if (op == u"Cd") control.Delete(u"x");
    };
    control.Cd(u"d");
    Reply("250 ok");
    Reply("257 \"/d\"\r\n250 Deleted");  // both replies in one arrival
    EXPECT_THAT(s1().SentLines(), ElementsAre("CWD d", "PWD", "DELE x"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("CommandDone(0,Cd,\"/d\")", "CommandDone(0,DONE,Deleted)"));
    EXPECT_EQ(control.get_FtpCommand(), u"Delete");
    Reply("250 really deleted");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Cd,\"/d\")", "CommandDone(0,DONE,Deleted)",
                                                       "CommandDone(0,Delete,really deleted)"));
    EXPECT_EQ(control.IsIdle(), True);
}

}  // namespace
}  // namespace tarselctl
