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
