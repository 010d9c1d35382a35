// FTPS, IPv6 data connections and UTF-8 as the control drives them: the exact lines sent,
// when the handshakes start, and what the host hears when the server refuses or a
// certificate fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "transfer/transfer_dialogue.h"
#include "transfer/data_address_text.h"

namespace tarselctl {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

// ---- explicit and implicit TLS on the control connection

class SecureLogin : public ControlTest {
protected:
    void ConnectExplicit() {
        control.put_TlsMode(u"Explicit");
        control.Connect(u"ftp.example", u"user", u"pw");
        s1().Connect();
        Reply("220 ready");
    }
};

TEST_F(SecureLogin, ExplicitTlsProtectsTheLoginAndThenTheDataConnections) {
    control.put_TlsCaFile(u"/etc/ca.pem");
    ConnectExplicit();
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS"));
    Reply("234 Proceed with negotiation.");
    EXPECT_THAT(platform.calls, Contains("Soquet1.StartTls(ftp.example,verify,/etc/ca.pem)"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS")) << "nothing more before the handshake";
    s1().Secure();
    Reply("331 pw");
    Reply("230 ok");
    Reply("200 PBSZ=0");
    Reply("200 Protection level set to P");
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS", "USER user", "PASS pw", "PBSZ 0", "PROT P"));
    EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(0,Connect,Protection level set to P)");

    // A passive download: the transfer opens only once the data connection is secured, and
    // its handshake offers the control connection's session.
    control.put_Passive(True);
    recorder.Clear();
    control.GetFile(u"f", u"l");
    Reply(kTypeOk);
    Reply(kPasvOk);
    Reply(kOpening);
    s3().Connect();
    EXPECT_THAT(platform.calls, Contains("Soquet3.StartTls(ftp.example,verify,/etc/ca.pem,resume)"));
    EXPECT_EQ(s3().tlsResumeFrom, &s1());
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    s3().Secure();
    s3().Receive("data");
    s3().Close();
    Reply(kComplete);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen(l)", "GetData(4)", "GetClose",
                                                       "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(SecureLogin, ARefusedAuthEndsTheConnectionBeforeAnythingIsSentInTheClear) {
    for (const char* refusal : {"534 TLS not available", "500 AUTH not understood", "200 whatever"}) {
        SCOPED_TRACE(refusal);
        ClearLogs();
        ConnectExplicit();
        Reply(refusal);
        EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS"));
        EXPECT_EQ(recorder.NonTraceEvents().back(),
                  "DisConnected(-12,TLS refused by the server: " + std::string(refusal) + ")");
        EXPECT_EQ(s1().state(), FakeSoquet::State::Idle);
    }
}

TEST_F(SecureLogin, RepliesSentInTheClearAfterThe234AreNeverTakenAsReplies) {
    ConnectExplicit();
    // A man in the middle appends a forged reply to the 234: it must not answer USER.
    s1().Receive("234 go ahead\r\n230 forged login\r\n");
    s1().Receive("331 also forged\r\n");
    s1().Secure();
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS", "USER user"));
    Reply("331 pw");
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS", "USER user", "PASS pw"));
}

TEST_F(SecureLogin, ACertificateRefusedEndsTheConnectionWithTheTlsLibrarysReason) {
    ConnectExplicit();
    Reply("234 go ahead");
    s1().Error(kTlsNotVerified, u"certificate verify failed", u"tls");
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("Connected", "DisConnected(-11,certificate verify failed(tls))"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS"));
}

TEST_F(SecureLogin, ImplicitTlsIsConnectedOnlyOnceTheHandshakeIsThrough) {
    control.put_TlsMode(u"implicit");
    control.put_TlsVerify(False);
    control.Connect(u"[::1]", u"user", u"pw");
    EXPECT_THAT(platform.calls, Contains("Soquet1.ConnectTo(::1,21,0)")) << "brackets removed";
    s1().Connect();
    EXPECT_THAT(platform.calls, Contains("Soquet1.StartTls(::1,noverify)"));
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    s1().Secure();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected"));
    Reply("220 ready");
    Reply("230 ok");
    EXPECT_THAT(s1().SentLines(), ElementsAre("USER user", "PBSZ 0"));
}

TEST_F(SecureLogin, TlsModeWrittenDuringAConnectionWaitsForTheNextOne) {
    ConnectExplicit();
    control.put_TlsMode(u"implicit");
    Reply("234 go ahead");
    s1().Secure();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS", "USER user"));
}

TEST_F(SecureLogin, AStalledHandshakeIsBoundedByTheReplyTimeOut) {
    control.put_ReplyTimeout(3);
    ConnectExplicit();
    Reply("234 go ahead");
    t2().TickN(5);
    EXPECT_EQ(recorder.NonTraceEvents().back(), "DisConnected(-1,reply timeout(timer))");
}

TEST_F(SecureLogin, TlsModeTakesThreeValuesAndAStoredStrangerStopsConnect) {
    EXPECT_EQ(control.get_TlsMode(), u"");
    control.put_TlsMode(u"IMPLICIT");
    EXPECT_EQ(control.get_TlsMode(), u"implicit");
    EXPECT_THROW(control.put_TlsMode(u"ssl"), AutomationError);
    EXPECT_EQ(control.get_TlsMode(), u"implicit");
    control.put_TlsMode(u"");
    EXPECT_EQ(control.get_TlsMode(), u"");
    EXPECT_THROW(control.put_HostCode(u"EUC"), AutomationError);
    control.put_HostCode(u"utf8");
    EXPECT_EQ(control.get_HostCode(), u"UTF8");
}

TEST_F(SecureLogin, ALoginAfterARefusedOneStillAsksForProtectedData) {
    ConnectExplicit();
    Reply("234 go ahead");
    s1().Secure();
    Reply("331 pw");
    Reply("530 Login incorrect");
    ASSERT_EQ(control.IsIdle(), True);
    // Without protection agreed, nothing may cross in the clear: the transfer is refused at
    // the call, before a line is sent.
    try {
        control.Dir();
        ADD_FAILURE() << "Dir ran without protected data";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 70);
        EXPECT_EQ(e.Source(), u"Dir");
    }
    EXPECT_THAT(s1().SentLines(), ElementsAre("AUTH TLS", "USER user", "PASS pw"));

    control.Login(u"other", u"pw2");
    Reply("331 pw");
    Reply("230 ok");
    Reply("200 PBSZ=0");
    Reply("200 PROT now Private");
    EXPECT_THAT(s1().SentLines(),
                ElementsAre("AUTH TLS", "USER user", "PASS pw", "USER other", "PASS pw2", "PBSZ 0", "PROT P"));
    EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(0,User,PROT now Private)");
    control.put_Passive(True);
    control.Ls();
    Reply(kTypeOk);
    Reply(kPasvOk);
    s3().Connect();
    EXPECT_THAT(platform.calls, Contains("Soquet3.StartTls(ftp.example,verify,resume)"));
}

TEST_F(SecureLogin, RefusedProtectionRefusesEveryTransferUnlessTheHostAllowsClearData) {
    ConnectExplicit();
    Reply("234 go ahead");
    s1().Secure();
    Reply("230 ok");
    Reply("200 PBSZ=0");
    Reply("536 PROT P not supported");
    EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(536,Connect,PROT P not supported)");
    ClearLogs();
    const std::vector<std::pair<const char16_t*, std::function<void()>>> transfers = {
        {u"Dir", [&] { control.Dir(); }},
        {u"Ls", [&] { control.Ls(); }},
        {u"GetFile", [&] { control.GetFile(u"f", u"l"); }},
        {u"PutFile", [&] { control.PutFile(u"f", u"l"); }},
        {u"AppendFile", [&] { control.AppendFile(u"f"); }},
    };
    for (const auto& [name, call] : transfers) {
        try {
            call();
            ADD_FAILURE() << ToUtf8(name) << " was not refused";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), 70);
            EXPECT_EQ(e.Source(), name);
        }
    }
    EXPECT_THAT(s1().SentLines(), IsEmpty());
    EXPECT_EQ(control.IsIdle(), True);

    // A host that accepts clear data gets it, unprotected, as it asked.
    control.put_TlsAllowClearData(True);
    control.put_Passive(True);
    control.Ls();
    Reply(kTypeOk);
    Reply(kPasvOk);
    Reply(kOpening);
    s3().Connect();
    EXPECT_THAT(platform.calls, Not(Contains(::testing::HasSubstr("Soquet3.StartTls"))));
    EXPECT_EQ(recorder.NonTraceEvents().back(), "DirOpen");
}

// ---- data connections with TLS

class SecureTransfer : public TransferTest {
protected:
    void SetUp() override { LogInWithProtectedData(); }
};

TEST_F(SecureTransfer, AnActiveDataConnectionIsSecuredAsTheClientAndAFailedHandshakeIsATransError) {
    control.GetFile(u"f", u"l");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    s2().AcceptRequest(7);
    s3().Connect();
    EXPECT_THAT(platform.calls, Contains("Soquet3.StartTls(ftp.example,verify,resume)"));
    s3().Error(kTlsHandshakeFailed, u"wrong version number", u"tls");
    s3().Close();
    Reply("425 Cannot open data connection");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-10,wrong version number,tls)",
                            "CommandDone(425,GetFile,Cannot open data connection)"));
}

TEST_F(SecureTransfer, AnUploadStartsAfterTheHandshake) {
    recorder.QueueUpload("abc");
    control.put_Passive(True);
    control.PutFile(u"up", u"l");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    s3().Connect();
    EXPECT_THAT(s3().sends, IsEmpty());
    s3().Secure();
    EXPECT_THAT(s3().sends, ElementsAre("abc"));
}

TEST_F(SecureTransfer, AbortBeforeTheDataConnectionIsUpEndsTheTransferBeforeItOpens) {
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        ClearLogs();
        control.put_Passive(passive ? True : False);
        control.Dir();
        StartDataPhase();
        ASSERT_TRUE(s3().tlsRequested);
        control.Abort();
        EXPECT_EQ(s3().state(), FakeSoquet::State::Idle) << "the handshake's connection is closed";
        // The server had written its listing into the connection before it saw it close: its
        // 226 is no success for a host that never got the listing.
        Reply(kComplete);
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("TransError(-5,transfer aborted,host)",
                                                           "CommandDone(0,Dir,Transfer complete)"));
        ASSERT_EQ(control.IsIdle(), True);
    }
    // Passive, still connecting: the socket counts that as closed, yet it is on its way.
    ClearLogs();
    control.put_Passive(True);
    control.Dir();
    ReplyUntilTransferCommand();
    ASSERT_EQ(s3().state(), FakeSoquet::State::Connecting);
    control.Abort();
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    Reply("425 Cannot open data connection");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(425,Dir,Cannot open data connection)"));
}

// ---- IPv6: EPSV and EPRT

TEST(ParseEpsvReply, TheDelimitedPortOrNothing) {
    struct Case {
        const char16_t* reply;
        const char16_t* port;
    };
    const Case cases[] = {
        {u"229 Entering Extended Passive Mode (|||6446|)", u"6446"},
        {u"229 ok (!!!65535!)", u"65535"},
        {u"229 (|||1|)", u"1"},
        {u"229 (|||0|)", u""},
        {u"229 (|||65536|)", u""},
        {u"229 (|||123456|)", u""},
        {u"229 (||6446|)", u""},
        {u"229 (|||6446)", u""},
        {u"229 (|||6446|", u""},
        {u"229 (|1|::1|6446|)", u""},
        {u"229 (1116446|)", u""},
        {u"229 (|||-5|)", u""},
        {u"229 no parenthesis", u""},
        {u"229 (", u""},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseEpsvReply(c.reply), c.port) << ToUtf8(c.reply);
}

class Ipv6Transfer : public TransferTest {
protected:
    void SetUp() override {
        s1().localHost = u"::1";
        s1().remoteHost = u"::1";
        s1().localAddress = 0;
        TransferTest::SetUp();
    }
};

TEST_F(Ipv6Transfer, PassiveModeSendsEpsvAndConnectsToTheControlConnectionsPeer) {
    control.put_Passive(True);
    control.Dir();
    Reply(kTypeOk);
    EXPECT_EQ(LastSent(), "EPSV");
    Reply("229 Entering Extended Passive Mode (|||6446|)");
    EXPECT_THAT(platform.calls, Contains("Soquet3.ConnectTo(::1,6446,20)"));
    EXPECT_EQ(LastSent(), "LIST");
}

TEST_F(Ipv6Transfer, AnEpsvReplyWithoutAPortEndsTheOperationWithMinusOne) {
    control.put_Passive(True);
    control.Dir();
    Reply(kTypeOk);
    Reply("229 Entering Extended Passive Mode (|||99999|)");
    EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(-1,Dir,Entering Extended Passive Mode (|||99999|))");
    EXPECT_THAT(s1().SentLines(), Not(Contains("LIST")));
}

TEST_F(Ipv6Transfer, ActiveModeSendsEprtWithTheListenersAddress) {
    s1().localHost = u"fe80::1%eth0";
    control.GetFile(u"f");
    Reply(kTypeOk);
    EXPECT_EQ(LastSent(), "EPRT |2|fe80::1|50123|");
    Reply("200 EPRT ok");
    EXPECT_EQ(LastSent(), "RETR f");
    s2().AcceptRequest(7, u"::1");
    EXPECT_THAT(platform.calls, Contains("Soquet3.Accept(7)"));
}

// ---- UTF-8 on the control connection and in files

class Utf8Dialogue : public TransferTest {
protected:
    void SetUp() override {
        control.put_SysCode(u"UTF8");
        TransferTest::SetUp();
    }
};

TEST_F(Utf8Dialogue, NamesGoOutAndComeBackInUtf8WhereverTheReadsAreCut) {
    control.Delete(u"caf\u00e9-\u65e5\u672c-\U0001F600.txt");
    EXPECT_EQ(LastSent(), "DELE caf\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.txt");
    const std::string reply = "250 \xF0\x9F\x98\x80 \xE6\x97\xA5 deleted\r\n";
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        SCOPED_TRACE(cut);
        recorder.Clear();
        s1().Receive(reply.substr(0, cut));
        s1().Receive(reply.substr(cut));
        EXPECT_THAT(recorder.events, Contains("Trace(250 \xF0\x9F\x98\x80 \xE6\x97\xA5 deleted)"));
        ASSERT_EQ(control.IsIdle(), True);
        control.Noop();
    }
}

TEST_F(Utf8Dialogue, ALoneSurrogateIsRefusedAndEveryOtherCharacterAllowed) {
    EXPECT_THROW(control.Delete(std::u16string(u"a") + char16_t(0xD800)), AutomationError);
    EXPECT_NO_THROW(control.Delete(u"\u00e9\U0001F600"));
}

TEST_F(Utf8Dialogue, ListingLinesAreDecodedAndABrokenSequenceBecomesAReplacementCharacter) {
    std::vector<std::string> lines;
    recorder.onDirData = [&](String& line) { lines.push_back(ToUtf8(line)); };
    control.put_Passive(True);
    control.Ls();
    StartDataPhase();
    s3().Receive("caf\xC3");
    s3().Receive("\xA9\r\n\xE6\x97\r\nok\xE6");
    s3().Close();
    EXPECT_THAT(lines, ElementsAre("caf\xC3\xA9", "\xEF\xBF\xBD\xEF\xBF\xBD", "ok\xEF\xBF\xBD"));
}

class Utf8Files : public TransferTest {
protected:
    std::vector<std::string> Download(const std::vector<std::string>& arrivals) {
        recorder.Clear();
        control.GetFile(u"f", u"l");
        StartDataPhase();
        for (const auto& arrival : arrivals) s3().Receive(arrival);
        s3().Close();
        Reply(kComplete);
        return recorder.NonTraceEvents();
    }
};

TEST_F(Utf8Files, AUtf8FileReachesAShiftJisHostWithCutCharactersCarried) {
    control.put_FileCode(u"UTF8");
    // "A日本z" split inside both characters.
    const auto events = Download({"A\xE6\x97", "\xA5\xE6", "\x9C\xACz"});
    EXPECT_EQ(recorder.received, "A\x93\xFA\x96\x7Bz");
    EXPECT_THAT(events, Not(Contains(::testing::HasSubstr("TransError"))));
}

TEST_F(Utf8Files, ACharacterWithoutAShiftJisFormIsReportedOnceBeforeTheClose) {
    control.put_FileCode(u"UTF8");
    const auto events = Download({"\xF0\x9F\x98\x80 and \xF0\x9F\x98\x81"});
    EXPECT_EQ(recorder.received, "? and ?");
    EXPECT_THAT(events, ElementsAre("GetOpen(l)", "GetData(7)", "TransError(-6,characters replaced,data)",
                                    "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(Utf8Files, ACharacterCutByTheEndOfTheDataIsReplacedAndReportedLikeOneInMidStream) {
    control.put_FileCode(u"UTF8");
    // "A" then the first two bytes of "あ": nothing can complete them once the data ends.
    auto events = Download({"A\xE3\x81"});
    EXPECT_EQ(recorder.received, "A?");
    EXPECT_THAT(events, ElementsAre("GetOpen(l)", "GetData(1)", "GetData(1)", "TransError(-6,characters replaced,data)",
                                    "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
    // A lone Shift_JIS lead byte at the end of a file read into UTF-8.
    control.put_FileCode(u"SJIS");
    control.put_HostCode(u"UTF8");
    events = Download({"\x93\xFA\x96"});
    EXPECT_EQ(recorder.received, "\xE6\x97\xA5?");
    EXPECT_THAT(events, Contains("TransError(-6,characters replaced,data)"));

    // Uploads: the cut character goes out as '?' and the host hears of it before PutClose.
    recorder.Clear();
    recorder.QueueUpload("A\xE6\x97\xA5\xE3\x81");
    control.PutFile(u"up", u"l");
    StartDataPhase();
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    EXPECT_EQ(s3().sent, "A\x93\xFA?");
    Reply(kComplete);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("PutOpen(l)", "PutData", "PutData",
                                                       "TransError(-6,characters replaced,data)", "PutClose",
                                                       "CommandDone(0,PutFile,Transfer complete)"));
}

TEST_F(Utf8Files, AJisUploadSwitchesModesOnlyWhereItsTextDoes) {
    control.put_FileCode(u"JIS");
    control.put_HostCode(u"UTF8");
    // "日本" across three blocks, one of them cut inside a character.
    for (const char* block : {"\xE6\x97\xA5", "\xE6\x9C", "\xAC"}) recorder.QueueUpload(block);
    control.PutFile(u"up", u"l");
    StartDataPhase();
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    EXPECT_THAT(s3().sends, ElementsAre("\x1b$BF|", "", "K\\", "\x1b(J"));
    EXPECT_EQ(s3().sent, "\x1b$BF|K\\\x1b(J");
}

// The loss is the transfer's one failure: no "characters replaced" follows it.
TEST_F(Utf8Files, AConnectionLostMidTransferIsReportedOnceAsLost) {
    control.put_FileCode(u"UTF8");
    control.GetFile(u"f", u"l");
    StartDataPhase();
    recorder.Clear();
    s3().Receive("\xF0\x9F\x98\x80");
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetData(1)", "TransError(-7,connection lost,control)", "GetClose",
                            "CommandDone(-1,GetFile,connection lost)", "DisConnected(0,)"));
}

TEST_F(Utf8Files, AUtf8HostGetsEucFilesInUtf8AndSendsThemBack) {
    control.put_FileCode(u"EUC");
    control.put_HostCode(u"UTF8");
    Download({"A\xC6\xFC", "\xCB", "\xDCz"});
    EXPECT_EQ(recorder.received, "A\xE6\x97\xA5\xE6\x9C\xACz");

    recorder.QueueUpload("A\xE6\x97");
    recorder.QueueUpload("\xA5\xE6\x9C\xACz");
    control.PutFile(u"up", u"l");
    StartDataPhase();
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    EXPECT_EQ(s3().sent, "A\xC6\xFC\xCB\xDCz");
}

TEST_F(Utf8Files, BinaryIsNeverConvertedWhateverTheHostCode) {
    control.put_HostCode(u"UTF8");
    control.put_FileCode(u"BIN");
    Download({std::string("\x93\xFA\0\xFF", 4)});
    EXPECT_EQ(recorder.received, std::string("\x93\xFA\0\xFF", 4));
}

}  // namespace
}  // namespace tarselctl
