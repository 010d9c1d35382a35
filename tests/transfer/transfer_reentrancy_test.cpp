// What a host sees of a transfer when it calls back into the control from inside the
// transfer's events, or when the server ends the data connection early: every transfer stays
// XOpen, XData..., one XClose, then CommandDone, and no received line is lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Abort inside the first line of a read that holds several: the rest of the read's lines
// and the unfinished tail still reach the host, then DirClose; nothing after it.
TEST_F(TransferTest, AbortInsideADirDataDeliversTheRestOfTheReadBeforeDirClose) {
    int calls = 0;
    recorder.onDirData = [&](String&) {
        if (++calls == 1) control.Abort();
    };
    control.Dir();
    StartDataPhase();
    s3().Receive("one\r\ntwo\r\nthree\r\nfou");
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    Reply("426 aborted");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(one)", "DirData(two)", "DirData(three)",
                            "DirData(fou)", "DirClose", "CommandDone(426,Dir,aborted)"));
}

// The final reply has come; Abort inside a DirData then ends the whole operation from
// inside that event, and the outer delivery stops there.
TEST_F(TransferTest, AbortInsideADirDataAfterTheFinalReplyEndsTheOperationOnce) {
    control.Dir();
    StartDataPhase();
    Reply(kComplete);
    int calls = 0;
    recorder.onDirData = [&](String&) {
        if (++calls == 2) control.Abort();
    };
    s3().Receive("a\r\nb\r\nc\r\n");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(a)", "DirData(b)", "DirData(c)", "DirClose",
                            "CommandDone(0,Dir,Transfer complete)"));
    EXPECT_EQ(control.IsIdle(), True);
}

// Abend inside the GetData raised at the close of the data connection (the converter's last
// bytes): GetClose still comes, before DisConnected.
TEST_F(TransferTest, AbendInsideTheClosingGetDataStillGivesGetCloseBeforeDisConnected) {
    control.put_FileCode(u"SJIS");
    control.GetFile(u"f.txt", u"l.txt");
    StartDataPhase();
    s3().Receive("ab\x82");  // ends with the first byte of a two-byte character
    int calls = 0;
    recorder.onGetData = [&](ByteArray&) {
        if (++calls == 1) control.Abend();
    };
    s3().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l.txt)", "GetData(2)", "GetData(1)", "GetClose", "DisConnected(0,)"));
    EXPECT_EQ(recorder.received, "ab\x82");
}

TEST_F(TransferTest, AbendInsideADirDataDeliversTheReadsLinesThenDirCloseThenDisConnected) {
    recorder.onDirData = [&](String&) { control.Abend(); };
    control.Dir();
    StartDataPhase();
    s3().Receive("one\r\ntwo\r\nthr");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(one)", "DirData(two)", "DirData(thr)", "DirClose",
                            "DisConnected(0,)"));
}

// Abort inside PutOpen, after the 150: PutClose ends the host's side and no PutData follows.
TEST_F(TransferTest, AbortInsidePutOpenRaisesNoPutDataAfterPutClose) {
    recorder.QueueUpload("abcd");
    recorder.onPutOpen = [&](const String&) { control.Abort(); };
    control.PutFile(u"up.bin", u"up.local");
    StartDataPhase(/*preliminaryFirst=*/true);
    Reply("426 aborted");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("PutOpen(up.local)", "PutClose", "CommandDone(426,PutFile,aborted)"));
    EXPECT_THAT(s3().sends, IsEmpty());
}

// The server closes the upload's data connection before its 150 arrives: the gate's second
// half comes after PutClose and must not start the upload; the 226 that follows is no
// success, since none of the host's data went out.
TEST_F(TransferTest, DataConnectionClosedBeforeThePreliminaryReplyStartsNoUpload) {
    recorder.QueueUpload("abcd");
    control.PutFile(u"up.bin", u"up.local");
    ReplyUntilTransferCommand();
    OpenDataConnection();
    s3().Close();
    Reply(kOpening);
    Reply(kComplete);
    EXPECT_THAT(s3().sends, IsEmpty());
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("PutOpen(up.local)", "PutClose", "TransError(-4,upload cut short,data)",
                            "CommandDone(0,PutFile,Transfer complete)"));
}

TEST_F(TransferTest, ServerClosingTheUploadEarlyIsReportedBeforeCommandDone) {
    recorder.QueueUpload("abcd");
    recorder.QueueUpload("efgh");
    control.PutFile(u"up.bin", u"up.local");
    StartDataPhase();
    ASSERT_THAT(s3().sends, ElementsAre("abcd"));
    s3().Close();  // the server half-closes: it stores what it has
    s3().SendDone();  // a completion racing the close changes nothing
    Reply(kComplete);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("PutOpen(up.local)", "PutData", "PutClose",
                            "TransError(-4,upload cut short,data)",
                            "CommandDone(0,PutFile,Transfer complete)"));
}

// 150 and 226 both arrive before the data connection is up: the reply resets the gate, so
// nothing is sent, and the host learns that the upload did not happen.
TEST_F(TransferTest, FinalReplyBeforeTheUploadsDataConnectionIsReportedAsCutShort) {
    control.put_Passive(True);
    recorder.QueueUpload("abcd");
    control.PutFile(u"up.bin", u"up.local");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    Reply(kComplete);
    s3().Connect();
    s3().Close();
    EXPECT_THAT(s3().sends, IsEmpty());
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("PutOpen(up.local)", "PutClose", "TransError(-4,upload cut short,data)",
                            "CommandDone(0,PutFile,Transfer complete)"));
}

// The upload's end signal is an empty array or the array left as handed over (one element of
// value 0); a block of a single other byte is data, so a 4097-byte file in 4096-byte blocks
// arrives whole.
TEST_F(TransferTest, ASingleByteBlockIsSentAndOnlyTheEndSignalEndsTheUpload) {
    recorder.QueueUpload(std::string(4096, 'a'));
    recorder.QueueUpload("z");
    control.PutFile(u"up.bin");
    StartDataPhase();
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    Reply(kComplete);
    EXPECT_THAT(s3().sends, ElementsAre(std::string(4096, 'a'), "z"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("PutOpen()", "PutData", "PutData", "PutData", "PutClose",
                            "CommandDone(0,PutFile,Transfer complete)"));
}

// An exception out of a DirData handler does not cost the read its other lines.
TEST_F(TransferTest, ExceptionFromADirDataHandlerLosesNoLine) {
    recorder.onDirData = [](String& line) {
        if (line == u"one") throw std::runtime_error("host bug");
    };
    control.Dir();
    StartDataPhase();
    s3().Receive("one\r\ntwo\r\n");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DirOpen", "DirData(one)", "DirData(two)"));
    // Nor is the exception lost: the platform has it, to hand back to the host.
    ASSERT_EQ(platform.handlerExceptions.size(), 1u);
    EXPECT_THROW(std::rethrow_exception(platform.handlerExceptions[0]), std::runtime_error);
}

// A listing line past 1 MiB without CR LF ends the listing as a failed data connection; the
// lines before it arrive, the server's reply ends the operation.
TEST_F(TransferTest, AListingLinePastOneMebibyteEndsTheListing) {
    control.Dir();
    StartDataPhase();
    s3().Receive("ok\r\n");
    for (int i = 0; i < 16; ++i) s3().Receive(std::string(64 * 1024, 'x'));
    EXPECT_EQ(s3().state(), FakeSoquet::State::Connected) << "exactly 1 MiB is still allowed";
    s3().Receive("y");
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_THAT(tarselInspector::DirBuffer(control), IsEmpty());
    Reply("426 aborted");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(ok)", "TransError(-3,listing line too long,data)",
                            "DirClose", "CommandDone(426,Dir,aborted)"));
}

}  // namespace
}  // namespace tarselctl

namespace tarselctl {
namespace {

// Abort while an early active-mode data connection is up and the transfer command has not
// been sent: the reply to PORT ends the operation, and it must not read as a transfer made.
TEST_F(TransferTest, AbortBeforeTheTransferCommandIsNeverReportedAsASuccess) {
    recorder.QueueUpload("abcd");
    control.PutFile(u"up.bin", u"up.local");
    Reply(kTypeOk);
    ASSERT_EQ(LastSent(), kPortLine);
    s2().AcceptRequest(7);
    s3().Connect();
    control.Abort();
    Reply(kPortOk);
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE I", kPortLine));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-5,transfer aborted,host)", "CommandDone(0,PutFile,PORT ok)"));
    EXPECT_EQ(control.IsIdle(), True);
}

}  // namespace
}  // namespace tarselctl

namespace tarselctl {
namespace {

// Every change of the data phase, the upload gate and the time-out kind is traced, and a host
// may end the connection (Abend) or the transfer (Abort) from inside any of those traces.
// Swept trace by trace over a download, an upload and a listing in both modes: the events
// stay well formed, nothing of the connection follows its DisConnected, and nothing at all
// comes once the run has ended, however long the host then waits. PutCutShort is an
// upload whose server connects first and answers 226 at once, with no preliminary reply.
enum class Kind { Get, Put, Dir, PutCutShort };
struct ReentryCase {
    Kind kind;
    bool passive;
    bool abend;  // else Abort
};

class StateTraceReentry : public TransferTest, public ::testing::WithParamInterface<ReentryCase> {
protected:
    bool Up(FakeSoquet& s) { return s.state() == FakeSoquet::State::Connected; }

    /// Runs the whole transfer; the host acts inside the `k`-th state trace. False when the
    /// transfer had fewer than `k` state traces.
    bool RunActingAt(int k) {
        const ReentryCase c = GetParam();
        control.put_Passive(c.passive ? True : False);
        control.put_ConnectTimeout(5);
        control.put_TransTimeout(5);
        recorder.Clear();
        int seen = 0;
        bool acted = false;
        recorder.onTrace = [&](const String& msg) {
            const bool state = msg.rfind(u"---data:phase:", 0) == 0 || msg.rfind(u"---upload:gate:", 0) == 0 ||
                               msg.rfind(u"---timer2:kind:", 0) == 0;
            if (!state || ++seen != k) return;
            acted = true;
            if (c.abend) control.Abend();
            else control.Abort();
        };
        if (c.kind == Kind::Get) control.GetFile(u"f.bin", u"f.local");
        else if (c.kind == Kind::Put || c.kind == Kind::PutCutShort) control.PutFile(u"up.bin", u"up.local");
        else control.Dir();
        for (int step = 0; step < 6 && Up(s1()) && !IsTransferLine(LastSent()); ++step) {
            const std::string word = LastSent().substr(0, 4);
            Reply(word == "TYPE" ? kTypeOk : word == "PORT" ? kPortOk : kPasvOk);
        }
        if (Up(s1()) && c.kind != Kind::PutCutShort) Reply(kOpening);
        if (Up(s1()) && control.get_Passive() == False && s2().state() == FakeSoquet::State::Listening)
            s2().AcceptRequest(7);
        if (Up(s1()) && s3().state() == FakeSoquet::State::Connecting) s3().Connect();
        if (Up(s1()) && c.kind == Kind::PutCutShort) Reply(kComplete);
        if (Up(s3()) && c.kind != Kind::Put && c.kind != Kind::PutCutShort)
            s3().Receive(c.kind == Kind::Dir ? "a\r\n" : "abc");
        if (Up(s3())) s3().Close();
        if (Up(s1())) Reply(kComplete);
        recorder.onTrace = nullptr;
        return acted;
    }
};

TEST_P(StateTraceReentry, EventsStayWellFormedWhicheverTraceTheHostActsIn) {
    for (int k = 1;; ++k) {
        // A fresh connection for each k: the last run may have ended it.
        if (!Up(s1())) {
            control.Abend();
            ConnectAndLogin();
        }
        if (!RunActingAt(k)) break;
        ASSERT_LT(k, 40) << "the transfer never ran out of state traces";
        const std::vector<std::string> events = recorder.NonTraceEvents();
        int open = 0, closed = 0;
        bool disconnected = false;
        for (const std::string& e : events) {
            EXPECT_FALSE(disconnected) << "k=" << k << ": " << e << " after DisConnected\n"
                                       << ::testing::PrintToString(events);
            if (e.rfind("DisConnected", 0) == 0) disconnected = true;
            if (e == "GetOpen(f.local)" || e == "PutOpen(up.local)" || e == "DirOpen") ++open;
            if (e == "GetClose" || e == "PutClose" || e == "DirClose") ++closed;
            if (e.rfind("CommandDone", 0) == 0) {
                EXPECT_EQ(open, closed) << "k=" << k << ": CommandDone inside a transfer\n"
                                        << ::testing::PrintToString(events);
            }
        }
        EXPECT_EQ(open, closed) << "k=" << k << "\n" << ::testing::PrintToString(events);
        EXPECT_TRUE(disconnected || control.IsIdle() == True)
            << "k=" << k << ": the operation never ended\n" << ::testing::PrintToString(events);
        // Time passes after the end: a time-out left armed by the run (its kind's trace is
        // where the host acted) would fire into the ended operation or connection here.
        t1().TickN(20);
        t2().TickN(20);
        EXPECT_EQ(recorder.NonTraceEvents(), events) << "k=" << k << ": an event after the end";
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllTransfers, StateTraceReentry,
    ::testing::Values(ReentryCase{Kind::Get, true, true}, ReentryCase{Kind::Get, false, true},
                      ReentryCase{Kind::Put, true, true}, ReentryCase{Kind::Put, false, true},
                      ReentryCase{Kind::Dir, true, true}, ReentryCase{Kind::Dir, false, true},
                      ReentryCase{Kind::Get, true, false}, ReentryCase{Kind::Put, false, false},
                      ReentryCase{Kind::Dir, true, false}, ReentryCase{Kind::PutCutShort, true, true},
                      ReentryCase{Kind::PutCutShort, false, true}, ReentryCase{Kind::PutCutShort, true, false}),
    [](const auto& info) {
        const ReentryCase& c = info.param;
        return std::string(c.kind == Kind::Get   ? "Get"
                           : c.kind == Kind::Put ? "Put"
                           : c.kind == Kind::Dir ? "Dir"
                                                 : "PutCutShort") +
               (c.passive ? "Passive" : "Active") + (c.abend ? "Abend" : "Abort");
    });

}  // namespace
}  // namespace tarselctl
