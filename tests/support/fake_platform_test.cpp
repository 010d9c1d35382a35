// The scripted platform's own rules: the control's tests rely on them to model the real
// components faithfully.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/event_recorder.h"
#include "support/fake_platform.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Writes each socket event as a line, and can run an action from inside OnClosed.
struct SoquetLog : SoquetEvents {
    std::vector<std::string> lines;
    std::function<void()> insideClosed;
    void OnConnected() override { lines.push_back("Connected"); }
    void OnReceived(std::string& data) override { lines.push_back("Received(" + data + ")"); }
    void OnSendDone() override { lines.push_back("SendDone"); }
    void OnClosed() override {
        lines.push_back("Closed");
        if (insideClosed) insideClosed();
    }
    void OnAcceptRequest(Long id) override { lines.push_back("Accept" + std::to_string(id)); }
    void OnError(Long n, const String& t1, const String& t2) override {
        lines.push_back("Error(" + std::to_string(n) + "," + ToUtf8(t1) + "," + ToUtf8(t2) + ")");
    }
    void OnDiagnostic(const String& text) override { lines.push_back("Diag(" + ToUtf8(text) + ")"); }
};

TEST(FakeSoquet, CloseSocketRaisesOnClosedOnlyForAConnectionOrAnAttempt) {
    struct Case {
        const char* name;
        std::function<void(FakeSoquet&)> prepare;
        bool raises;
    };
    const Case cases[] = {
        {"idle", [](FakeSoquet&) {}, false},
        {"listening", [](FakeSoquet& s) { s.Listen(u"0"); }, false},
        {"connecting", [](FakeSoquet& s) { s.ConnectTo(u"h", u"21", u"0"); }, true},
        {"accepting", [](FakeSoquet& s) { s.Accept(7); }, true},
        {"connected", [](FakeSoquet& s) { s.ConnectTo(u"h", u"21", u"0"); s.Connect(); }, true},
        {"after peer close", [](FakeSoquet& s) { s.Accept(1); s.Connect(); s.Close(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSoquet soquet("S");
        SoquetLog log;
        soquet.SetEvents(&log);
        c.prepare(soquet);
        log.lines.clear();
        Boolean closedInside = False;
        log.insideClosed = [&] {
            closedInside = soquet.get_IsClosed();
            soquet.CloseSocket();  // a handler that closes again must not loop
        };
        soquet.CloseSocket();
        EXPECT_EQ(log.lines.size(), c.raises ? 1u : 0u);
        if (c.raises) {
            EXPECT_EQ(closedInside, True);
        }
        EXPECT_EQ(soquet.get_IsClosed(), True);
        EXPECT_EQ(soquet.state(), FakeSoquet::State::Idle);
    }
}

TEST(FakeSoquet, AnAttemptIsClosedUntilConnectedWhileAnAcceptedConnectionIsOpenAtOnce) {
    FakeSoquet soquet("S");
    SoquetLog log;
    soquet.SetEvents(&log);
    soquet.ConnectTo(u"h", u"21", u"0");
    EXPECT_EQ(soquet.get_IsClosed(), True);
    soquet.Connect();
    EXPECT_EQ(soquet.get_IsClosed(), False);
    soquet.Close();
    EXPECT_EQ(soquet.get_IsClosed(), True);
    soquet.Accept(3);
    EXPECT_EQ(soquet.get_IsClosed(), False);
    EXPECT_EQ(soquet.state(), FakeSoquet::State::Connecting) << "OnConnected is still to come";
    soquet.Connect();
    EXPECT_THAT(log.lines, ElementsAre("Connected", "Closed", "Connected"));
}

TEST(FakeSoquet, ListenAtIsLoggedWithItsHostAndFailsLikeListen) {
    FakeSoquet soquet("S");
    soquet.ListenAt(u"127.0.0.1", u"0");
    soquet.throwOnListen = true;
    EXPECT_THROW(soquet.ListenAt(u"10.0.0.1", u"0"), AutomationError);
    EXPECT_EQ(soquet.get_LocalPort(), 0);
    EXPECT_EQ(soquet.state(), FakeSoquet::State::Idle);
    EXPECT_THAT(soquet.calls(), ElementsAre("S.ListenAt(127.0.0.1,0)", "S.ListenAt(10.0.0.1,0)"));
}

TEST(FakeSoquet, TriggersReachTheSinkAndNothingWithoutOne) {
    FakeSoquet soquet("S");
    soquet.ConnectTo(u"h", u"21", u"0");
    soquet.Connect();
    soquet.Receive("x");
    soquet.Close();
    EXPECT_EQ(soquet.state(), FakeSoquet::State::Connecting);
    EXPECT_EQ(soquet.get_IsClosed(), True);

    SoquetLog log;
    soquet.SetEvents(&log);
    soquet.sendReady = False;
    soquet.Connect();
    soquet.Receive(std::string("a\0b", 3));
    soquet.SendDone();
    soquet.AcceptRequest(9);
    soquet.Error(10054, u"reset", u"recv");
    soquet.Diagnostic(u"hello");
    soquet.Close();
    EXPECT_EQ(soquet.get_SendReady(), True);
    EXPECT_THAT(log.lines, ElementsAre("Connected", std::string("Received(a\0b)", 13), "SendDone",
                                       "Accept9", "Error(10054,reset,recv)", "Diag(hello)",
                                       "Closed"));
}

TEST(FakeSoquet, ConnectToChecksThePortLikeTheRealComponent) {
    for (const char16_t* good : {u"21", u" 21 ", u"\t1", u"65535"}) {
        FakeSoquet soquet("S");
        EXPECT_NO_THROW(soquet.ConnectTo(u"h", good, u"0")) << ToUtf8(good);
        EXPECT_EQ(soquet.state(), FakeSoquet::State::Connecting);
    }
    for (const char16_t* bad : {u"", u" ", u"0", u"65536", u"2 1", u"21a", u"-21", u"100000"}) {
        FakeSoquet soquet("S");
        try {
            soquet.ConnectTo(u"h", bad, u"0");
            ADD_FAILURE() << "accepted port '" << ToUtf8(bad) << "'";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), FakeSoquet::kBadPortError);
        }
        EXPECT_EQ(soquet.state(), FakeSoquet::State::Idle);
    }
}

TEST(FakeSoquet, ConfiguredFailuresRaiseAndLeaveTheInstanceIdle) {
    FakeSoquet soquet("S");
    soquet.throwOnConnect = true;
    soquet.throwOnListen = true;
    soquet.errorNumber = 11001;
    soquet.errorDescription = u"Host not found";
    try {
        soquet.ConnectTo(u"nowhere", u"21", u"0");
        ADD_FAILURE() << "ConnectTo did not raise";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 11001);
        EXPECT_EQ(e.Description(), u"Host not found");
    }
    EXPECT_THROW(soquet.Listen(u"0"), AutomationError);
    EXPECT_EQ(soquet.state(), FakeSoquet::State::Idle);
    EXPECT_THAT(soquet.calls(), ElementsAre("S.ConnectTo(nowhere,21,0)", "S.Listen(0)"));
}

TEST(FakeSoquet, ListenOnZeroPicksTheFreePort) {
    FakeSoquet soquet("S");
    soquet.freePort = 4000;
    soquet.Listen(u" 0 ");
    EXPECT_EQ(soquet.get_LocalPort(), 4000);
    soquet.Listen(u"2121");
    EXPECT_EQ(soquet.get_LocalPort(), 2121);
}

TEST(FakeSoquet, SendKeepsEveryByteAndCutsLinesAtCrLf) {
    FakeSoquet soquet("S");
    soquet.sendBlocksUntilDone = true;
    soquet.Send("USER a\r\nPA");
    EXPECT_EQ(soquet.get_SendReady(), False);
    soquet.Send("SS b\r\n\r\nlone\rcr\r\ntail");
    EXPECT_THAT(soquet.sends, ElementsAre("USER a\r\nPA", "SS b\r\n\r\nlone\rcr\r\ntail"));
    EXPECT_THAT(soquet.SentLines(), ElementsAre("USER a", "PASS b", "", "lone\rcr", "tail"));
    soquet.ClearSent();
    EXPECT_THAT(soquet.SentLines(), IsEmpty());
}

TEST(FakeSoquet, LogShowsControlAndHighBytes) {
    EXPECT_EQ(FakeSoquet::Escape(std::string("CWD \x93\xfa\t\r\n\x01", 10)),
              "CWD \\x93\\xfa\\t\\r\\n\\x01");
}

TEST(FakePlatform, SocketsShareOneLogInCreationOrder) {
    FakePlatform platform(FakePlatform::CodawaKind::Fake);
    auto a = platform.CreateSoquet();
    auto b = platform.CreateSoquet();
    auto c = platform.CreateSoquet();
    b->Listen(u"0");
    b->put_SetupPhase(True);
    a->Send("PORT 127,0,0,1,195,203\r\n");
    c->Accept(7);
    c->CloseSocket();
    a->ConnectTo(u"ftp.example", u"21", u"0\r\n");
    EXPECT_THAT(platform.calls,
                ElementsAre("Soquet2.Listen(0)", "Soquet2.SetupPhase(-1)",
                            "Soquet1.Send(PORT 127,0,0,1,195,203\\r\\n)", "Soquet3.Accept(7)",
                            "Soquet3.CloseSocket", "Soquet1.ConnectTo(ftp.example,21,0\\r\\n)"));
}

TEST(FakePlatform, ForgetsComponentsWhenTheyAreDestroyed) {
    FakePlatform platform(FakePlatform::CodawaKind::Fake);
    auto first = platform.CreateSoquet();
    auto second = platform.CreateSoquet();
    auto timer = platform.CreateTimer();
    auto codawa = platform.CreateCodawa();
    first.reset();
    timer.reset();
    EXPECT_EQ(platform.soquets[0], nullptr);
    EXPECT_EQ(platform.soquets[1], second.get());
    EXPECT_EQ(platform.timers[0], nullptr);
    EXPECT_EQ(platform.fakeCodawa(0), codawa.get());
    codawa.reset();
    EXPECT_EQ(platform.codawas[0], nullptr);
}

TEST(FakePlatform, ConverterFactoryOverridesTheKind) {
    FakePlatform platform(FakePlatform::CodawaKind::Real);
    platform.codawaFactory = [] {
        auto fake = std::make_unique<FakeCodawa>("Old");
        fake->version = 204;
        return fake;
    };
    auto codawa = platform.CreateCodawa();
    EXPECT_EQ(codawa->get_Version(), 204);
    ASSERT_NE(platform.fakeCodawa(0), nullptr);
    EXPECT_EQ(platform.fakeCodawa(0)->name(), "Old");
}

TEST(FakeTimer, TicksOnlyWhileEnabled) {
    FakeTimer timer;
    EXPECT_FALSE(timer.Tick());  // no handler yet
    int runs = 0;
    timer.SetTickHandler([&] {
        if (++runs == 3) timer.put_Enabled(false);
    });
    EXPECT_FALSE(timer.Tick());
    timer.put_Enabled(true);
    EXPECT_EQ(timer.TickN(10), 3);  // the handler switched the timer off on its third run
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(timer.ticks, 3);
}

TEST(FakeCodawa, ChecksCodeNamesAndPassesBytesThrough) {
    FakeCodawa codawa;
    codawa.put_CodeName(u"EUC");
    try {
        codawa.put_CodeName(u"euc");
        ADD_FAILURE() << "lower-case code name accepted";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 380);
        EXPECT_EQ(e.Description(), u"Invalid Code Name");
    }
    EXPECT_EQ(codawa.codeName, u"EUC");
    EXPECT_THAT(codawa.codeNameWrites, ElementsAre(u"EUC", u"euc"));

    std::string bytes("\x82\xa0z", 3);
    EXPECT_EQ(codawa.ToSjis(bytes), std::string("\x82\xa0z", 3));
    EXPECT_TRUE(bytes.empty());
    String wide = u"A\u00e9\u3042";
    EXPECT_EQ(codawa.TextToEuc(wide), "A\xe9?");
    EXPECT_TRUE(wide.empty());
    EXPECT_THAT(codawa.calls, ElementsAre("ToSjis", "TextToEuc"));
}

TEST(EventRecorder, RecordsReadableLinesAndRunsHooksAfterwards) {
    EventRecorder rec;
    rec.skipDiagnosticTraces = true;
    std::vector<std::size_t> seenAt;
    rec.onTrace = [&](const String&) { seenAt.push_back(rec.events.size()); };
    rec.Trace(u"Connect>>USER anonymous");
    rec.Trace(u"---Soquet1:noise");
    rec.DisConnected(0, u"");
    rec.CommandDone(0, u"Connect", u"\u65e5 ok");
    ByteArray data{'h', 'i'};
    rec.GetData(data);
    String line = u"drwx a";
    rec.DirData(line);
    rec.TransError(-1, u"connect timeout", u"timer");
    EXPECT_THAT(seenAt, ElementsAre(1u, 1u));  // the hook ran for the skipped trace as well
    EXPECT_THAT(rec.events, ElementsAre("Trace(Connect>>USER anonymous)", "DisConnected(0,)",
                                        "CommandDone(0,Connect,\xe6\x97\xa5 ok)", "GetData(2)",
                                        "DirData(drwx a)", "TransError(-1,connect timeout,timer)"));
    EXPECT_EQ(rec.received, "hi");
    EXPECT_EQ(rec.NonTraceEvents().front(), "DisConnected(0,)");
}

TEST(EventRecorder, PutDataHandsOutQueuedBlocksThenAnEmptyOne) {
    EventRecorder rec;
    rec.QueueUpload("abc");
    rec.QueueUpload("d");
    ByteArray block{'s', 't', 'a', 'l', 'e'};
    rec.PutData(block);
    EXPECT_EQ(block, (ByteArray{'a', 'b', 'c'}));
    rec.PutData(block);
    EXPECT_EQ(block, (ByteArray{'d'}));
    rec.PutData(block);
    EXPECT_TRUE(block.empty());
}

}  // namespace
}  // namespace tarselctl
