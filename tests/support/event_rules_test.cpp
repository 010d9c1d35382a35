// The event-order checker, fed hand-made sequences: it must pass what a sound control raises
// and name each way a faulty one could break the order a host builds on.
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_harness.h"
#include "support/event_rules.h"
#include "support/tarsel_private_access.h"
#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// The rule names of the violations, without their details and trails.
std::vector<std::string> Rules(const EventRules& rules) {
    std::vector<std::string> names;
    for (const std::string& v : rules.violations) names.push_back(v.substr(0, v.find(':')));
    return names;
}

// The checker without a control: only the order of the events counts. A connection is
// opened with Connected, as the control raises it.
class EventOrder : public ::testing::Test {
protected:
    EventOrder() { rules.Connected(); }

    void Dir(const std::vector<std::string>& lines) {
        rules.DirOpen();
        for (const std::string& line : lines) {
            String text = FromUtf8(line);
            rules.DirData(text);
        }
    }

    EventRules rules;
    ByteArray bytes{1, 2, 3};
    String text = u"line";
};

TEST_F(EventOrder, WellFormedTransfersPass) {
    rules.GetOpen(u"f");
    rules.GetData(bytes);
    rules.GetData(bytes);
    rules.GetClose();
    rules.CommandDone(0, u"GetFile", u"ok");
    rules.PutOpen(u"f");
    rules.PutData(bytes);
    rules.PutClose();
    rules.CommandDone(0, u"PutFile", u"ok");
    rules.DirOpen();
    rules.DirClose();
    rules.TransError(-2, u"trans timeout", u"timer");
    rules.CommandDone(426, u"Dir", u"aborted");
    rules.DisConnected(0, u"");
    rules.Trace(u"---Soquet3:closed");  // diagnostics may come at any time
    rules.Trace(u"---timer2:timeout:1");
    EXPECT_TRUE(rules.ok()) << rules.violations.front();
}

// The orders the issue reported from re-entrant hosts, each as the host saw it.
TEST_F(EventOrder, EventsOfATransferAfterItsCloseAreCaught) {
    const std::vector<std::function<void(EventRules&, ByteArray&, String&)>> faults = {
        // Abort inside the first DirData: the rest of the read came after DirClose.
        [](EventRules& r, ByteArray&, String& t) { r.DirOpen(); r.DirData(t); r.DirClose(); r.DirData(t); },
        // PutData raised after PutClose.
        [](EventRules& r, ByteArray& b, String&) { r.PutOpen(u"f"); r.PutClose(); r.PutData(b); },
        // A second close.
        [](EventRules& r, ByteArray&, String&) { r.GetOpen(u"f"); r.GetClose(); r.GetClose(); },
        // Data of another kind of transfer.
        [](EventRules& r, ByteArray& b, String&) { r.DirOpen(); r.GetData(b); },
        // An open before the last transfer closed.
        [](EventRules& r, ByteArray&, String&) { r.GetOpen(u"f"); r.GetOpen(u"f"); },
        // Two transfers in one operation: the host would reopen (and truncate) its file.
        [](EventRules& r, ByteArray&, String&) { r.GetOpen(u"f"); r.GetClose(); r.GetOpen(u"f"); },
    };
    for (std::size_t i = 0; i < faults.size(); ++i) {
        SCOPED_TRACE(i);
        EventRules rules;
        rules.Connected();
        faults[i](rules, bytes, text);
        EXPECT_THAT(Rules(rules), ::testing::Contains("transfer-order"));
    }
}

TEST_F(EventOrder, CompletionBeforeTheCloseIsCaught) {
    rules.GetOpen(u"f");
    rules.CommandDone(0, u"GetFile", u"ok");
    rules.GetClose();
    EXPECT_THAT(rules.violations.front(), HasSubstr("CommandDone before the close"));
}

TEST_F(EventOrder, DisConnectedMustCloseTheTransferFirstAndEndTheConnection) {
    // Abend inside the last GetData: GetClose never came.
    rules.GetOpen(u"f");
    rules.GetData(bytes);
    rules.DisConnected(0, u"");
    ASSERT_THAT(rules.violations, SizeIs(1));
    EXPECT_THAT(rules.violations[0], HasSubstr("DisConnected before the close of the open Get"));
    // The trail shows what led there.
    EXPECT_THAT(rules.violations[0], HasSubstr("GetData(3)"));

    rules.Trace(u"226 late reply");
    rules.CommandDone(0, u"GetFile", u"late");
    rules.DisConnected(0, u"");
    EXPECT_THAT(Rules(rules), ::testing::ElementsAre("transfer-order", "after-disconnected",
                                                     "after-disconnected", "connection-order"));
}

TEST_F(EventOrder, ConnectedOnlyOncePerConnection) {
    rules.Connected();
    EXPECT_THAT(rules.violations.front(), HasSubstr("Connected twice"));
}

TEST_F(EventOrder, ListingLinesMustAllReachTheHost) {
    rules.watchData = true;
    rules.DirOpen();
    rules.DataArrived("one\r\ntwo\r\nthr");
    rules.DataArrived("ee\r\n");
    String one = u"one", three = u"three";
    rules.DirData(one);
    rules.DirData(three);
    rules.DirClose();
    EXPECT_THAT(rules.violations.front(), HasSubstr("lost-data"));

    // Converted text cannot be compared with its bytes, and a failed transfer may be short.
    EventRules converted;
    converted.watchData = true;
    converted.Connected();
    converted.DirOpen();
    converted.DataArrived("\xa4\xa2\r\n");
    converted.DirClose();
    EXPECT_TRUE(converted.ok());
    EventRules failed;
    failed.watchData = true;
    failed.Connected();
    failed.DirOpen();
    failed.DataArrived("one\r\n");
    failed.TransError(-2, u"trans timeout", u"timer");
    failed.DirClose();
    EXPECT_TRUE(failed.ok());
}

TEST_F(EventOrder, DownloadBytesMustAllReachTheHost) {
    rules.watchData = true;
    rules.GetOpen(u"f");
    rules.DataArrived("abcdef");
    ByteArray first{'a', 'b', 'c'};
    rules.GetData(first);
    rules.GetClose();
    EXPECT_THAT(rules.violations.front(), HasSubstr("6 bytes arrived, the host was handed 3"));
}

TEST_F(EventOrder, AnUploadIsASuccessOnlyWhenEndedAndSentWhole) {
    FakeSoquet data("Soquet3");
    rules.dataSocket = &data;
    rules.watchData = true;
    // Cut short: the server answered 226 before the host had ended its data.
    rules.PutOpen(u"f");
    rules.PutData(bytes);
    rules.PutAnswered(ByteArray{'a', 'b'});
    rules.PutClose();
    rules.CommandDone(0, u"PutFile", u"ok");
    // Ended, but one supplied byte never went out (a one-byte block taken as the end).
    rules.PutOpen(u"f");
    data.Send("ab");
    rules.PutAnswered(ByteArray{'a', 'b'});
    rules.PutAnswered(ByteArray{'c'});
    rules.PutAnswered(ByteArray{0});
    rules.PutClose();
    rules.CommandDone(0, u"AppendFile", u"ok");
    // No data connection at all.
    rules.CommandDone(0, u"PutFile", u"ok");
    ASSERT_THAT(Rules(rules), ::testing::ElementsAre("false-success", "false-success", "false-success"));
    EXPECT_THAT(rules.violations[0], HasSubstr("had not ended"));
    EXPECT_THAT(rules.violations[1], HasSubstr("sent 2 of the 3 bytes"));
    EXPECT_THAT(rules.violations[2], HasSubstr("never opened"));

    // A TransError tells the host, and the same sequences are no false success.
    EventRules told;
    told.watchData = true;
    told.Connected();
    told.PutOpen(u"f");
    told.PutClose();
    told.TransError(-3, u"upload cut short", u"data");
    told.CommandDone(0, u"PutFile", u"ok");
    EXPECT_TRUE(told.ok());
}

TEST_F(EventOrder, PutDataAfterTheHostEndedTheUploadIsCaught) {
    rules.PutOpen(u"f");
    rules.PutAnswered(ByteArray{});
    rules.PutData(bytes);
    EXPECT_THAT(rules.violations.front(), HasSubstr("PutData after the host ended the upload"));
}

// With the control at hand, the rules also read its state.
class EventRulesOnAControl : public ControlTest {
protected:
    EventRulesOnAControl() { control.Advise(rules); }
    EventRules rules{&control};
};

TEST_F(EventRulesOnAControl, CommandDoneMustEndTheRunningOperation) {
    ConnectAndLogin();
    rules.Sample();
    ASSERT_TRUE(rules.ok()) << rules.violations.front();
    // A stray reply on the idle connection ends the idle state as its own operation.
    Reply("200 unsolicited");
    EXPECT_TRUE(rules.ok()) << rules.violations.front();
    // But nothing runs under another name.
    rules.CommandDone(0, u"Dir", u"ok");
    EXPECT_THAT(rules.violations.front(), HasSubstr("CommandDone for \"Dir\" while the running operation is \"DONE\""));
}

TEST_F(EventRulesOnAControl, AConnectionBeginsWhenConnectIsAcceptedAndEndsWithDisConnected) {
    // Before Connect: a trace is no event of any connection.
    rules.Trace(u"stray");
    EXPECT_THAT(Rules(rules), ::testing::ElementsAre("after-disconnected"));
    rules.violations.clear();

    control.Connect(u"ftp.example", u"user", u"pw");
    rules.Sample();
    s1().Connect();
    Reply("421 go away");
    s1().Close();
    // The next Connect starts the next connection.
    control.Connect(u"ftp.example", u"user", u"pw");
    rules.Sample();
    s1().Connect();
    EXPECT_TRUE(rules.ok()) << rules.violations.front();
}

// Abend with a socket whose close is not reported (yet): the control has no connection any
// more, so it is not idle either, and an operation started now would run on a closed socket.
TEST_F(EventRulesOnAControl, IdleMeansDoneAndNoConnectionMeansNotIdle) {
    ConnectAndLogin();
    s1().SetEvents(nullptr);
    control.Abend();
    rules.Sample();
    EXPECT_TRUE(rules.ok()) << rules.violations.front();
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_EQ(control.get_FtpCommand(), u"");
    EXPECT_THROW(control.Noop(), AutomationError);
}

class EventRulesAcrossConnections : public TransferTest {
protected:
    EventRulesAcrossConnections() { control.Advise(rules); }
    EventRules rules{&control};
};

// The host may call Connect from a close event the old connection raises as it ends: that
// connection's DirClose and DisConnected still follow, and belong to it.
TEST_F(EventRulesAcrossConnections, ANewConnectionInsideTheOldOnesCloseKeepsBothInOrder) {
    control.put_Passive(True);
    control.Dir();
    StartDataPhase();
    s3().Receive("tail without a line end");
    recorder.onDirData = [&](String&) {
        control.Connect(u"ftp.example", u"user", u"pw");
        rules.Sample();
    };
    s1().Close();
    s1().Connect();
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
    EXPECT_TRUE(rules.ok()) << rules.violations.front();

    // But a close event of the old connection that never opened is still caught.
    rules.DirClose();
    EXPECT_THAT(Rules(rules), ::testing::ElementsAre("transfer-order"));
}

TEST(CommandBytes, OnlyWholeCrLfLinesWithoutNulPass) {
    EXPECT_EQ(CommandBytesProblem("USER a\r\n"), "");
    EXPECT_EQ(CommandBytesProblem("TYPE I\r\nPASV\r\n"), "");
    EXPECT_THAT(CommandBytesProblem(""), HasSubstr("empty"));
    EXPECT_THAT(CommandBytesProblem("ACCT a\rDELE x\r\n"), HasSubstr("CR"));
    EXPECT_THAT(CommandBytesProblem("ACCT a\nDELE x\r\n"), HasSubstr("LF"));
    EXPECT_THAT(CommandBytesProblem("\nX\r\n"), HasSubstr("LF"));
    EXPECT_THAT(CommandBytesProblem(std::string("CWD a\0DELE x\r\n", 15)), HasSubstr("NUL"));
    EXPECT_THAT(CommandBytesProblem("NOOP"), HasSubstr("CR LF"));
    EXPECT_THAT(CommandBytesProblem("NOOP\r"), HasSubstr("CR"));
}

TEST(WireRules, ChecksEachSendOnceAndSurvivesAClearedRecord) {
    FakeSoquet socket("Soquet1");
    WireRules wire;
    std::vector<std::string> found;
    socket.Send("USER a\r\n");
    socket.Send("PASS\r\nx");
    wire.Check(socket, found);
    wire.Check(socket, found);
    EXPECT_THAT(found, SizeIs(1));
    socket.ClearSent();
    socket.Send("bad\n");
    wire.Check(socket, found);
    EXPECT_THAT(found, SizeIs(2));
}

TEST_F(EventRulesOnAControl, BufferedBytesCountsEveryBufferOfTheControl) {
    EXPECT_EQ(BufferedBytes(control), 0u);
    tarselInspector::ReplyBuffer(control) = u"abc";
    tarselInspector::SendPending(control) = u"de";
    tarselInspector::DirBuffer(control) = "fgh";
    tarselInspector::GetRemainder(control) = "i";
    tarselInspector::PushQueue(control, u"LIST");
    EXPECT_EQ(BufferedBytes(control), 6u + 4u + 3u + 1u + 8u);
}

}  // namespace
}  // namespace tarselctl
