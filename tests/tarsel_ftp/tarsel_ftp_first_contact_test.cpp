// What the session finds out on its own after the login, over the scripted server: the code
// of names from the listings, and whether a URL's PATH is a directory or a file.
#include "tarsel_ftp/session_fixture.h"

namespace tarselftp::testing_session {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// 日本語.txt in Shift_JIS, EUC-JP and UTF-8.
const std::string kSjis = "\x93\xFA\x96\x7B\x8C\xEA.txt";
const std::string kEuc = "\xC6\xFC\xCB\xDC\xB8\xEC.txt";
const std::string kUtf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt";

class TarselFtpFirstContact : public TarselFtpSessionCommands {
protected:
    void SetUp() override {
        TarselFtpSessionCommands::SetUp();
        options.sysCode.reset();  // judged from the listings
        options.tls = "off";
    }
};

TEST_F(TarselFtpFirstContact, TheLoginDirectorysNamesDecideTheCodeAndMgetSendsTheServersBytes) {
    struct Case {
        std::string name;
        std::u16string sysCode;
        std::size_t lists;  // the readings the login's listing took
    };
    const Case cases[] = {{kSjis, u"SJIS", 2}, {kEuc, u"EUC", 3}, {kUtf8, u"UTF8", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.lines.clear();
        server.listings[""] = ListLine('-', 4, "plain.txt") + ListLine('-', 4, c.name);
        server.downloads = {{"plain.txt", "abc\n"}, {c.name, "xyz\n"}};
        Start();
        EXPECT_EQ(control.get_SysCode(), c.sysCode);
        EXPECT_EQ(LinesStartingWith("LIST").size(), c.lists);
        Type("mget *.txt");
        EXPECT_THAT(server.lines, Contains("RETR " + c.name));
        EXPECT_EQ(ReadFile(dir / kUtf8), "xyz\n") << output.err;
        fs::remove(dir / kUtf8);
        session.reset();
        control.Abend();
        Run();
    }
}

TEST_F(TarselFtpFirstContact, FeatUtf8OrAChosenCodeSkipTheJudgingListing) {
    server.replies["FEAT"] = "211-Features:\r\n UTF8\r\n211 End";
    server.listings[""] = ListLine('-', 4, kSjis);
    Start();
    EXPECT_EQ(control.get_SysCode(), u"UTF8");
    EXPECT_THAT(LinesStartingWith("LIST"), IsEmpty());
    EXPECT_THAT(LinesStartingWith("OPTS"), ElementsAre("OPTS UTF8 ON"));
    session.reset();
    control.Abend();
    Run();
    server.lines.clear();
    server.replies.erase("FEAT");
    options.sysCode = "EUC";
    Start();
    EXPECT_EQ(control.get_SysCode(), u"EUC");
    EXPECT_THAT(LinesStartingWith("LIST"), IsEmpty());
}

TEST_F(TarselFtpFirstContact, LaterListingsAddEvidenceAndTheVerdictChangesAfterTheListing) {
    // The login directory says Shift_JIS; a later one holds two UTF-8 names that also
    // read cleanly as Shift_JIS (as half-width katakana), so they count, and outvote it.
    server.listings[""] = ListLine('-', 4, kSjis);
    server.listings["utf"] = ListLine('-', 1, "caf\xC3\xA9.txt") + ListLine('-', 1, "r\xC3\xA9sum\xC3\xA9.txt");
    Start(/*interactive=*/true);
    ASSERT_EQ(control.get_SysCode(), u"SJIS");
    output.err.clear();
    Type("dir utf");
    EXPECT_EQ(control.get_SysCode(), u"UTF8");
    EXPECT_THAT(output.err, HasSubstr("names read as UTF-8 from now on"));
}

TEST_F(TarselFtpFirstContact, AUrlPathIsChangedToWhenADirectoryAndFetchedOtherwise) {
    bool resolved = false, directory = false;
    session = std::make_unique<FtpSession>(io, control, options, output);
    session->SetStartPath("pub", [&](bool d) {
        resolved = true;
        directory = d;
    });
    ASSERT_TRUE(session->Start());
    Run();
    EXPECT_TRUE(resolved);
    EXPECT_TRUE(directory);
    EXPECT_THAT(LinesStartingWith("CWD"), ElementsAre("CWD pub"));
    EXPECT_THAT(LinesStartingWith("RETR"), IsEmpty());
    session.reset();
    control.Abend();
    Run();

    server.lines.clear();
    server.replies["CWD"] = "550 Failed to change directory.";
    server.downloads = {{"pub/readme.txt", "text\n"}};
    resolved = directory = false;
    session = std::make_unique<FtpSession>(io, control, options, output);
    session->SetStartPath("pub/readme.txt", [&](bool d) {
        resolved = true;
        directory = d;
        session->EndOfInput();
    });
    ASSERT_TRUE(session->Start());
    Run();
    EXPECT_TRUE(resolved);
    EXPECT_FALSE(directory);
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR pub/readme.txt"));
    EXPECT_EQ(ReadFile(dir / "readme.txt"), "text\n");
    EXPECT_TRUE(session->Finished());
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

}  // namespace
}  // namespace tarselftp::testing_session
