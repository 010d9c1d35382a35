// The transfer methods: the lines each one queues, a refusal at every step of the dialogue,
// the restart offset, and the local file name handed to the host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

using Lines = std::vector<std::string>;

struct MethodCase {
    const char* name;
    const char* filetype;  // written to Filetype before the call
    const char* rest;      // written to Rest before the call
    std::function<void(tarsel&)> call;
    std::string operation;
    Lines lines;  // "MODE" stands for the PORT or PASV line
};

void PrintTo(const MethodCase& c, std::ostream* os) { *os << c.name; }

Lines WithMode(const Lines& lines, bool passive) {
    Lines out = lines;
    for (auto& line : out)
        if (line == "MODE") line = passive ? "PASV" : std::string(kPortLine);
    return out;
}

const MethodCase kMethodCases[] = {
    {"DirPlain", "I", "", [](tarsel& c) { c.Dir(); }, "Dir", {"TYPE A", "MODE", "LIST"}},
    {"DirPattern", "", "9", [](tarsel& c) { c.Dir(u"*.txt"); }, "Dir", {"TYPE A", "MODE", "LIST *.txt"}},
    {"DirBlanks", "I", "", [](tarsel& c) { c.Dir(u"  "); }, "Dir", {"TYPE A", "MODE", "LIST   "}},
    {"DirMlsd", "I", "", [](tarsel& c) { c.put_DirCommand(u"mlsd"); c.Dir(); }, "Dir", {"TYPE A", "MODE", "MLSD"}},
    {"DirMlsdPath", "I", "", [](tarsel& c) { c.put_DirCommand(u"MLSD"); c.Dir(u"a b"); }, "Dir",
     {"TYPE A", "MODE", "MLSD a b"}},
    {"LsPlain", "I", "", [](tarsel& c) { c.Ls(); }, "Ls", {"TYPE A", "MODE", "NLST"}},
    {"LsDirectory", "A", "", [](tarsel& c) { c.Ls(u"sub"); }, "Ls", {"TYPE A", "MODE", "NLST sub"}},
    {"GetImage", "I", "", [](tarsel& c) { c.GetFile(u"a.bin", u"l"); }, "GetFile",
     {"TYPE I", "MODE", "RETR a.bin"}},
    {"GetAscii", "a", "", [](tarsel& c) { c.GetFile(u"a.txt"); }, "GetFile",
     {"TYPE A", "MODE", "RETR a.txt"}},
    {"GetNoType", "", "", [](tarsel& c) { c.GetFile(u"a.bin"); }, "GetFile", {"MODE", "RETR a.bin"}},
    {"GetRestart", "I", "1000", [](tarsel& c) { c.GetFile(u"a.bin"); }, "GetFile",
     {"TYPE I", "REST 1000", "MODE", "RETR a.bin"}},
    {"GetRestartNoType", "", "1000", [](tarsel& c) { c.GetFile(u"a.bin"); }, "GetFile",
     {"REST 1000", "MODE", "RETR a.bin"}},
    {"PutImageIgnoresRest", "b", "1000", [](tarsel& c) { c.PutFile(u"up.bin", u"l"); }, "PutFile",
     {"TYPE I", "MODE", "STOR up.bin"}},
    {"PutNoType", "", "", [](tarsel& c) { c.PutFile(u"up.bin"); }, "PutFile", {"MODE", "STOR up.bin"}},
    {"AppendIgnoresRest", "I", "1000", [](tarsel& c) { c.AppendFile(u"log.txt"); }, "AppendFile",
     {"TYPE I", "MODE", "APPE log.txt"}},
    {"AppendAscii", "A", "", [](tarsel& c) { c.AppendFile(u"log.txt"); }, "AppendFile",
     {"TYPE A", "MODE", "APPE log.txt"}},
};

class TransferLines : public TransferTest,
                      public ::testing::WithParamInterface<std::tuple<MethodCase, bool>> {};

TEST_P(TransferLines, QueuesTypeRestModeAndTransferCommandInOrder) {
    const auto& [c, passive] = GetParam();
    control.put_Filetype(FromUtf8(c.filetype));
    control.put_Rest(FromUtf8(c.rest));
    control.put_Passive(passive ? True : False);
    c.call(control);
    EXPECT_EQ(control.get_FtpCommand(), FromUtf8(c.operation));
    EXPECT_EQ(control.IsIdle(), False);
    ReplyUntilTransferCommand();

    const Lines want = WithMode(c.lines, passive);
    EXPECT_THAT(s1().SentLines(), ElementsAreArray(want));
    Lines traced;
    for (const auto& event : recorder.events)
        if (event.rfind("Trace(" + c.operation + ">>", 0) == 0)
            traced.push_back(event.substr(6 + c.operation.size() + 2, event.size() - 6 - c.operation.size() - 3));
    EXPECT_THAT(traced, ElementsAreArray(want));
    EXPECT_EQ(tarselInspector::DataPhase(control), 1);
}

INSTANTIATE_TEST_SUITE_P(
    AllMethods, TransferLines,
    ::testing::Combine(::testing::ValuesIn(kMethodCases), ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Passive" : "Active");
    });

TEST_F(TransferTest, ThePassiveTransferCommandGoesOutBeforeTheDataConnectionOpens) {
    control.put_Passive(True);
    control.Dir();
    Reply(kTypeOk);
    platform.calls.clear();
    Reply(kPasvOk);
    EXPECT_THAT(platform.calls,
                ElementsAre("Soquet2.CloseSocket", "Soquet3.CloseSocket", "Soquet3.SetupPhase(-1)",
                            "Soquet3.ConnectTo(127.0.0.1, 10000,20)", "Soquet3.SetupPhase(0)",
                            "Soquet1.Send(LIST\\r\\n)"));
}

// ---- a refusal at each step of the dialogue

struct SweepCase {
    const char* name;
    std::function<void(tarsel&)> call;
    std::string operation;
    Lines lines;
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

const SweepCase kSweepCases[] = {
    {"Dir", [](tarsel& c) { c.Dir(); }, "Dir", {"TYPE A", "MODE", "LIST"}},
    {"Ls", [](tarsel& c) { c.Ls(u"x"); }, "Ls", {"TYPE A", "MODE", "NLST x"}},
    {"GetFile", [](tarsel& c) { c.GetFile(u"f", u"l"); }, "GetFile", {"TYPE I", "REST 7", "MODE", "RETR f"}},
    {"PutFile", [](tarsel& c) { c.PutFile(u"f", u"l"); }, "PutFile", {"TYPE I", "MODE", "STOR f"}},
    {"AppendFile", [](tarsel& c) { c.AppendFile(u"f"); }, "AppendFile", {"TYPE I", "MODE", "APPE f"}},
};

class TransferRefusalSweep : public TransferTest,
                             public ::testing::WithParamInterface<std::tuple<SweepCase, bool>> {};

TEST_P(TransferRefusalSweep, EachStepRefusedInTurnEndsWithItsCodeAndNoTransferEvents) {
    const auto& [c, passive] = GetParam();
    const Lines all = WithMode(c.lines, passive);
    const std::size_t modeIndex =
        std::find(c.lines.begin(), c.lines.end(), std::string("MODE")) - c.lines.begin();
    for (std::size_t refused = 0; refused < all.size(); ++refused) {
        for (const char* refusal : {"550 Refused", "451 Local error"}) {
            SCOPED_TRACE("refused line " + all[refused] + " with " + refusal);
            ClearLogs();
            control.put_Passive(passive ? True : False);
            control.put_Rest(u"7");
            control.put_ConnectTimeout(5);
            c.call(control);
            for (std::size_t i = 0; i < refused; ++i) {
                const std::string word = LastSent().substr(0, 4);
                Reply(word == "TYPE" ? kTypeOk : word == "REST" ? kRestOk : word == "PORT" ? kPortOk : kPasvOk);
            }
            Reply(refusal);

            const Lines sentWant(all.begin(), all.begin() + static_cast<long>(refused) + 1);
            EXPECT_THAT(s1().SentLines(), ElementsAreArray(sentWant));
            const std::string code(refusal, 3);
            EXPECT_THAT(recorder.NonTraceEvents(),
                        ElementsAre("CommandDone(" + code + "," + c.operation + "," +
                                    std::string(refusal + 4) + ")"));
            EXPECT_EQ(control.IsIdle(), True);
            EXPECT_EQ(control.get_FtpCommand(), u"DONE");
            EXPECT_EQ(s2().state(), FakeSoquet::State::Idle);
            EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
            EXPECT_FALSE(t2().enabled);
            EXPECT_EQ(tarselInspector::DataPhase(control), 0);
            EXPECT_THAT(tarselInspector::Queue(control), IsEmpty());
            if (refused < modeIndex) {
                for (const auto& call : platform.calls) {
                    EXPECT_EQ(call.find("Listen"), std::string::npos) << call;
                    EXPECT_EQ(call.find("ConnectTo"), std::string::npos) << call;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllMethods, TransferRefusalSweep,
    ::testing::Combine(::testing::ValuesIn(kSweepCases), ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Passive" : "Active");
    });

TEST_F(TransferTest, ARefusalWhileTheDataConnectionIsOpenClosesTheHostsSideFirst) {
    control.GetFile(u"f", u"l");
    StartDataPhase();
    s3().Receive("abc");
    Reply("451 Local error in processing");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(l)", "GetData(3)", "GetClose",
                            "CommandDone(451,GetFile,Local error in processing)"));
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_EQ(control.IsIdle(), True);
}

// ---- the restart offset serves one data connection

TEST_F(TransferTest, RestIsEmptiedByEveryDataConnectionClose) {
    control.put_Rest(u"1000");
    control.Dir();
    StartDataPhase();
    s3().Close();
    Reply(kComplete);
    EXPECT_EQ(control.get_Rest(), u"");

    control.GetFile(u"f");
    ReplyUntilTransferCommand();
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE A", kPortLine, "LIST", "TYPE I", kPortLine, "RETR f"));
    Reply(kOpening);
    OpenDataConnection();
    s3().Close();
    Reply(kComplete);

    control.put_Rest(u"2000");
    s1().ClearSent();
    control.GetFile(u"f");
    StartDataPhase();
    EXPECT_EQ(control.get_Rest(), u"2000") << "kept while the data connection is open";
    s3().Close();
    EXPECT_EQ(control.get_Rest(), u"");
    Reply(kComplete);
    control.GetFile(u"f");
    ReplyUntilTransferCommand();
    EXPECT_THAT(s1().SentLines(),
                ElementsAre("TYPE I", "REST 2000", kPortLine, "RETR f", "TYPE I", kPortLine, "RETR f"));
}

// ---- the local file name

TEST_F(TransferTest, LocalFileIsHandedOnExactlyAndAppendReportsTheStoredOne) {
    auto run = [&](std::function<void()> call) {
        recorder.Clear();
        call();
        StartDataPhase();
        if (s3().state() == FakeSoquet::State::Connected) s3().Close();
        Reply(kComplete);
        return recorder.NonTraceEvents().front();
    };
    EXPECT_EQ(run([&] { control.AppendFile(u"log"); }), "PutOpen()");
    EXPECT_EQ(run([&] { control.GetFile(u"server-name.txt"); }), "GetOpen()");
    EXPECT_EQ(run([&] { control.GetFile(u"a", u"C:\\dl\\a.bin"); }), "GetOpen(C:\\dl\\a.bin)");
    EXPECT_EQ(run([&] { control.AppendFile(u"log"); }), "PutOpen(C:\\dl\\a.bin)");
    EXPECT_EQ(run([&] { control.PutFile(u"b", u"up.dat"); }), "PutOpen(up.dat)");
    EXPECT_EQ(run([&] { control.Dir(); }), "DirOpen");
    EXPECT_EQ(run([&] { control.AppendFile(u"log"); }), "PutOpen(up.dat)");
}

TEST_F(TransferTest, ATransferMethodCalledFromInsideATransferEventFailsAndTheTransferGoesOn) {
    std::vector<std::string> refusals;
    recorder.onGetData = [&](ByteArray&) {
        auto attempt = [&](std::function<void()> call) {
            try {
                call();
                refusals.push_back("accepted");
            } catch (const AutomationError& e) {
                refusals.push_back(std::to_string(e.Number()) + " " + ToUtf8(e.Source()) + " " +
                                   ToUtf8(e.Description()));
            }
        };
        attempt([&] { control.GetFile(u"other", u"other.local"); });
        attempt([&] { control.Dir(); });
        attempt([&] { control.PutFile(u"x"); });
    };
    control.GetFile(u"f", u"mine");
    StartDataPhase();
    s3().Receive("abc");
    s3().Close();
    Reply(kComplete);
    EXPECT_THAT(refusals, ElementsAre("17 GetFile Not Idling", "17 Dir Not Idling", "17 PutFile Not Idling"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(mine)", "GetData(3)", "GetClose", "CommandDone(0,GetFile,Transfer complete)"));
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE I", kPortLine, "RETR f"));

    control.AppendFile(u"log");  // the refused GetFile and PutFile did not touch the local name
    StartDataPhase();
    EXPECT_THAT(recorder.NonTraceEvents(), Contains("PutOpen(mine)"));
}

}  // namespace
}  // namespace tarselctl
