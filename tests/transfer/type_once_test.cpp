// TypeOnce: a TYPE the server has accepted on this connection is not sent again, and the
// type counts as unknown whenever something may have changed it behind the control's back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/transfer_dialogue.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;

class TypeOnceTest : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        control.put_Passive(True);
        control.put_TypeOnce(True);
    }

    /// Runs one download to its end and returns the lines it sent.
    std::vector<std::string> Download(const char16_t* file) {
        ClearLogs();
        control.GetFile(file);
        StartDataPhase();
        s3().Receive("x");
        s3().Close();
        Reply(kComplete);
        EXPECT_EQ(control.IsIdle(), True);
        return s1().SentLines();
    }

    std::vector<std::string> Listing() {
        ClearLogs();
        control.Dir();
        StartDataPhase();
        s3().Close();
        Reply(kComplete);
        return s1().SentLines();
    }

    void Quote(const char16_t* line, std::string_view reply) {
        control.QuoteCommand(line);
        Reply(reply);
    }
};

TEST_F(TypeOnceTest, AnAcceptedTypeIsSentOncePerConnectionAndAgainWhenItChanges) {
    EXPECT_THAT(Download(u"a"), ElementsAre("TYPE I", "PASV", "RETR a"));
    EXPECT_THAT(Download(u"b"), ElementsAre("PASV", "RETR b"));
    EXPECT_THAT(Listing(), ElementsAre("TYPE A", "PASV", "LIST"));
    EXPECT_THAT(Listing(), ElementsAre("PASV", "LIST"));
    EXPECT_THAT(Download(u"c"), ElementsAre("TYPE I", "PASV", "RETR c"));
    ClearLogs();
    control.FileSize(u"c");
    Reply("213 1");
    EXPECT_THAT(s1().SentLines(), ElementsAre("SIZE c"));
}

TEST_F(TypeOnceTest, ATypeThatMayHaveChangedIsSentAgain) {
    Download(u"a");
    // A refused TYPE: the server's type is not trusted any more.
    ClearLogs();
    control.Dir();
    Reply("504 not now");
    EXPECT_EQ(control.TypeInForce(), u"");
    EXPECT_THAT(Download(u"b"), ElementsAre("TYPE I", "PASV", "RETR b"));

    // A host's own line may reset the type (REIN, SITE ...); its own TYPE line sets it.
    Quote(u"SITE IDLE 60", "200 ok");
    EXPECT_THAT(Download(u"c"), ElementsAre("TYPE I", "PASV", "RETR c"));
    Quote(u"TYPE A", "200 ok");
    EXPECT_THAT(Listing(), ElementsAre("PASV", "LIST"));

    // A new login may start in the server's default type.
    control.Login(u"other", u"pw");
    Reply("230 ok");
    EXPECT_THAT(Listing(), ElementsAre("TYPE A", "PASV", "LIST"));
}

TEST_F(TypeOnceTest, OffByDefaultAndAcrossConnections) {
    control.put_TypeOnce(False);
    Download(u"a");
    EXPECT_THAT(Download(u"b"), ElementsAre("TYPE I", "PASV", "RETR b"));

    control.put_TypeOnce(True);
    Download(u"c");
    control.Abend();
    ConnectAndLogin();
    control.put_Passive(True);
    EXPECT_THAT(Download(u"d"), ElementsAre("TYPE I", "PASV", "RETR d"));
}

}  // namespace
}  // namespace tarselctl
