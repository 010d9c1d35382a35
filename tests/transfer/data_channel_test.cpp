// The data connection's events as the host sees them: the order of open, data, close and
// CommandDone, the upload gate and chunks, listing lines, Abort, and hosts that re-enter the
// control from inside transfer events.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <tarsel/property_bag.h>

#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

using Events = std::vector<std::string>;

std::string T(std::string_view text) { return "Trace(" + std::string(text) + ")"; }

// ---- download and listing: event order with the final reply before and after the close

enum class Kind { Get, Dir, Ls };

struct OrderCase {
    const char* name;
    Kind kind;
    bool passive;
    bool replyFirst;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class TransferEventOrder : public TransferTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(TransferEventOrder, OpenDataCloseThenCommandDoneWhicheverEndsLast) {
    const OrderCase& c = GetParam();
    control.put_Passive(c.passive ? True : False);
    std::string op, typeLine, transferLine;
    switch (c.kind) {
    case Kind::Get:
        control.GetFile(u"remote.txt", u"local.txt");
        op = "GetFile", typeLine = "TYPE I", transferLine = "RETR remote.txt";
        break;
    case Kind::Dir:
        control.Dir();
        op = "Dir", typeLine = "TYPE A", transferLine = "LIST";
        break;
    case Kind::Ls:
        control.Ls(u"*.txt");
        op = "Ls", typeLine = "TYPE A", transferLine = "NLST *.txt";
        break;
    }
    ReplyUntilTransferCommand();
    Reply(kOpening);
    OpenDataConnection();
    if (c.kind == Kind::Get) {
        s3().Receive("hello");
        s3().Receive("abc");
    } else {
        s3().Receive("a.txt\r\nb.txt\r\n");
    }
    if (c.replyFirst) {
        Reply(kComplete);
        EXPECT_EQ(control.IsIdle(), False) << "the data connection is still open";
        s3().Close();
    } else {
        s3().Close();
        EXPECT_EQ(control.IsIdle(), False) << "the final reply is still due";
        Reply(kComplete);
    }

    Events want = {T(op + ">>" + typeLine), T(kTypeOk)};
    if (c.passive) {
        want.insert(want.end(), {T(op + ">>PASV"), T(kPasvOk)});
    } else {
        want.insert(want.end(), {T(op + ">>" + std::string(kPortLine)), T(kPortOk)});
    }
    want.insert(want.end(), {T(op + ">>" + transferLine), T(kOpening)});
    if (c.kind == Kind::Get) {
        want.insert(want.end(), {"GetOpen(local.txt)", "GetData(5)", "GetData(3)"});
    } else {
        want.insert(want.end(), {"DirOpen", "DirData(a.txt)", "DirData(b.txt)"});
    }
    const std::string close = c.kind == Kind::Get ? "GetClose" : "DirClose";
    if (c.replyFirst) {
        want.insert(want.end(), {T(kComplete), close});
    } else {
        want.insert(want.end(), {close, T(kComplete)});
    }
    want.push_back("CommandDone(0," + op + ",Transfer complete)");
    EXPECT_THAT(recorder.events, ElementsAreArray(want));
    EXPECT_EQ(recorder.received, c.kind == Kind::Get ? "helloabc" : "");
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_EQ(tarselInspector::DataPhase(control), 0);
}

INSTANTIATE_TEST_SUITE_P(
    AllTransfers, TransferEventOrder,
    ::testing::Values(OrderCase{"GetActiveCloseFirst", Kind::Get, false, false},
                      OrderCase{"GetActiveReplyFirst", Kind::Get, false, true},
                      OrderCase{"GetPassiveCloseFirst", Kind::Get, true, false},
                      OrderCase{"GetPassiveReplyFirst", Kind::Get, true, true},
                      OrderCase{"DirActiveCloseFirst", Kind::Dir, false, false},
                      OrderCase{"DirPassiveReplyFirst", Kind::Dir, true, true},
                      OrderCase{"LsActiveReplyFirst", Kind::Ls, false, true},
                      OrderCase{"LsPassiveCloseFirst", Kind::Ls, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The control's own state changes are traced as diagnostics, so a transcript shows a transfer
// step by step: the data phase, and the two halves of the upload gate.
TEST_F(TransferTest, TheDataPhaseAndTheUploadGateAreTracedAsTheyChange) {
    recorder.skipStateTraces = false;
    auto stateTraces = [&] {
        Events out;
        for (const std::string& e : recorder.events)
            if (e.rfind("Trace(---data:", 0) == 0 || e.rfind("Trace(---upload:", 0) == 0 ||
                e.rfind("Trace(---timer2:kind:", 0) == 0)
                out.push_back(e);
        recorder.events.clear();
        return out;
    };
    control.GetFile(u"remote.txt", u"local.txt");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    OpenDataConnection();
    s3().Close();
    Reply(kComplete);
    // The transfer time-out watches the open data connection (none is set here, so it never
    // counts, but its kind is what an expiry would act on).
    EXPECT_THAT(stateTraces(), ElementsAre(T("---data:phase:sent"), T("---timer2:kind:transfer"),
                                           T("---data:phase:open"), T("---data:phase:closed"),
                                           T("---data:phase:none")));

    control.PutFile(u"up.txt", u"local.up");
    recorder.QueueUpload("hello");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    OpenDataConnection();
    s3().SendDone();
    Reply(kComplete);
    EXPECT_THAT(stateTraces(),
                ElementsAre(T("---data:phase:sent"), T("---upload:gate:replied"),
                            T("---data:phase:open"), T("---upload:gate:replied+open"),
                            T("---upload:gate:shut"), T("---data:phase:closed"),
                            T("---data:phase:none")));
}

TEST_F(TransferTest, AFinalReplyWithoutTextIsStillKeptUntilTheClose) {
    control.GetFile(u"f");
    StartDataPhase();
    Reply("226");
    EXPECT_EQ(control.IsIdle(), False);
    s3().Close();
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen()", "GetClose", "CommandDone(0,GetFile,)"));
}

// ---- uploads: the gate of preliminary reply and open data connection, in both orders

struct UploadCase {
    const char* name;
    bool append;
    bool preliminaryFirst;
};

void PrintTo(const UploadCase& c, std::ostream* os) { *os << c.name; }

class UploadGate : public TransferTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(UploadGate, FirstPutDataOnlyWhenBothHalvesAreThere) {
    const UploadCase& c = GetParam();
    const std::string op = c.append ? "AppendFile" : "PutFile";
    const std::string transferLine = c.append ? "APPE up.txt" : "STOR up.txt";
    // AppendFile takes no local name: its PutOpen reports the stored one, empty so far.
    const std::string putOpen = c.append ? "PutOpen()" : "PutOpen(local.up)";
    if (c.append) control.AppendFile(u"up.txt");
    else control.PutFile(u"up.txt", u"local.up");
    recorder.QueueUpload("hello");
    recorder.QueueUpload("abc");
    ReplyUntilTransferCommand();

    if (c.preliminaryFirst) {
        Reply(kOpening);
        EXPECT_EQ(tarselInspector::PutReady(control), 1);
        OpenDataConnection();
    } else {
        OpenDataConnection();
        EXPECT_EQ(tarselInspector::PutReady(control), 2);
        EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre(putOpen));
        Reply(kOpening);
    }
    EXPECT_EQ(tarselInspector::PutReady(control), 0);
    EXPECT_THAT(s3().sends, ElementsAre("hello"));
    s3().SendDone();
    EXPECT_THAT(s3().sends, ElementsAre("hello", "abc"));
    s3().SendDone();  // the host has nothing more: the control closes the data connection
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    Reply(kComplete);

    Events want = {T(op + ">>TYPE I"), T(kTypeOk), T(op + ">>" + std::string(kPortLine)),
                   T(kPortOk), T(op + ">>" + transferLine)};
    if (c.preliminaryFirst) {
        want.insert(want.end(), {T(kOpening), putOpen});
    } else {
        want.insert(want.end(), {putOpen, T(kOpening)});
    }
    want.insert(want.end(), {"PutData", "PutData", "PutData", "PutClose", T(kComplete),
                             "CommandDone(0," + op + ",Transfer complete)"});
    EXPECT_THAT(recorder.events, ElementsAreArray(want));
    EXPECT_EQ(control.IsIdle(), True);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, UploadGate,
                         ::testing::Values(UploadCase{"Put150First", false, true},
                                           UploadCase{"PutDataConnectionFirst", false, false},
                                           UploadCase{"Append150First", true, true},
                                           UploadCase{"AppendDataConnectionFirst", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, APreliminaryReplyToADownloadOpensNoUploadGate) {
    control.GetFile(u"f");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    EXPECT_EQ(tarselInspector::PutReady(control), 0);
}

// ---- upload chunks: every block is sent whole; only the end signal ends the upload

struct ChunkCase {
    const char* name;
    std::vector<std::string> blocks;
    std::vector<std::string> sent;
    int putDataEvents;
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class UploadChunks : public TransferTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(UploadChunks, EveryBlockIsSentWhole) {
    const ChunkCase& c = GetParam();
    for (const auto& block : c.blocks) recorder.QueueUpload(block);
    control.PutFile(u"up.bin", u"local.bin");
    StartDataPhase();
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    Reply(kComplete);

    EXPECT_THAT(s3().sends, ElementsAreArray(c.sent));
    Events want = {"PutOpen(local.bin)"};
    for (int i = 0; i < c.putDataEvents; ++i) want.push_back("PutData");
    want.insert(want.end(), {"PutClose", "CommandDone(0,PutFile,Transfer complete)"});
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAreArray(want));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, UploadChunks,
    ::testing::Values(ChunkCase{"EmptyFile", {}, {}, 1},
                      ChunkCase{"OneByteFile", {"x"}, {"x"}, 2},
                      ChunkCase{"OddLengthsWhole", {"abc", "defgh", "ij"}, {"abc", "defgh", "ij"}, 4},
                      ChunkCase{"OneByteBlockInTheMiddle", {"ab", "c", "de"}, {"ab", "c", "de"}, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, AHostThatLeavesThePutDataArrayAsHandedOverEndsTheUpload) {
    std::vector<std::size_t> handedSizes;
    recorder.onPutData = [&](ByteArray& data) {
        handedSizes.push_back(data.size());
        data = ByteArray{0};  // what the control handed over: one element of value 0
    };
    control.PutFile(u"up.bin");
    StartDataPhase();
    EXPECT_THAT(s3().sends, IsEmpty());
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("PutOpen()", "PutData", "PutClose"));
}

TEST_F(TransferTest, BytesArrivingDuringAnUploadAreDropped) {
    recorder.QueueUpload("abcd");
    control.PutFile(u"up.bin");
    StartDataPhase();
    recorder.Clear();
    s3().Receive("server chatter\r\n");
    EXPECT_THAT(recorder.events, IsEmpty());
    EXPECT_THAT(s3().sends, ElementsAre("abcd"));
    EXPECT_THAT(tarselInspector::DirBuffer(control), IsEmpty());
    EXPECT_THAT(tarselInspector::GetRemainder(control), IsEmpty());
}

// ---- listings: lines are cut at CR LF only

struct ListingCase {
    const char* name;
    std::vector<std::string> arrivals;
    Events dirData;  // every DirData, the ones raised at the close included
};

void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.name; }

class ListingLines : public TransferTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ListingLines, CutAtEachCrLfAndTheRestAtTheClose) {
    const ListingCase& c = GetParam();
    control.Dir();
    StartDataPhase();
    for (const auto& arrival : c.arrivals) s3().Receive(arrival);
    s3().Close();
    Reply(kComplete);

    Events want = {"DirOpen"};
    want.insert(want.end(), c.dirData.begin(), c.dirData.end());
    want.insert(want.end(), {"DirClose", "CommandDone(0,Dir,Transfer complete)"});
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAreArray(want));
    EXPECT_THAT(tarselInspector::DirBuffer(control), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ListingLines,
    ::testing::Values(
        ListingCase{"CrLfSplitAcrossArrivals", {"one\r", "\ntwo\r\n"}, {"DirData(one)", "DirData(two)"}},
        ListingCase{"LineSplitAcrossThreeArrivals", {"o", "n", "e\r\n"}, {"DirData(one)"}},
        ListingCase{"LfAloneCutsNothing", {"one\ntwo\n"}, {"DirData(one\ntwo\n)"}},
        ListingCase{"TwoCrLfGiveAnEmptyLine", {"one\r\n\r\ntwo\r\n"}, {"DirData(one)", "DirData()", "DirData(two)"}},
        ListingCase{"LastLineWithoutCrLfAtTheClose", {"one\r\nlast"}, {"DirData(one)", "DirData(last)"}},
        ListingCase{"NoCrLfAtAllIsOneLineAtTheClose", {"one", " two"}, {"DirData(one two)"}},
        ListingCase{"EmptyListing", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, AListingLineArrivesBeforeTheNextArrivalIsRead) {
    control.Ls();
    StartDataPhase();
    s3().Receive("a\r\nb");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DirOpen", "DirData(a)"));
    EXPECT_EQ(tarselInspector::DirBuffer(control), "b");
}

TEST_F(TransferTest, AnMlsdListingArrivesLineByLineAsLISTDoes) {
    control.put_DirCommand(u"MLSD");
    control.Dir();
    StartDataPhase();
    s3().Receive("type=file;size=3; a b\r\ntype=dir; c\r\n");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(type=file;size=3; a b)", "DirData(type=dir; c)"));
}

TEST_F(TransferTest, AStoredDirCommandNoWriterTakesIsRefusedByDirNotSent) {
    EXPECT_THROW(control.put_DirCommand(u"NLST"), AutomationError);
    EXPECT_EQ(control.get_DirCommand(), u"LIST");
    MemoryPropertyBag bag;
    bag.values[u"DirCommand"] = Variant::FromString(u"STAT");
    control.ReadProperties(bag);
    const auto sent = s1().SentLines().size();
    try {
        control.Dir();
        ADD_FAILURE() << "Dir sent an unknown listing command";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 54);
        EXPECT_EQ(e.Source(), u"DirCommand");
    }
    EXPECT_EQ(s1().SentLines().size(), sent);
    EXPECT_EQ(control.IsIdle(), True);
}

// ---- Abort

TEST_F(TransferTest, AbortClosesTheDataConnectionAndTheServersReplyEndsTheOperation) {
    control.GetFile(u"big.iso", u"big.local");
    ReplyUntilTransferCommand();
    Reply(kOpening);
    platform.calls.clear();
    control.Abort();  // no data connection yet: nothing happens
    EXPECT_THAT(platform.calls, IsEmpty());

    OpenDataConnection();
    s3().Receive("part");
    tarselInspector::Queue(control).push_back(u"NOOP");  // stands for lines still queued
    platform.calls.clear();
    control.Abort();
    EXPECT_THAT(tarselInspector::Queue(control), IsEmpty());
    EXPECT_THAT(platform.calls, ElementsAre("Soquet3.CloseSocket"));
    EXPECT_EQ(control.IsIdle(), False);
    Reply("426 Connection closed; transfer aborted.");

    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(big.local)", "GetData(4)", "GetClose",
                            "CommandDone(426,GetFile,Connection closed; transfer aborted.)"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE I", kPortLine, "RETR big.iso"));
    EXPECT_EQ(control.IsIdle(), True);
}

// ---- hosts that end the connection from inside a transfer event

struct AbendCase {
    const char* name;
    std::u16string method;
    std::function<void(EventRecorder&, std::function<void()>)> hook;
    std::string arrival;
    Events events;
};

void PrintTo(const AbendCase& c, std::ostream* os) { *os << c.name; }

class AbendInsideTransferEvent : public TransferTest,
                                 public ::testing::WithParamInterface<AbendCase> {};

TEST_P(AbendInsideTransferEvent, HandlerStopsAndTheControlIsReadyToConnect) {
    const AbendCase& c = GetParam();
    c.hook(recorder, [this] { control.Abend(); });
    if (c.method == u"GetFile") control.GetFile(u"f", u"l");
    else if (c.method == u"PutFile") control.PutFile(u"f", u"l");
    else control.Dir();
    StartDataPhase();
    if (!c.arrival.empty()) s3().Receive(c.arrival);

    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAreArray(c.events));
    EXPECT_THAT(s3().sends, IsEmpty());
    EXPECT_EQ(s1().state(), FakeSoquet::State::Idle);
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_EQ(control.get_FtpCommand(), u"");
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_NO_THROW(control.Connect(u"ftp.example", u"user", u"pw"));
    EXPECT_EQ(control.get_FtpCommand(), u"Connect");
}

INSTANTIATE_TEST_SUITE_P(
    Events, AbendInsideTransferEvent,
    ::testing::Values(
        AbendCase{"GetData", u"GetFile",
                  [](EventRecorder& r, std::function<void()> f) { r.onGetData = [f](ByteArray&) { f(); }; },
                  "first", {"GetOpen(l)", "GetData(5)", "GetClose", "DisConnected(0,)"}},
        AbendCase{"PutData", u"PutFile",
                  [](EventRecorder& r, std::function<void()> f) {
                      r.onPutData = [f](ByteArray& d) { d = ByteArray{'a', 'b', 'c'}; f(); };
                  },
                  "", {"PutOpen(l)", "PutData", "PutClose", "DisConnected(0,)"}},
        // The lines already received reach the host before its side closes, and
        // DisConnected comes last.
        AbendCase{"DirData", u"Dir",
                  [](EventRecorder& r, std::function<void()> f) { r.onDirData = [f](String&) { f(); }; },
                  "one\r\ntwo\r\nthr",
                  {"DirOpen", "DirData(one)", "DirData(two)", "DirData(thr)", "DirClose", "DisConnected(0,)"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- hosts that start the next operation from inside CommandDone

class NextOperationFromCommandDone : public TransferTest,
                                     public ::testing::WithParamInterface<bool> {};

TEST_P(NextOperationFromCommandDone, StartsAtOnceAfterATransfer) {
    const bool replyFirst = GetParam();
    bool started = false;
    recorder.onCommandDone = [&](Integer, const String& op, const String&) {
        if (op == u"GetFile" && !started) {
            started = true;
            control.Dir(u"next");
        }
    };
    control.GetFile(u"f", u"l");
    StartDataPhase();
    s3().Receive("data");
    if (replyFirst) {
        Reply(kComplete);
        s3().Close();
    } else {
        s3().Close();
        Reply(kComplete);
    }
    ASSERT_TRUE(started);
    EXPECT_EQ(control.get_FtpCommand(), u"Dir");
    EXPECT_EQ(LastSent(), "TYPE A");

    // The listing runs to its end on its own data connection.
    recorder.Clear();
    StartDataPhase();
    s3().Receive("x\r\n");
    s3().Close();
    Reply(kComplete);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("DirOpen", "DirData(x)", "DirClose", "CommandDone(0,Dir,Transfer complete)"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE I", kPortLine, "RETR f", "TYPE A", kPortLine, "LIST next"));
}

INSTANTIATE_TEST_SUITE_P(ByReplyAndByClose, NextOperationFromCommandDone, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ReplyFirst" : "CloseFirst"; });

// ---- the transfer time-out restarts with every arrival and completed send

TEST_F(TransferTest, ArrivalsAndCompletedSendsReloadTheTransferCountdown) {
    control.put_TransTimeout(4);
    recorder.QueueUpload("abcd");
    recorder.QueueUpload("efgh");
    control.PutFile(u"up.bin");
    StartDataPhase();
    t2().TickN(3);
    EXPECT_EQ(tarselInspector::TimeoutCountdown(control), 1);
    s3().SendDone();
    EXPECT_EQ(tarselInspector::TimeoutCountdown(control), 4);
    EXPECT_EQ(tarselInspector::TimeoutKind(control), 3);
}

// ---- errors of the data connection

TEST_F(TransferTest, ADataSocketErrorIsReportedAndTheReplyStillEndsTheTransfer) {
    control.GetFile(u"f");
    StartDataPhase();
    s3().Error(10054, u"Connection reset", u"recv");
    EXPECT_EQ(s3().state(), FakeSoquet::State::Connected) << "the error alone closes nothing";
    EXPECT_EQ(control.IsIdle(), False);
    s3().Close();
    Reply("426 Connection reset");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen()", "TransError(10054,Connection reset,recv)", "GetClose",
                            "CommandDone(426,GetFile,Connection reset)"));
}

// A refused upload is over: a positive reply the server sends after it answers no operation,
// so it must not report that upload as cut short (nor abort anything).
TEST_F(TransferTest, AStrayPositiveReplyAfterAFailedUploadRaisesNoTransError) {
    control.PutFile(u"f");
    ReplyUntilTransferCommand();
    Reply("425 no data connection");
    recorder.Clear();
    Reply("200 ok");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,DONE,ok)"));
}

// A refused listing whose listener was waiting under the data-connect time-out: the refusal
// ends the wait too, so no time-out reaches the host after the operation is over.
TEST_F(TransferTest, ARefusalWhileTheListenerWaitsLeavesNoTimeOutBehind) {
    control.put_ConnectTimeout(2);
    control.Ls(u"");
    ReplyUntilTransferCommand();
    Reply("226 nothing to send");  // a positive reply before any connection: the wait is timed
    Reply("530 not logged in");
    recorder.Clear();
    t2().TickN(10);
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    EXPECT_EQ(control.IsIdle(), True);
}

}  // namespace
}  // namespace tarselctl
