// The control on the real event loop against a server that misbehaves: replies cut at every
// byte, odd line ends and bytes, floods, malformed passive addresses, data connections that
// never answer, never end or are reset, strangers on the active-mode listener, and closes at
// every step of the login. Whatever the server does, the host is told, nothing that failed
// is reported as a success, and no wait outlasts the time-outs the host set.
//
// Every test runs with small time-outs and bounded loop runs, so a hang fails in seconds.
// An EventRules sink, advised first, checks the order of every event a host sees.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "asio_platform/loopback.h"
#include "support/event_recorder.h"
#include "support/event_rules.h"
#include "support/scripted_ftp_peer.h"

namespace tarselctl {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using namespace std::chrono_literals;
using testing::FtpScript;
using testing::ScriptedFtpPeer;

constexpr std::size_t kMiB = 1024 * 1024;

/// Resident memory of this process now, in bytes.
std::size_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

/// Whether resident memory says anything about the control: AddressSanitizer keeps freed
/// blocks in quarantine, so memory grows with every allocation made, leaked or not.
constexpr bool kResidentMemoryIsMeaningful =
#if defined(__SANITIZE_ADDRESS__)
    false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    false;
#else
    true;
#endif
#else
    true;
#endif

std::string Errno(int number) { return std::system_category().message(number); }

/// The bytes of a string literal, NULs included.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

class HostileServerTest : public ::testing::Test {
protected:
    HostileServerTest() {
        // The rules see each event before the recorder's hooks may call back.
        rulesCookie = control.Advise(rules);
        control.Advise(recorder);
        recorder.skipDiagnosticTraces = true;
        // Small, so that a wait the server makes endless ends quickly; tests that need a
        // time-out to fire set 1.
        control.put_ConnectTimeout(2);
        control.put_TransTimeout(2);
        control.put_ReplyTimeout(2);
        UsePeer(*peer);
    }

    void TearDown() override {
        EXPECT_TRUE(rules.ok()) << rules.violations.front();
    }

    void UsePeer(ScriptedFtpPeer& p) { control.put_port(p.Port()); }

    /// Stops checking the event order (the rules hold on to every byte delivered).
    void StopRules() { control.Unadvise(rulesCookie); }

    bool Has(const std::string& prefix) const {
        for (const auto& e : recorder.events)
            if (e.rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::size_t Count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& e : recorder.events) n += e.rfind(prefix, 0) == 0;
        return n;
    }

    /// Runs the loop until an event starting with `prefix` has come, or `limit` passed.
    bool RunUntilEvent(const std::string& prefix, std::chrono::milliseconds limit = 6s) {
        return testing::RunUntil(io, [&] { return Has(prefix); }, limit);
    }
    /// Runs the loop until the running operation has ended one way or the other.
    bool RunUntilEnded(std::chrono::milliseconds limit = 6s) {
        return testing::RunUntil(io, [&] { return Has("CommandDone") || Has("DisConnected"); },
                                 limit);
    }

    /// Calls into the control as a host would, and lets the rules read its state.
    template <class F>
    void Host(F&& call) {
        call();
        rules.Sample();
    }

    /// Logs in anonymously; leaves the control idle with the logs cleared.
    void LogIn() {
        peer->On("USER", FtpScript().Reply("331 Password required"));
        peer->On("PASS", FtpScript().Reply("230 Logged in"));
        Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
        ASSERT_TRUE(RunUntilEvent("CommandDone(0,Connect,"));
        ASSERT_EQ(control.IsIdle(), True);
        recorder.Clear();
        peer->lines.clear();
    }

    /// Logs in and switches to passive mode with TYPE answered.
    void LogInPassive() {
        ASSERT_NO_FATAL_FAILURE(LogIn());
        control.put_Passive(True);
        peer->On("TYPE", FtpScript().Reply("200 Type set"));
    }

    asio::io_context io;
    AsioPlatform platform{io};
    /// Servers outlive the control, so that its sockets never see a peer's handler gone.
    std::vector<std::unique_ptr<ScriptedFtpPeer>> peers;
    ScriptedFtpPeer* peer = peers.emplace_back(std::make_unique<ScriptedFtpPeer>(io)).get();
    EventRecorder recorder;
    tarsel control{platform};
    EventRules rules{&control};
    Long rulesCookie = 0;
};

// ---- replies as a hostile server cuts and fills them

TEST_F(HostileServerTest, RepliesTrickledOneByteAtATimeAreReadAsWholeReplies) {
    // One byte per write: each byte boundary, the CR LF inside included, can be a read's end.
    peer->Greeting(FtpScript().Trickle("220-Welcome\r\n220 ready\r\n"));
    peer->On("USER", FtpScript().Trickle("331 Password required\r\n"));
    peer->On("PASS", FtpScript().Trickle("230-Hello\r\n230 Logged in\r\n"));

    Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
    ASSERT_TRUE(RunUntilEnded());

    EXPECT_THAT(peer->lines, ElementsAre("USER anonymous", "PASS guest@"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220-Welcome)", "Trace(220 ready)",
                            "Trace(Connect>>USER anonymous)", "Trace(331 Password required)",
                            "Trace(Connect>>PASS ***)", "Trace(230-Hello)", "Trace(230 Logged in)",
                            "CommandDone(0,Connect,Logged in)"));
}

TEST_F(HostileServerTest, BareLfEndsAReplyLineAndBareCrDoesNot) {
    peer->Greeting(FtpScript().Raw("220 ready\n"));
    peer->On("USER", FtpScript().Raw("331-one\rstill line one\n331 send password\n"));
    peer->On("PASS", FtpScript().Raw("230 Logged in\n"));

    Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
    ASSERT_TRUE(RunUntilEnded());

    EXPECT_THAT(peer->lines, ElementsAre("USER anonymous", "PASS guest@"));
    EXPECT_THAT(recorder.events,
                ElementsAre("Connected", "Trace(220 ready)", "Trace(Connect>>USER anonymous)",
                            "Trace(331-one\rstill line one)", "Trace(331 send password)",
                            "Trace(Connect>>PASS ***)", "Trace(230 Logged in)",
                            "CommandDone(0,Connect,Logged in)"));
}

TEST_F(HostileServerTest, AReplyOfBareCrLinesNeverEndsAndTheReplyTimeoutClosesTheConnection) {
    control.put_ReplyTimeout(1);
    peer->On("USER", FtpScript().Raw("331 Password required\r230 Logged in\r").Stall());

    Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    EXPECT_THAT(peer->lines, ElementsAre("USER anonymous")) << "no line of it was a reply";
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "DisConnected(-1,reply timeout(timer))"));
    EXPECT_TRUE(testing::RunUntil(io, [&] { return peer->clientClosed; }, 2s));
}

// (A NUL is another matter: tests/loopback/dialogue_faults_test.cpp.)
TEST_F(HostileServerTest, HighBytesInRepliesNeitherCutTheLineNorStopTheDialogue) {
    peer->Greeting(FtpScript().Raw(Bytes("220 high \x80\xfe\xff bytes end\r\n")));
    peer->On("USER", FtpScript().Raw(Bytes("230 \xff\x80 in\r\n")));
    peer->On("DELE", FtpScript().Raw("550 \xfe\xfe\xa1 refused\r\n"));

    Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    Host([&] { control.Delete(u"f"); });
    ASSERT_TRUE(RunUntilEvent("CommandDone(550,"));

    EXPECT_THAT(peer->lines, ElementsAre("USER anonymous", "DELE f"));
    const auto events = recorder.NonTraceEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "Connected");
    EXPECT_THAT(events[1], StartsWith("CommandDone(0,Connect,"));
    EXPECT_THAT(events[1], HasSubstr("in"));
    EXPECT_THAT(events[2], StartsWith("CommandDone(550,Delete,"));
    EXPECT_THAT(events[2], HasSubstr("refused"));
    // The greeting is traced whole.
    EXPECT_THAT(recorder.events,
                Contains(AllOf(StartsWith("Trace(220 high "), HasSubstr("bytes end)"))));
}

TEST_F(HostileServerTest, ThousandsOfPreliminaryRepliesWaitForTheFinalOne) {
    ASSERT_NO_FATAL_FAILURE(LogIn());
    std::string flood;
    for (int i = 0; i < 5000; ++i) flood += "150 still working " + std::to_string(i) + "\r\n";
    peer->On("DELE", FtpScript().Raw(flood).Pause(20ms).Raw(flood).Reply("250 Deleted"));

    Host([&] { control.Delete(u"f"); });
    ASSERT_TRUE(RunUntilEnded(10s));

    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Delete,Deleted)"));
    EXPECT_EQ(Count("Trace(150 still working "), 10000u);
    EXPECT_EQ(control.IsIdle(), True);
}

TEST_F(HostileServerTest, AMultiLineReplyEndsOnlyAtTheLineWithItsOwnCode) {
    // Lines inside that start with digits are text; taking one as the end would send USER
    // early and answer every later command with the reply to the one before.
    peer->Greeting(FtpScript().Raw(
        "220-Welcome\r\n2024/01/01 maintenance tonight\r\n230 users max\r\n"
        "2 mirrors are available today.\r\n220-still the greeting\r\n220 ready\r\n"));
    peer->On("USER", FtpScript().Reply("331 Password required"));
    peer->On("PASS", FtpScript().Reply("230 Logged in"));
    peer->On("DELE", FtpScript().Reply("550 Permission denied"));

    Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    Host([&] { control.Delete(u"precious"); });
    ASSERT_TRUE(testing::RunUntil(io, [&] { return Count("CommandDone(") == 2; }, 6s));

    EXPECT_THAT(peer->lines, ElementsAre("USER anonymous", "PASS guest@", "DELE precious"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(0,Connect,Logged in)",
                            "CommandDone(550,Delete,Permission denied)"));
}

// ---- passive-mode addresses

TEST_F(HostileServerTest, MalformedPassiveAddressesEndTheTransferWithMinusOneAndNoLookUp) {
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    // The sockets' diagnostics show any connection attempt, a name look-up included.
    recorder.skipDiagnosticTraces = false;
    const std::vector<std::string> replies = {
        "227 Entering Passive Mode",
        "227 Entering Passive Mode (127,0,0,1,4)",
        "227 Entering Passive Mode (127,0,0,-1,4,1)",
        "227 Entering Passive Mode (127,0,0,256,4,1)",
        "227 Entering Passive Mode (999,0,0,1,4,1)",
        "227 Entering Passive Mode (-127,0,0,1,4,1)",
        "227 Entering Passive Mode (127,0,0,1,-1,2000)",
        "227 Entering Passive Mode (127,0,0,1,4,-1)",
        "227 Entering Passive Mode (127,0,0,1,256,0)",
        "227 Entering Passive Mode (127,0,0,1,99999999999999999999,1)",
        "227 Entering Passive Mode (4294967423,0,0,1,4,1)",
        "227 Entering Passive Mode (127,0,0,1,,)",
    };
    for (const std::string& reply : replies) {
        SCOPED_TRACE(reply);
        recorder.Clear();
        peer->lines.clear();
        peer->Next(FtpScript().Reply("200 Type set"));
        peer->Next(FtpScript().Reply(reply));
        Host([&] { control.Dir(); });
        ASSERT_TRUE(RunUntilEnded());
        testing::RunFor(io, 20ms);

        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(-1,Dir," + reply.substr(4) + ")"));
        EXPECT_THAT(peer->lines, ElementsAre("TYPE A", "PASV")) << "no transfer command";
        EXPECT_THAT(recorder.events, Not(Contains(StartsWith("Trace(---Soquet3:"))))
            << "the data socket was asked to connect";
        EXPECT_EQ(control.IsIdle(), True);
    }
}

TEST_F(HostileServerTest, APassivePortThatNeverAnswersTimesOutAndTheStalledServerIsLeft) {
    testing::SilentPort silent;
    ASSERT_TRUE(silent.Ok());
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    control.put_ConnectTimeout(1);
    control.put_ReplyTimeout(1);
    const unsigned port = silent.Number();
    peer->On("PASV", FtpScript().Reply("227 Entering Passive Mode (127,0,0,1," +
                                       std::to_string(port / 256) + "," +
                                       std::to_string(port % 256) + ")"));
    // The server waits for a data connection that can never come, and never answers again.
    peer->On("LIST", FtpScript().Reply("150 Here comes the directory listing").Stall());

    Host([&] { control.Dir(); });
    ASSERT_TRUE(RunUntilEvent("DisConnected", 8s));

    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-1,connect timeout,timer)",
                            "TransError(-7,connection lost,control)",
                            "CommandDone(-1,Dir,reply timeout(timer))",
                            "DisConnected(-1,reply timeout(timer))"));
    EXPECT_TRUE(testing::RunUntil(io, [&] { return peer->clientClosed; }, 2s));
}

// ---- data connections that never end, or end badly

TEST_F(HostileServerTest, ADownloadThatNeverEndsIsHandedOnInFlatMemoryUntilTheHostAborts) {
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("RETR", FtpScript()
                         .Reply("150 Opening BINARY mode data connection")
                         .AwaitData()
                         .DataSendForever(testing::Pattern(64 * 1024, 5))
                         .Reply("426 Transfer aborted"));
    // The rules keep every delivered byte for a comparison this test does not need.
    StopRules();
    recorder.recordTraces = false;
    std::size_t received = 0, peak = 0;
    const std::size_t before = ResidentBytes();
    recorder.onGetData = [&](ByteArray& data) {
        // The recorder keeps every byte; this host only counts them.
        recorder.received.clear();
        received += data.size();
        peak = std::max(peak, ResidentBytes());
        if (received >= 64 * kMiB && received - data.size() < 64 * kMiB)
            Host([&] { control.Abort(); });
    };

    Host([&] { control.GetFile(u"endless.bin", u"local.bin"); });
    ASSERT_TRUE(testing::RunUntil(
        io, [&] { return Has("CommandDone") || Has("DisConnected") || peer->dataSent > 512 * kMiB; },
        20s));
    // GetData records its size only; drop them so that the rest can be read.
    std::vector<std::string> events;
    for (const auto& e : recorder.NonTraceEvents())
        if (e.rfind("GetData(", 0) != 0) events.push_back(e);
    EXPECT_THAT(events, ElementsAre("GetOpen(local.bin)", "GetClose",
                                    "CommandDone(426,GetFile,Transfer aborted)"));
    EXPECT_GE(received, 64 * kMiB);
    if (kResidentMemoryIsMeaningful) {
        EXPECT_LT(peak - std::min(peak, before), 24 * kMiB)
            << "memory grew with the data: " << (peak - before) / kMiB << " MiB for "
            << received / kMiB << " MiB received";
    }
}

TEST_F(HostileServerTest, AListingLineThatNeverEndsIsCutOffInFlatMemory) {
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("LIST", FtpScript()
                         .Reply("150 Here comes the directory listing")
                         .AwaitData()
                         .DataSendForever(std::string(64 * 1024, 'x'))
                         .Reply("426 Transfer aborted"));
    StopRules();
    recorder.recordTraces = false;
    std::size_t peak = 0;
    const std::size_t before = ResidentBytes();
    recorder.onDirData = [&](String&) { peak = std::max(peak, ResidentBytes()); };
    recorder.onTransError = [&](Long, const String&, const String&) {
        peak = std::max(peak, ResidentBytes());
    };

    Host([&] { control.Dir(); });
    // Without a bound the line would grow until the loop's deadline: stop the server first.
    ASSERT_TRUE(testing::RunUntil(
        io, [&] { return Has("CommandDone") || Has("DisConnected") || peer->dataSent > 256 * kMiB; },
        20s));

    const auto events = recorder.NonTraceEvents();
    ASSERT_GE(events.size(), 3u) << ::testing::PrintToString(events);
    EXPECT_EQ(events.front(), "DirOpen");
    EXPECT_THAT(events, Contains(StartsWith("TransError(")));
    EXPECT_THAT(events, Contains("DirClose"));
    EXPECT_THAT(events.back(), StartsWith("CommandDone(426,Dir,"));
    EXPECT_LT(peer->dataSent, 64 * kMiB) << "the control read on long after the bound";
    if (kResidentMemoryIsMeaningful) {
        peak = std::max(peak, ResidentBytes());
        EXPECT_LT(peak - std::min(peak, before), 24 * kMiB);
    }
}

TEST_F(HostileServerTest, AResetInTheMiddleOfADownloadIsATransErrorNeverASuccess) {
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    const std::string file = testing::Pattern(kMiB, 9);
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("RETR", FtpScript()
                         .Reply("150 Opening BINARY mode data connection")
                         .AwaitData()
                         .DataSend(file)
                         .Pause(50ms)
                         .DataReset()
                         .Pause(50ms)
                         .Reply("426 Connection closed; transfer aborted"));

    Host([&] { control.GetFile(u"f.bin", u"local.bin"); });
    ASSERT_TRUE(RunUntilEnded());

    std::vector<std::string> events;
    for (const auto& e : recorder.NonTraceEvents())
        if (e.rfind("GetData(", 0) != 0) events.push_back(e);
    EXPECT_THAT(events, ElementsAre("GetOpen(local.bin)",
                                    "TransError(" + std::to_string(ECONNRESET) + "," +
                                        Errno(ECONNRESET) + ",read)",
                                    "GetClose",
                                    "CommandDone(426,GetFile,Connection closed; transfer aborted)"));
    EXPECT_LE(recorder.received.size(), file.size());
    EXPECT_TRUE(file.compare(0, recorder.received.size(), recorder.received) == 0)
        << "what arrived is the start of the file";
}

TEST_F(HostileServerTest, AResetOfTheControlConnectionMidTransferClosesTheTransferFirst) {
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("RETR", FtpScript()
                         .Reply("150 Opening BINARY mode data connection")
                         .AwaitData()
                         .DataSend("partial")
                         .Pause(50ms)
                         .Reset());

    Host([&] { control.GetFile(u"f.bin", u"local.bin"); });
    ASSERT_TRUE(RunUntilEvent("DisConnected"));

    std::vector<std::string> events;
    for (const auto& e : recorder.NonTraceEvents())
        if (e.rfind("GetData(", 0) != 0) events.push_back(e);
    const std::string reason = Errno(ECONNRESET) + "(read)";
    EXPECT_THAT(events, ElementsAre("GetOpen(local.bin)", "TransError(-7,connection lost,control)",
                                    "GetClose", "CommandDone(-1,GetFile," + reason + ")",
                                    "DisConnected(" + std::to_string(ECONNRESET) + "," + reason + ")"));
}

// A server that drops the control connection, or announces more than it sends, in the middle
// of a download: in either mode the host hears of a failure before CommandDone, and the bytes
// that came are all it gets.
class CutShortTest : public HostileServerTest, public ::testing::WithParamInterface<bool> {
protected:
    void StartDownload(const std::function<void(FtpScript&)>& afterData) {
        const bool passive = GetParam();
        ASSERT_NO_FATAL_FAILURE(LogIn());
        control.put_Passive(passive ? True : False);
        peer->On("TYPE", FtpScript().Reply("200 Type set"));
        if (passive) peer->On("PASV", FtpScript().PassiveReply());
        else peer->On("PORT", FtpScript().Reply("200 PORT ok"));
        FtpScript retr;
        retr.Reply("150 Opening BINARY mode data connection for f.bin (100000 bytes).");
        if (passive) retr.AwaitData();
        else retr.ActiveConnect();
        retr.DataSend(std::string(1000, 'x')).Pause(30ms);
        afterData(retr);
        peer->On("RETR", retr);
        Host([&] { control.GetFile(u"f.bin", u"local.bin"); });
    }
};

TEST_P(CutShortTest, TheControlConnectionClosedMidDownloadEndsItFailedBeforeDisConnected) {
    ASSERT_NO_FATAL_FAILURE(StartDownload([](FtpScript& s) { s.Close(); }));
    ASSERT_TRUE(RunUntilEvent("DisConnected"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", StartsWith("GetData("),
                            "TransError(-7,connection lost,control)", "GetClose",
                            "CommandDone(-1,GetFile,connection lost)", "DisConnected(0,)"));
    EXPECT_EQ(recorder.received.size(), 1000u);
}

TEST_P(CutShortTest, FewerBytesThanAnnouncedIsReportedBeforeTheServersSuccess) {
    ASSERT_NO_FATAL_FAILURE(StartDownload([](FtpScript& s) { s.DataClose().Reply("226 Transfer complete"); }));
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    std::vector<std::string> events;
    for (const auto& e : recorder.NonTraceEvents())
        if (e.rfind("GetData(", 0) != 0) events.push_back(e);
    EXPECT_THAT(events, ElementsAre("GetOpen(local.bin)", "TransError(-8,download cut short,data)",
                                    "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
    EXPECT_EQ(recorder.received.size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Modes, CutShortTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST_F(HostileServerTest, AResetInTheMiddleOfAnUploadIsReportedEvenWhenTheServerClaimsSuccess) {
    ASSERT_NO_FATAL_FAILURE(LogInPassive());
    // The host always has more, so that the reset comes in the middle of the data.
    const std::string block = testing::Pattern(64 * 1024, 4);
    recorder.onPutData = [&](ByteArray& data) { data.assign(block.begin(), block.end()); };
    peer->On("PASV", FtpScript().PassiveReply());
    peer->On("STOR", FtpScript()
                         .Reply("150 Ok to send data")
                         .AwaitData()
                         .Pause(30ms)
                         .DataReset()
                         .Pause(50ms)
                         .Reply("226 Transfer complete"));

    recorder.skipDiagnosticTraces = false;  // the socket's view, should this fail
    Host([&] { control.PutFile(u"f.bin", u"local.bin"); });
    ASSERT_TRUE(RunUntilEnded());

    std::vector<std::string> events, transcript;
    for (const auto& e : recorder.events) {
        if (e == "PutData") continue;
        transcript.push_back(e);
        if (e.rfind("Trace(", 0) != 0) events.push_back(e);
    }
    // The TransError may come before or after PutClose: the control may learn that the data
    // did not all go out from the socket or only from the server's claim of success.
    ASSERT_EQ(events.size(), 4u) << ::testing::PrintToString(transcript);
    EXPECT_EQ(events[0], "PutOpen(local.bin)");
    EXPECT_THAT(std::vector<std::string>(events.begin() + 1, events.end() - 1),
                ::testing::UnorderedElementsAre("PutClose", StartsWith("TransError(")))
        << "the host's data did not all go out";
    EXPECT_THAT(events[3], StartsWith("CommandDone("));
}

// ---- active mode: strangers on the listener

class ActiveStrangerTest : public HostileServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ActiveStrangerTest, AConnectionFromAnotherAddressIsRefusedUnlessTheCheckIsOff) {
    const bool check = GetParam();
    ASSERT_NO_FATAL_FAILURE(LogIn());
    control.put_DataPeerCheck(check ? True : False);
    peer->On("TYPE", FtpScript().Reply("200 Type set"));
    peer->On("PORT", FtpScript().Reply("200 PORT command successful"));
    peer->On("RETR", FtpScript()
                         .Reply("150 Opening BINARY mode data connection")
                         .ActiveConnectFrom("127.0.0.2")
                         .DataSend("intruder")
                         .Pause(100ms)
                         .ActiveConnect()
                         .DataSend("genuine")
                         .DataClose()
                         .Pause(50ms)
                         .Reply("226 Transfer complete"));

    Host([&] { control.GetFile(u"f.bin", u"local.bin"); });
    ASSERT_TRUE(RunUntilEnded());

    ASSERT_EQ(peer->lines.size(), 3u);
    EXPECT_THAT(peer->lines[1], ::testing::MatchesRegex("PORT 127,0,0,1,[0-9]+,[0-9]+"));
    const std::string taken = check ? "genuine" : "intruder";
    EXPECT_EQ(recorder.received, taken);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", "GetData(" + std::to_string(taken.size()) + ")",
                            "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
}

INSTANTIATE_TEST_SUITE_P(PeerCheck, ActiveStrangerTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

// ---- the server closing at every step of the login

TEST_F(HostileServerTest, TheServerClosingAtAnyStepOfTheLoginEndsInDisConnectedAlone) {
    struct Step {
        const char* name;
        FtpScript greeting;
        std::vector<std::pair<std::string, FtpScript>> answers;
    };
    const auto login = [](FtpScript user, FtpScript pass = FtpScript().Reply("230 Logged in"),
                          FtpScript acct = FtpScript().Reply("230 Logged in")) {
        return std::vector<std::pair<std::string, FtpScript>>{
            {"USER", std::move(user)}, {"PASS", std::move(pass)}, {"ACCT", std::move(acct)}};
    };
    const FtpScript greet = FtpScript().Reply("220 ready");
    const FtpScript password = FtpScript().Reply("331 Password required");
    const std::vector<Step> steps = {
        {"before the greeting", FtpScript().Close(), {}},
        {"inside the greeting", FtpScript().Raw("22").Close(), {}},
        {"inside a multi-line greeting", FtpScript().Raw("220-Welcome\r\n").Close(), {}},
        {"greeting reset", FtpScript().Raw("220-Welcome\r\n").Reset(), {}},
        {"at USER", greet, login(FtpScript().Close())},
        {"inside the reply to USER", greet, login(FtpScript().Raw("331 Pass").Close())},
        {"after 331", greet, login(FtpScript().Reply("331 Password required").Close())},
        {"at PASS", greet, login(password, FtpScript().Close())},
        {"inside a multi-line 230", greet, login(password, FtpScript().Raw("230-Hello\r\n").Close())},
        {"at ACCT", greet, login(password, FtpScript().Reply("332 Account required"), FtpScript().Close())},
    };
    control.put_Account(u"acct");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ScriptedFtpPeer& server = *peers.emplace_back(std::make_unique<ScriptedFtpPeer>(io));
        server.Greeting(step.greeting);
        for (const auto& [word, script] : step.answers) server.On(word, script);
        UsePeer(server);
        recorder.Clear();

        Host([&] { control.Connect(u"127.0.0.1", u"anonymous", u"guest@"); });
        ASSERT_TRUE(RunUntilEvent("DisConnected"));
        testing::RunFor(io, 20ms);

        const auto events = recorder.NonTraceEvents();
        ASSERT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
        EXPECT_EQ(events[0], "Connected");
        EXPECT_THAT(events[1], StartsWith("DisConnected("));
        EXPECT_EQ(control.get_FtpCommand(), u"");
        EXPECT_EQ(control.IsIdle(), False);
    }
}

}  // namespace
}  // namespace tarselctl
