// File contents through the real converter: characters cut by packet and block boundaries,
// the end of the data, a stored code in another case, and what one transfer may
// leave behind for the next.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tarsel/automation.h>
#include <tarsel/property_bag.h>

#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::Not;

// "A日本語z" in the three codes.
const std::string kSjis = "A\x93\xFA\x96\x7B\x8C\xEAz";
const std::string kEuc = "A\xC6\xFC\xCB\xDC\xB8\xECz";
const std::string kJis = "A\x1b$BF|K\\8l\x1b(Bz";

class FileConversion : public TransferTest {
protected:
    /// Downloads `arrivals` and returns the size of each GetData, the one at the close included.
    /// `asBytes`: the platform hands each arrival over as bytes rather than text.
    std::vector<std::size_t> Download(const std::vector<std::string>& arrivals, bool asBytes = false) {
        std::vector<std::size_t> sizes;
        recorder.onGetData = [&](ByteArray& data) { sizes.push_back(data.size()); };
        recorder.Clear();
        control.GetFile(u"f", u"l");
        StartDataPhase();
        for (const auto& arrival : arrivals) asBytes ? s3().ReceiveBytes(arrival) : s3().Receive(arrival);
        s3().Close();
        Reply(kComplete);
        recorder.onGetData = nullptr;
        EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(0,GetFile,Transfer complete)");
        return sizes;
    }
};

TEST_F(FileConversion, AnEucDownloadSplitAnywhereGivesShiftJisWithOneGetDataPerArrival) {
    control.put_FileCode(u"EUC");
    for (std::size_t cut = 0; cut <= kEuc.size(); ++cut) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        const auto sizes = Download({kEuc.substr(0, cut), kEuc.substr(cut)});
        EXPECT_EQ(recorder.received, kSjis);
        EXPECT_EQ(sizes.size(), 2u) << "one GetData per arrival, none at the close";
    }
}

TEST_F(FileConversion, AJisDownloadSplitInsideAnEscapeSequenceIsStillDecoded) {
    control.put_FileCode(u"JIS");
    for (std::size_t cut = 0; cut <= kJis.size(); ++cut) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        Download({kJis.substr(0, cut), kJis.substr(cut)});
        EXPECT_EQ(recorder.received, kSjis);
    }
}

TEST_F(FileConversion, ACharacterCutByEachArrivalWaitsForTheNext) {
    control.put_FileCode(u"E");
    const auto sizes = Download({"A\xC6", "\xFC\xCB", "\xDC"});
    EXPECT_EQ(recorder.received, "A\x93\xFA\x96\x7B");
    EXPECT_THAT(sizes, ElementsAre(1u, 2u, 2u));
}

TEST_F(FileConversion, ACutCharacterLeftAtTheCloseIsDeliveredRawBeforeGetClose) {
    control.put_FileCode(u"EUC");
    const auto sizes = Download({"A\xC6\xFC\xCB"});
    EXPECT_EQ(recorder.received, "A\x93\xFA\xCB");
    EXPECT_THAT(sizes, ElementsAre(3u, 1u));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen(l)", "GetData(3)", "GetData(1)", "GetClose",
                                                       "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(FileConversion, ABinaryDownloadGivesEachArrivalExactlyAndNothingAtTheClose) {
    const auto sizes = Download({"A\xC6", std::string("\0\xFF\r\n", 4)});
    EXPECT_EQ(recorder.received, std::string("A\xC6\0\xFF\r\n", 6));
    EXPECT_THAT(sizes, ElementsAre(2u, 4u));
}

TEST_F(FileConversion, ArrivalsHandedOverAsBytesGoTheWayTextDoes) {
    // A binary download passes the platform's bytes on as they are; a converted download and
    // a listing take the text way, with the same carry between arrivals.
    auto sizes = Download({"A\xC6", std::string("\0\xFF\r\n", 4)}, true);
    EXPECT_EQ(recorder.received, std::string("A\xC6\0\xFF\r\n", 6));
    EXPECT_THAT(sizes, ElementsAre(2u, 4u));
    control.put_FileCode(u"EUC");
    sizes = Download({kEuc.substr(0, 2), kEuc.substr(2)}, true);
    EXPECT_EQ(recorder.received, kSjis);
    EXPECT_THAT(sizes, ElementsAre(1u, 7u));

    recorder.Clear();
    control.Ls();
    StartDataPhase();
    s3().ReceiveBytes("a\r\nb");
    s3().ReceiveBytes("c\r\n");
    s3().Close();
    Reply(kComplete);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DirOpen", "DirData(a)", "DirData(bc)", "DirClose",
                                                       "CommandDone(0,Ls,Transfer complete)"));
}

// ---- uploads: the host's Shift_JIS blocks converted block by block

class FileUpload : public TransferTest {
protected:
    void StartUpload(std::vector<std::string> blocks) {
        for (const auto& block : blocks) recorder.QueueUpload(block);
        control.PutFile(u"up", u"l");
        StartDataPhase();
    }
};

TEST_F(FileUpload, AShiftJisCharacterCutByTheBlockEndIsCompletedByTheNextBlock) {
    control.put_FileCode(u"EUC");
    StartUpload({"A\x93\xFA\x96", "\x7B\x8C", "\xEAz"});
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    EXPECT_THAT(s3().sends, ElementsAre("A\xC6\xFC", "\xCB\xDC", "\xB8\xECz"));
    EXPECT_EQ(s3().sent, kEuc);
}

TEST_F(FileUpload, AByteKeptAtTheEndIsSentUnchangedAndTheCloseWaitsForThatSend) {
    control.put_FileCode(u"EUC");
    StartUpload({"A\x93\xFA\x96"});
    s3().SendDone();  // the host has nothing more; one byte is still kept
    EXPECT_THAT(s3().sends, ElementsAre("A\xC6\xFC", "\x96"));
    EXPECT_EQ(s3().state(), FakeSoquet::State::Connected) << "the kept byte is still on its way";
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("PutOpen(l)", "PutData", "PutData"));
    s3().SendDone();
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_EQ(recorder.NonTraceEvents().back(), "PutClose");
    Reply(kComplete);
    EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(0,PutFile,Transfer complete)");
}

TEST_F(FileUpload, AJisUploadReadsAsTheWholeTextConvertedInOnePiece) {
    control.put_FileCode(u"JIS");
    // Blocks ending in two-byte text (one cut inside a character, one after a trail byte
    // that is also an ASCII letter, 0x5C): their text waits for the next one-byte character,
    // so no block boundary costs an ESC ( J and a fresh ESC $ B.
    const std::vector<std::string> blocks = {"\x82\xA0\x83\x5C", "\x82", "\xA0\r\n\x93\xFA", "\x96\x7B"};
    StartUpload(blocks);
    while (s3().state() == FakeSoquet::State::Connected) s3().SendDone();
    std::string whole;
    for (const auto& block : blocks) whole += block;
    EXPECT_EQ(s3().sent, CreateCodawa()->SjisToJis(whole));
    EXPECT_EQ(s3().sent, "\x1b$B$\"%=$\"\x1b(J\r\n\x1b$BF|K\\\x1b(J");
    Reply(kComplete);
    EXPECT_EQ(recorder.NonTraceEvents().back(), "CommandDone(0,PutFile,Transfer complete)");
}

TEST_F(FileConversion, AJisX0212CharacterShiftJisLacksIsReportedLikeAUtf8Replacement) {
    control.put_FileCode(u"EUC");
    // 0x8F A2 AF (JIS X 0212, no Shift_JIS form) becomes '?'.
    Download({"A\x8F\xA2\xAFz"});
    EXPECT_EQ(recorder.received, "A?z");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("GetOpen(l)", "GetData(3)",
                                                       "TransError(-6,characters replaced,data)", "GetClose",
                                                       "CommandDone(0,GetFile,Transfer complete)"));
    control.put_FileCode(u"JIS");
    Download({"\x1b$(D\x22\x2F\x1b(B"});
    EXPECT_EQ(recorder.received, "?");
    EXPECT_THAT(recorder.NonTraceEvents(), Contains("TransError(-6,characters replaced,data)"));
    // The count belongs to one transfer.
    Download({"abc"});
    EXPECT_THAT(recorder.NonTraceEvents(), Not(Contains("TransError(-6,characters replaced,data)")));
}

TEST_F(FileUpload, AnUploadCutShortLeavesNothingForTheNextOne) {
    control.put_FileCode(u"EUC");
    StartUpload({"A\x93\xFA\x96"});
    s3().Close();  // the server drops the data connection with a byte still kept
    Reply("426 Connection closed");
    ASSERT_EQ(control.IsIdle(), True);
    s3().ClearSent();
    StartUpload({"BC"});
    EXPECT_THAT(s3().sends, ElementsAre("BC"));
}

TEST_F(FileConversion, EveryTransferStartsWithEmptyCarryBuffers) {
    control.put_FileCode(u"JIS");
    // A JIS download broken off inside a two-byte run leaves the converter in that mode.
    Download({"\x1b$BF|"});
    EXPECT_EQ(recorder.received, "\x93\xFA");
    Download({"abc"});
    EXPECT_EQ(recorder.received, "abc");

    // Whatever an earlier transfer left in the receive buffers stays out of the next file.
    control.put_FileCode(u"EUC");
    tarselInspector::GetRemainder(control) = "\xC6";
    Download({"AB"});
    EXPECT_EQ(recorder.received, "AB");
    tarselInspector::DirBuffer(control) = "stale";
    control.Dir();
    StartDataPhase();
    s3().Receive("x\r\n");
    EXPECT_EQ(recorder.NonTraceEvents().back(), "DirData(x)");
}

// ---- a stored FileCode in another case than its writer gives it

class LowerCaseStoredFileCode : public TransferTest {
protected:
    void SetUp() override {
        MemoryPropertyBag bag;
        bag.values[u"FileCode"] = Variant::FromString(u"euc");
        control.ReadProperties(bag);
        ConnectAndLogin();
    }
};

// Both directions must read the setting alike: an upload that went out as Shift_JIS while the
// download converted would be a corrupt file reported as a success.
TEST_F(LowerCaseStoredFileCode, ConvertsUploadsAndDownloadsAlike) {
    recorder.QueueUpload(kSjis);
    control.PutFile(u"up");
    StartDataPhase();
    s3().SendDone();
    Reply(kComplete);
    EXPECT_EQ(s3().sent, kEuc);

    control.GetFile(u"down");
    StartDataPhase();
    s3().Receive(kEuc);
    EXPECT_EQ(recorder.received, kSjis);
}

}  // namespace
}  // namespace tarselctl
