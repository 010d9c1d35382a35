// The file converter's shift state belongs to one transfer: whatever a JIS download leaves
// in it (a two-byte run, half-width katakana, a shift-out) never reaches the next file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

class ConverterState : public TransferTest {
protected:
    /// Downloads `arrivals` with the current FileCode; `recorder.received` then holds exactly
    /// what the host got for this file.
    void Download(const std::vector<std::string>& arrivals) {
        recorder.Clear();
        control.GetFile(u"f", u"l");
        StartDataPhase();
        for (const auto& arrival : arrivals) s3().Receive(arrival);
        s3().Close();
        Reply(kComplete);
        ASSERT_EQ(recorder.NonTraceEvents().back(), "CommandDone(0,GetFile,Transfer complete)");
    }
};

TEST_F(ConverterState, AJisDownloadThatEndsInAnyShiftStateLeavesTheNextFileUntouched) {
    control.put_FileCode(u"JIS");
    // Each first file ends in a state that changes how "ABC=?" reads: shifted out (SO, as a
    // binary file fetched as JIS often ends), in katakana mode, in a two-byte run, and both
    // shifted out and in a two-byte run.
    const std::pair<std::string, std::string> firstFiles[] = {
        {"x\x0e" "1", "x\xB1"},
        {"x\x1b(I1", "x\xB1"},
        {"x\x1b$BF|", "x\x93\xFA"},
        {"\x1b$BF|\x0e", "\x93\xFA"},
    };
    for (const auto& [bytes, sjis] : firstFiles) {
        SCOPED_TRACE(bytes);
        Download({bytes});
        EXPECT_EQ(recorder.received, sjis);
        Download({"ABC=?"});
        EXPECT_EQ(recorder.received, "ABC=?");
    }
}

TEST_F(ConverterState, AShiftOutLeftByAJisFileSurvivesNeitherABinaryTransferNorACodeChange) {
    control.put_FileCode(u"JIS");
    Download({"x\x0e"});
    control.put_FileCode(u"BIN");
    Download({"raw"});
    control.put_FileCode(u"EUC");
    control.put_FileCode(u"JIS");
    Download({"ABC=?"});
    EXPECT_EQ(recorder.received, "ABC=?");
}

}  // namespace
}  // namespace tarselctl
