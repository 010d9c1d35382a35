// The dialogue with a server whose replies do not fit the command they answer, over real TCP:
// each command takes only its own replies, a malformed reply or a transfer's unexpected one
// ends the connection with QUIT, a passive reply cannot send the data connection to another
// host, a data connection that fails is answered with ABOR instead of a long wait, and a QUIT
// answered with 221 ends the connection whether or not the server closes it.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "asio_platform/loopback.h"
#include "support/event_recorder.h"
#include "support/event_rules.h"
#include "support/scripted_ftp_peer.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;
using namespace std::chrono_literals;
using testing::FtpScript;
using testing::ScriptedFtpPeer;

/// "227 ..." naming 127.0.0.1 and a port nothing listens on: a passive connect is refused.
std::string PasvToClosedPort(asio::io_context& io) {
    asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
    const unsigned port = probe.local_endpoint().port();
    probe.close();
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ")";
}

/// The command word of each line.
std::vector<std::string> Words(const std::vector<std::string>& lines) {
    std::vector<std::string> words;
    for (const auto& line : lines) words.push_back(line.substr(0, line.find(' ')));
    return words;
}

class DialogueFaultTest : public ::testing::Test {
protected:
    DialogueFaultTest() {
        control.Advise(rules);
        control.Advise(recorder);
        recorder.skipDiagnosticTraces = true;
        control.put_ConnectTimeout(2);
        control.put_TransTimeout(2);
        // Long enough that a wait only the reply time-out would end outlasts every run below.
        control.put_ReplyTimeout(20);
        NewPeer();
    }
    void TearDown() override { EXPECT_TRUE(rules.ok()) << rules.violations.front(); }

    /// A fresh server for the next connection, greeting and answering QUIT with 221 but
    /// never closing: the control must not wait for it.
    ScriptedFtpPeer& NewPeer() {
        peer = peers.emplace_back(std::make_unique<ScriptedFtpPeer>(io)).get();
        peer->On("QUIT", FtpScript().Reply("221 Goodbye"));
        control.put_port(peer->Port());
        return *peer;
    }

    bool Has(const std::string& prefix) const {
        for (const auto& e : recorder.events)
            if (e.rfind(prefix, 0) == 0) return true;
        return false;
    }
    bool RunUntilEvent(const std::string& prefix, std::chrono::milliseconds limit = 8s) {
        return testing::RunUntil(io, [&] { return Has(prefix); }, limit);
    }
    template <class F>
    void Host(F&& call) {
        call();
        rules.Sample();
    }
    /// The events a host sees, traces and the download's own events aside.
    std::vector<std::string> Outcome() const {
        std::vector<std::string> events;
        for (const auto& e : recorder.NonTraceEvents())
            if (e.rfind("Get", 0) != 0) events.push_back(e);
        return events;
    }

    void LogIn() {
        peer->On("USER", FtpScript().Reply("331 Password required"));
        peer->On("PASS", FtpScript().Reply("230 Logged in"));
        Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
        ASSERT_TRUE(RunUntilEvent("CommandDone(0,Connect,"));
        recorder.Clear();
        peer->lines.clear();
    }
    /// The dialogue is still in step: a NOOP gets its own answer.
    void ExpectNoopAnswered() {
        recorder.Clear();
        peer->On("NOOP", FtpScript().Reply("200 NOOP fine"));
        Host([&] { control.Noop(); });
        ASSERT_TRUE(RunUntilEvent("CommandDone("));
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Noop,NOOP fine)"));
    }

    asio::io_context io;
    AsioPlatform platform{io};
    std::vector<std::unique_ptr<ScriptedFtpPeer>> peers;
    ScriptedFtpPeer* peer = nullptr;
    EventRecorder recorder;
    tarsel control{platform};
    EventRules rules{&control};
};

// ---- the login takes 230, 331 and 332 to USER, 230, 202 and 332 to PASS

TEST_F(DialogueFaultTest, LoginRepliesTheCommandCannotHaveEndTheLoginWithTheirCode) {
    struct Case {
        const char* name;
        const char* user;
        const char* pass;
        const char* account;
        const char* done;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"USER 314", "314 Odd", nullptr, "", "CommandDone(314,Connect,Odd)", {"USER anonymous"}},
        {"PASS 314", "331 Password required", "314 Odd", "", "CommandDone(314,Connect,Odd)",
         {"USER anonymous", "PASS guest@"}},
        {"USER 332, no account", "332 Need account", nullptr, "", "CommandDone(332,Connect,Need account)",
         {"USER anonymous"}},
        {"PASS 332, no account", "331 Password required", "332 Need account", "",
         "CommandDone(332,Connect,Need account)", {"USER anonymous", "PASS guest@"}},
        {"PASS 332, account set", "331 Password required", "332 Need account", "acct",
         "CommandDone(0,Connect,Logged in)", {"USER anonymous", "PASS guest@", "ACCT acct"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewPeer();
        peer->On("USER", FtpScript().Reply(c.user));
        if (c.pass) peer->On("PASS", FtpScript().Reply(c.pass));
        peer->On("ACCT", FtpScript().Reply("230 Logged in"));
        control.put_Account(FromUtf8(c.account));
        recorder.Clear();
        Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
        ASSERT_TRUE(RunUntilEvent("CommandDone("));

        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected", c.done));
        EXPECT_THAT(peer->lines, ElementsAreArray(c.lines));
        // A refused login leaves the connection open and idle.
        EXPECT_EQ(control.IsIdle(), True);
        ASSERT_NO_FATAL_FAILURE(ExpectNoopAnswered());
        Host([&] { control.Abend(); });
    }
}

// ---- TYPE, PORT, CWD, MKD and the like take 2xx; RNFR takes 350

TEST_F(DialogueFaultTest, SetUpRepliesOfAnotherClassEndTheOperationAtOnce) {
    struct Case {
        const char* name;
        const char* word;
        const char* reply;
        std::function<void(tarsel&)> call;
        const char* done;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {"CWD 314", "CWD", "314 Odd", [](tarsel& c) { c.Cwd(u"d"); }, "CommandDone(314,Cwd,Odd)", {"CWD"}},
        {"MKD 350", "MKD", "350 Go on", [](tarsel& c) { c.MkDir(u"d"); }, "CommandDone(350,MkDir,Go on)",
         {"MKD"}},
        {"RNFR 250", "RNFR", "250 Done already", [](tarsel& c) { c.Rename(u"a", u"b"); },
         "CommandDone(250,Rename,Done already)", {"RNFR"}},
        {"TYPE 314", "TYPE", "314 Odd", [](tarsel& c) { c.GetFile(u"f", u"l"); },
         "CommandDone(314,GetFile,Odd)", {"TYPE"}},
        // Before, nothing ever connected after this and the control gave up only at the
        // data-connect time-out.
        {"PORT 314", "PORT", "314 Odd", [](tarsel& c) { c.GetFile(u"f", u"l"); },
         "CommandDone(314,GetFile,Odd)", {"TYPE", "PORT"}},
        {"PASV 314", "PASV", "314 Odd",
         [](tarsel& c) {
             c.put_Passive(True);
             c.GetFile(u"f", u"l");
         },
         "CommandDone(314,GetFile,Odd)", {"TYPE", "PASV"}},
    };
    ASSERT_NO_FATAL_FAILURE(LogIn());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        control.put_Passive(False);
        peer->On("TYPE", FtpScript().Reply("200 Type set"));
        peer->On("PORT", FtpScript().Reply("200 PORT ok"));
        peer->On(c.word, FtpScript().Reply(c.reply));
        recorder.Clear();
        peer->lines.clear();
        Host([&] { c.call(control); });
        ASSERT_TRUE(RunUntilEvent("CommandDone(", 3s));

        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre(c.done));
        EXPECT_THAT(Words(peer->lines), ElementsAreArray(c.words));
        ASSERT_NO_FATAL_FAILURE(ExpectNoopAnswered());
    }
}

// ---- a transfer takes 1xx, then 2xx

class UnexpectedTransferReplyTest : public DialogueFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnexpectedTransferReplyTest, EndsTheOperationAndTheConnectionWithQuit) {
    const bool passive = GetParam();
    ASSERT_NO_FATAL_FAILURE(LogIn());
    control.put_Passive(passive ? True : False);
    peer->On("TYPE", FtpScript().Reply("200 Type set"));
    peer->On("PORT", FtpScript().Reply("200 PORT ok"));
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("RETR", FtpScript().Reply("314 Odd"));

    Host([&] { control.GetFile(u"f", u"l"); });
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    EXPECT_THAT(Outcome(), ElementsAre("TransError(-7,connection lost,control)",
                                       "CommandDone(-1,GetFile,unexpected reply: 314 Odd)",
                                       "DisConnected(-13,unexpected reply: 314 Odd)"));
    EXPECT_THAT(Words(peer->lines), ElementsAre("TYPE", passive ? "PASV" : "PORT", "RETR", "QUIT"));
    EXPECT_TRUE(testing::RunUntil(io, [&] { return peer->clientClosed; }, 2s));
}

INSTANTIATE_TEST_SUITE_P(Modes, UnexpectedTransferReplyTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

// ---- a code outside 1xx-5xx, or a NUL in a reply

TEST_F(DialogueFaultTest, MalformedRepliesEndTheConnectionWithQuit) {
    struct Case {
        const char* name;
        bool loggedIn;
        FtpScript answer;
        std::vector<std::string> events;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"633 to USER", false, FtpScript().Reply("633 What"),
         {"Connected", "DisConnected(-13,malformed reply: 633 What)"}, {"USER anonymous", "QUIT"}},
        {"NUL in the 230", false, FtpScript().Raw(std::string("230 logged\0 in\r\n", 16)),
         {"Connected", "DisConnected(-13,malformed reply: NUL in a reply line)"}, {"USER anonymous", "QUIT"}},
        {"633 to CWD", true, FtpScript().Reply("633 What"),
         {"TransError(-7,connection lost,control)", "CommandDone(-1,Cwd,malformed reply: 633 What)",
          "DisConnected(-13,malformed reply: 633 What)"},
         {"CWD d", "QUIT"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewPeer();
        if (c.loggedIn) {
            ASSERT_NO_FATAL_FAILURE(LogIn());
            peer->On("CWD", c.answer);
            Host([&] { control.Cwd(u"d"); });
        } else {
            peer->On("USER", c.answer);
            recorder.Clear();
            Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
        }
        ASSERT_TRUE(RunUntilEvent("DisConnected"));
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAreArray(c.events));
        EXPECT_THAT(peer->lines, ElementsAreArray(c.lines));
        EXPECT_TRUE(testing::RunUntil(io, [&] { return peer->clientClosed; }, 2s));
    }
}

// ---- the address of a 227

class PasvAddressTest : public DialogueFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PasvAddressTest, The227AddressIsFollowedOnlyWhenThePropertyAsksForIt) {
    const bool trust = GetParam();
    ASSERT_NO_FATAL_FAILURE(LogIn());
    if (trust) control.put_PasvAddress(True);
    control.put_Passive(True);
    peer->On("TYPE", FtpScript().Reply("200 Type set"));
    // Another host than the server's; nothing listens there (the listener is 127.0.0.1's).
    peer->On("PASV", FtpScript().PassiveReplyNaming("127,0,0,2"));
    if (trust) {
        peer->On("RETR", FtpScript().Reply("150 Opening BINARY mode data connection"));
        peer->On("ABOR", FtpScript().Reply("426 Transfer aborted").Reply("226 ABOR successful"));
    } else {
        peer->On("RETR", FtpScript()
                             .Reply("150 Opening BINARY mode data connection")
                             .AwaitData()
                             .DataSend("payload")
                             .DataClose()
                             .Reply("226 Transfer complete"));
    }

    Host([&] { control.GetFile(u"f", u"l"); });
    ASSERT_TRUE(RunUntilEvent("CommandDone("));

    if (trust) {
        // The data connection to 127.0.0.2 fails, and ABOR ends the wait for the server.
        EXPECT_THAT(recorder.NonTraceEvents(),
                    ElementsAre(StartsWith("TransError("), "CommandDone(426,GetFile,Transfer aborted)"));
        EXPECT_THAT(Words(peer->lines), ElementsAre("TYPE", "PASV", "RETR", "ABOR"));
        ASSERT_NO_FATAL_FAILURE(ExpectNoopAnswered());
    } else {
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen(l)", "GetData(7)", "GetClose",
                                                          "CommandDone(0,GetFile,Transfer complete)"));
        EXPECT_EQ(recorder.received, "payload");
    }
}

INSTANTIATE_TEST_SUITE_P(Trust, PasvAddressTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

// ---- a data connection that fails once the transfer command is out

TEST_F(DialogueFaultTest, AFailedDataConnectionIsAbortedAndEndsWithTheAnswerToAbor) {
    struct Case {
        const char* name;
        FtpScript abor;
        std::vector<std::string> outcome;
        bool inStep;
    };
    const std::vector<Case> cases = {
        {"426 then 226", FtpScript().Reply("426 Transfer aborted").Reply("226 ABOR successful"),
         {"CommandDone(426,GetFile,Transfer aborted)"}, true},
        {"225 alone", FtpScript().Reply("225 No transfer to abort"),
         {"CommandDone(-1,GetFile,No transfer to abort)"}, true},
        {"a refusal alone", FtpScript().Reply("500 ABOR not understood"),
         {"CommandDone(500,GetFile,ABOR not understood)"}, true},
        // A server that answers nothing is left: its late answers would be taken for another
        // command's.
        {"silence", FtpScript().Stall(),
         {"TransError(-7,connection lost,control)", "CommandDone(-1,GetFile,reply timeout(timer))",
          "DisConnected(-1,reply timeout(timer))"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewPeer();
        ASSERT_NO_FATAL_FAILURE(LogIn());
        control.put_Passive(True);
        peer->On("TYPE", FtpScript().Reply("200 Type set"));
        peer->On("PASV", FtpScript().Reply(PasvToClosedPort(io)));
        peer->On("RETR", FtpScript().Reply("150 Opening BINARY mode data connection"));
        peer->On("ABOR", c.abor);

        Host([&] { control.GetFile(u"f", u"l"); });
        ASSERT_TRUE(RunUntilEvent(c.inStep ? "CommandDone(" : "DisConnected", 10s));

        std::vector<std::string> outcome = Outcome();
        ASSERT_FALSE(outcome.empty());
        EXPECT_THAT(outcome.front(), StartsWith("TransError(")) << "the failed connect";
        outcome.erase(outcome.begin());
        EXPECT_THAT(outcome, ElementsAreArray(c.outcome));
        std::vector<std::string> expectedWords = {"TYPE", "PASV", "RETR", "ABOR"};
        if (!c.inStep) expectedWords.push_back("QUIT");
        EXPECT_THAT(Words(peer->lines), ElementsAreArray(expectedWords));
        if (c.inStep) {
            ASSERT_NO_FATAL_FAILURE(ExpectNoopAnswered());
            Host([&] { control.Abend(); });
        }
    }
}

// ---- the end of the connection

TEST_F(DialogueFaultTest, A221ToQuitEndsTheConnectionThoughTheServerKeepsItOpen) {
    ASSERT_NO_FATAL_FAILURE(LogIn());
    Host([&] { control.DisConnect(); });
    ASSERT_TRUE(RunUntilEvent("DisConnected", 5s));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,DisConnect,Goodbye)", "DisConnected(0,)"));
    EXPECT_TRUE(testing::RunUntil(io, [&] { return peer->clientClosed; }, 2s));
}

// An old server's answer to NLST in an empty directory is taken as what it says, a 450: the
// same code means a busy or unreadable directory, and an empty listing in its place could make
// a host delete what it believes the server no longer has.
TEST_F(DialogueFaultTest, A450ToNlstStaysARefusal) {
    ASSERT_NO_FATAL_FAILURE(LogIn());
    control.put_Passive(True);
    peer->On("TYPE", FtpScript().Reply("200 Type set"));
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("NLST", FtpScript().Reply("450 No files found"));
    Host([&] { control.Ls(); });
    ASSERT_TRUE(RunUntilEvent("CommandDone("));
    std::vector<std::string> outcome;
    for (const auto& e : recorder.NonTraceEvents())
        if (e.rfind("Dir", 0) != 0) outcome.push_back(e);
    EXPECT_THAT(outcome, ElementsAre("CommandDone(450,Ls,No files found)"));
}

}  // namespace
}  // namespace tarselctl
