// Transfers that end early must not read as whole: a control connection lost in the middle of
// an operation, a download shorter than the size its preliminary reply announced, and a TLS
// data connection that ends without close_notify where nothing else confirms the data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/announced_size.h"
#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;

TEST(AnnouncedSize, TakesTheLastBytesGroupAndNothingThatIsNotOne) {
    EXPECT_THAT(AnnouncedSize(u"150 Opening BINARY mode data connection for a.bin (100000 bytes)."),
                Optional(100000u));
    EXPECT_THAT(AnnouncedSize(u"150 Opening data connection for (x) (12 BYTES)"), Optional(12u));
    EXPECT_THAT(AnnouncedSize(u"150 file (1 bytes) renamed (0 bytes)"), Optional(0u));
    EXPECT_THAT(AnnouncedSize(u"150 (9223372036854775807 bytes)"), Optional(9223372036854775807u));
    for (const char16_t* line : {u"150 Opening data connection", u"150 (bytes)", u"150 ( 5 bytes)",
                                 u"150 (5 bytes", u"150 (5 kbytes)", u"150 (5bytes)",
                                 u"150 (99999999999999999999 bytes)", u"150 (5 bytes", u"("})
        EXPECT_EQ(AnnouncedSize(line), std::nullopt) << ToUtf8(line);
}

// ---- the control connection ends while an operation runs

class LostControlConnection : public TransferTest {};

TEST_F(LostControlConnection, ADownloadEndsFailedBeforeDisConnected) {
    control.GetFile(u"big.bin", u"big.bin");
    StartDataPhase();
    s3().Receive(std::string(1000, 'x'));
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(big.bin)", "GetData(1000)",
                            "TransError(-7,connection lost,control)", "GetClose",
                            "CommandDone(-1,GetFile,connection lost)", "DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"");
}

TEST_F(LostControlConnection, TheReasonOfAFailedConnectionIsTheCommandDoneText) {
    control.Cd(u"pub");
    s1().Error(104, u"Connection reset by peer", u"recv");
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-7,connection lost,control)",
                            "CommandDone(-1,Cd,Connection reset by peer(recv))",
                            "DisConnected(104,Connection reset by peer(recv))"));
}

TEST_F(LostControlConnection, TheLoginEndsInDisConnectedAloneAndALaterLoginDoesNot) {
    control.Abend();
    recorder.Clear();
    control.Connect(u"ftp.example", u"u", u"p");
    s1().Connect();
    Reply("220 hello");
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("Connected", "DisConnected(0,)"));

    ConnectAndLogin();
    control.Login(u"other", u"pw");
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-7,connection lost,control)",
                            "CommandDone(-1,User,connection lost)", "DisConnected(0,)"));
}

TEST_F(LostControlConnection, EndsTheHostAskedForLoseNothing) {
    // Abend in the middle of a download: the host ended it and knows.
    control.GetFile(u"f", u"l");
    StartDataPhase();
    control.Abend();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen(l)", "GetClose", "DisConnected(0,)"));

    // The server closing after QUIT, before or instead of its reply.
    ConnectAndLogin();
    control.DisConnect();
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(0,)"));

    // An idle connection closed by the server.
    ConnectAndLogin();
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(0,)"));
}

// The host's new Connect takes effect at once, but the lost operation's end and the old
// connection's DisConnected were raised before it and come first; the new login follows.
TEST_F(LostControlConnection, AHostThatConnectsAgainInsideTheTransErrorKeepsItsNewConnection) {
    recorder.onTransError = [&](Long, const String&, const String&) {
        control.Connect(u"other.example", u"u", u"p");
    };
    control.Dir();
    StartDataPhase();
    s3().Receive("a\r\n");
    s1().Close();
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(a)", "TransError(-7,connection lost,control)",
                            "DirClose", "CommandDone(-1,Dir,connection lost)", "DisConnected(0,)"));
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
}

// ---- the announced size

class AnnouncedSizeCheck : public TransferTest {
protected:
    void Download(std::string_view opening, std::size_t bytes) {
        control.GetFile(u"f", u"l");
        ReplyUntilTransferCommand();
        Reply(opening);
        OpenDataConnection();
        if (bytes > 0) s3().Receive(std::string(bytes, 'x'));
        s3().Close();
        Reply(kComplete);
    }
};

TEST_F(AnnouncedSizeCheck, FewerBytesThanAnnouncedIsACutShortDownload) {
    Download("150 Opening BINARY mode data connection for f (100000 bytes).", 1000);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(1000)", "TransError(-8,download cut short,data)",
                            "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(AnnouncedSizeCheck, TheAnnouncedSizeHoldsOnlyWhereBytesCrossUnchanged) {
    Download("150 Opening BINARY mode data connection for f (1000 bytes).", 1000);
    Download("150 Opening data connection (5 bytes)", 0);  // five announced, none came
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(1000)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)", "GetOpen(l)",
                            "TransError(-8,download cut short,data)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)"));
    // ASCII mode counts line ends differently on the two sides: no verdict.
    recorder.Clear();
    control.put_Filetype(u"A");
    Download("150 Opening ASCII mode data connection for f (1100 bytes).", 1000);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(1000)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(AnnouncedSizeCheck, ARestartedDownloadCountsFromItsOffset) {
    // Servers announce the whole file's size after REST (vsftpd) or the rest of it.
    for (const char* opening : {"150 Opening BINARY mode data connection for f (5000 bytes).",
                                "150 Opening BINARY mode data connection for f (1000 bytes)."}) {
        control.put_Rest(u"4000");
        Download(opening, 1000);
    }
    control.put_Rest(u"3000");
    Download("150 Opening BINARY mode data connection for f (5000 bytes).", 1000);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(1000)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)", "GetOpen(l)",
                            "GetData(1000)", "GetClose", "CommandDone(0,GetFile,Transfer complete)",
                            "GetOpen(l)", "GetData(1000)", "TransError(-8,download cut short,data)",
                            "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(AnnouncedSizeCheck, AnAbortedOrRefusedTransferIsNotJudgedAgain) {
    control.GetFile(u"f", u"l");
    ReplyUntilTransferCommand();
    Reply("150 Opening BINARY mode data connection for f (100000 bytes).");
    OpenDataConnection();
    s3().Receive("abc");
    control.Abort();
    Reply("426 Transfer aborted");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(3)", "GetClose",
                            "CommandDone(426,GetFile,Transfer aborted)"));
}

// ---- TLS data connections that end without close_notify

class TruncatedTls : public TransferTest {
protected:
    void SetUp() override {
        LogInWithProtectedData();
        control.put_Passive(True);
    }
    /// One transfer whose data connection ends with or without the server's close_notify.
    void Run(bool listing, std::string_view opening, std::string_view data, bool closeNotify) {
        if (listing) control.Dir();
        else control.GetFile(u"f", u"l");
        ReplyUntilTransferCommand();
        Reply(opening);
        s3().Connect();
        s3().Secure();
        s3().Receive(std::string(data));
        s3().peerCloseNotify = closeNotify;
        s3().Close();
        Reply(kComplete);
    }
};

TEST_F(TruncatedTls, ADownloadIsWholeOnlyWithCloseNotifyOrItsAnnouncedSize) {
    Run(false, kOpening, "half", true);
    Run(false, "150 Opening BINARY mode data connection for f (4 bytes).", "half", false);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(4)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)", "GetOpen(l)", "GetData(4)",
                            "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
    recorder.Clear();
    Run(false, kOpening, "half", false);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(4)", "TransError(-8,download cut short,data)",
                            "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(TruncatedTls, AListingIsCutShortOnlyInTheMiddleOfALine) {
    Run(true, kOpening, "a.txt\r\nb.txt\r\n", false);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(a.txt)", "DirData(b.txt)", "DirClose",
                            "CommandDone(0,Dir,Transfer complete)"));
    recorder.Clear();
    Run(true, kOpening, "a.txt\r\nb.t", false);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(a.txt)", "DirData(b.t)",
                            "TransError(-9,listing cut short,data)", "DirClose",
                            "CommandDone(0,Dir,Transfer complete)"));
    recorder.Clear();
    Run(true, kOpening, "a.txt\r\nb.t", true);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(a.txt)", "DirData(b.t)", "DirClose",
                            "CommandDone(0,Dir,Transfer complete)"));
}

}  // namespace
}  // namespace tarselctl
