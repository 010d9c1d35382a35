// tarsel-ftp's session in-process, against the fake FTP server on the scripted platform: the
// error lines, the many-file commands, the interactive rules, and the progress meter, with
// the exact lines the server received.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include <tarsel/tarsel.h>

#include "ftp_session.h"
#include "session_output.h"
#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"
#include "session_fixture.h"

namespace tarselftp {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using namespace testing_session;

TEST_F(TarselFtpSessionCommands, ErrorLinesSayWhetherTheServerTheConnectionOrThisSideFailed) {
    server.downloads = {{"a.txt", "abc"}};
    server.replies["SYST"] = "215 UNIX Type: L8";
    Start();
    Type("get missing.txt");
    Type("get a.txt /nonexistent-dir/a.txt");
    Type("quote SYST");
    server.replies["PASV"] = "200 Fine";  // no 227: no data connection can be made
    Type("dir");
    EXPECT_EQ(output.err,
              "tarsel-ftp: server 550: get missing.txt: No such file\n"
              "tarsel-ftp: local: cannot write '/nonexistent-dir/a.txt': No such file or directory\n"
              "tarsel-ftp: connection: dir: no data connection could be set up (last reply: "
              "Fine) (try --active)\n");
    EXPECT_EQ(output.out, "215 UNIX Type: L8\n");
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR missing.txt"))
        << "nothing is asked of the server for a local file that cannot be written";
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, VerboseShowsEveryReplyAndQuoteDoesNotRepeatIt) {
    server.replies["SYST"] = "215 UNIX Type: L8";
    options.verbose = true;
    Start();
    Type("quote SYST");
    EXPECT_EQ(output.out, "220 fake server ready\n331 Password required\n230 Logged in\n"
                          "502 Command not implemented\n"  // FEAT, asked after the login
                          "215 UNIX Type: L8\n");
    EXPECT_EQ(output.err, "");
}

TEST_F(TarselFtpSessionCommands, MgetFetchesMatchingFilesAndSkipsDirectoriesAndUnsafeNames) {
    server.listings[""] = ListLine('d', 4096, "dir.txt") + ListLine('-', 1, "a.txt") + ListLine('-', 1, "b.bin") +
                          ListLine('-', 1, "../evil.txt") + ListLine('-', 1, ".hidden.txt") +
                          ListLine('-', 1, "\x1b[2Jevil.txt") +
                          ListLine('-', 1, "c.txt") + "total 3\r\n";
    server.downloads = {{"a.txt", "A"}, {"c.txt", "C"}, {"x.bin", "X"}, {"../evil.txt", "E"}};
    Start();
    Type("mget *.txt x.bin");
    Type("mget *.zip");
    EXPECT_THAT(LinesStartingWith("LIST"), ElementsAre("LIST", "LIST"));
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR a.txt", "RETR c.txt", "RETR x.bin"))
        << "a directory among the matches does not stop the files after it";
    EXPECT_EQ(ReadFile(dir / "a.txt"), "A");
    EXPECT_EQ(ReadFile(dir / "c.txt"), "C");
    EXPECT_FALSE(fs::exists(dir.parent_path() / "evil.txt"));
    EXPECT_FALSE(fs::exists(dir / ".hidden.txt")) << "* does not match a leading dot";
    EXPECT_EQ(output.out, "mget: skipping 1 directory (mirror copies directories)\n");
    EXPECT_EQ(output.err, "tarsel-ftp: mget: skipping 1 name(s) that cannot be a local file name\n"
                          "tarsel-ftp: local: mget: no remote file matches '*.zip'\n");
}

TEST_F(TarselFtpSessionCommands, MgetAndMirrorListWithMlsdWhereFeatOffersIt) {
    server.replies["FEAT"] = "211-Features:\r\n MLST type*;size*;modify*;\r\n MDTM\r\n211 End";
    server.listings[""] = "type=dir;modify=20200102030405; d\r\ntype=file;size=1;modify=20200102030405; a.txt\r\n";
    server.listings["/r"] = "type=file;size=3;modify=20200102030405; same\r\n"
                            "type=file;size=3;modify=20200102030406; touched\r\n";
    server.downloads = {{"a.txt", "A"}, {"/r/same", "NEW"}, {"/r/touched", "NEW"}};
    fs::create_directories(dir / "out");
    WriteFile(dir / "out" / "same", "old");
    WriteFile(dir / "out" / "touched", "old");
    const auto at = [](std::int64_t seconds) {
        return fs::file_time_type::clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds)));
    };
    fs::last_write_time(dir / "out" / "same", at(1577934245));
    fs::last_write_time(dir / "out" / "touched", at(1577934245));
    Start();
    Type("mget *");
    Type("mirror /r out");
    EXPECT_THAT(LinesStartingWith("MLSD"), ElementsAre("MLSD", "MLSD"));
    EXPECT_THAT(LinesStartingWith("LIST"), ElementsAre());
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR a.txt", "RETR /r/touched"))
        << "same size, one second apart: fetched again";
    EXPECT_EQ(ReadFile(dir / "out" / "same"), "old");
    EXPECT_EQ(ReadFile(dir / "out" / "touched"), "NEW");
    EXPECT_EQ(fs::last_write_time(dir / "out" / "touched"), at(1577934246)) << "the server's time is kept";
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, MirrorAsksMdtmWhereTheListingHasNoExactTimeAndDeletesOnlyWhenAsked) {
    server.replies["FEAT"] = "211-Features:\r\n MDTM\r\n211 End";
    server.replies["MDTM"] = "213 20200102030406";
    server.listings["/r"] = ListLine('-', 3, "same-size") + ListLine('-', 2, "new");
    server.downloads = {{"/r/same-size", "NEW"}, {"/r/new", "nw"}};
    fs::create_directories(dir / "out");
    WriteFile(dir / "out" / "same-size", "old");
    WriteFile(dir / "out" / "gone", "x");
    fs::create_symlink("/etc", dir / "out" / "link");
    Start();
    Type("mirror --dry-run --delete /r out");
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre()) << "a dry run changes nothing";
    EXPECT_TRUE(fs::exists(dir / "out" / "gone"));
    Type("mirror /r out");
    EXPECT_THAT(LinesStartingWith("MDTM"), ElementsAre("MDTM /r/same-size", "MDTM /r/new"));
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR /r/same-size", "RETR /r/new"));
    EXPECT_EQ(ReadFile(dir / "out" / "same-size"), "NEW");
    EXPECT_TRUE(fs::exists(dir / "out" / "gone")) << "nothing is deleted without --delete";
    Type("mirror --delete /r out");
    EXPECT_FALSE(fs::exists(dir / "out" / "gone"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "out" / "link"))) << "the link itself goes";
    EXPECT_TRUE(fs::exists("/etc"));
    // A dry run prints no summary; each real run one line of what it did.
    EXPECT_THAT(output.out, ::testing::MatchesRegex(
                                "check time: /r/same-size -> out/same-size\nnew: /r/new -> out/new\n"
                                "delete: out/gone\ndelete: out/link\n"
                                "mirror: 1 new, 1 updated, 0 removed, 0 failed; 5 bytes in [0-9.]+ s.*\n"
                                "mirror: 0 new, 0 updated, 2 removed, 0 failed; 0 bytes in [0-9.]+ s.*\n"));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, MirrorStaysInsideItsDirectoryAndSkipsFilesAlreadyThere) {
    server.listings["/r"] = ListLine('d', 4096, "sub") + ListLine('-', 5, "same.txt") +
                            ListLine('-', 3, "new.txt") + ListLine('-', 3, "../../escape") +
                            ListLine('d', 4096, "..") + "total 12\r\n";
    server.listings["/r/sub"] = ListLine('-', 3, "deep.txt");
    server.downloads = {{"/r/new.txt", "new"}, {"/r/same.txt", "XXXXX"},
                        {"/r/sub/deep.txt", "dep"}, {"/r/../../escape", "bad"}};
    fs::create_directories(dir / "out");
    WriteFile(dir / "out" / "same.txt", "local");
    Start();
    Type("mirror /r out");
    EXPECT_THAT(LinesStartingWith("LIST"), ElementsAre("LIST", "LIST"));
    EXPECT_THAT(LinesStartingWith("CWD"), ElementsAre("CWD /r", "CWD /r/sub", "CWD /"))
        << "each listing from inside its directory, then back where it started";
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR /r/new.txt", "RETR /r/sub/deep.txt"));
    EXPECT_EQ(ReadFile(dir / "out" / "new.txt"), "new");
    EXPECT_EQ(ReadFile(dir / "out" / "sub" / "deep.txt"), "dep");
    EXPECT_EQ(ReadFile(dir / "out" / "same.txt"), "local") << "same name and size: skipped";
    EXPECT_FALSE(fs::exists(dir / "escape"));
    EXPECT_THAT(output.err, HasSubstr("skipping the unsafe name '../../escape'"));
    EXPECT_EQ(session->ExitStatus(), 0);
}

TEST_F(TarselFtpSessionCommands, MirrorUpCreatesMissingDirectoriesAndSendsOnlyWhatDiffers) {
    fs::create_directories(dir / "up" / "d");
    WriteFile(dir / "up" / "a.txt", "1");
    WriteFile(dir / "up" / "d" / "b.txt", "bee");
    fs::create_symlink("..", dir / "up" / "loop");
    server.listings["/u"] = ListLine('-', 1, "a.txt");
    server.replies["MKD"] = "257 created";
    Start();
    Type("mirror -R up /u");
    EXPECT_THAT(server.lines, Not(Contains("STOR /u/a.txt")));
    std::vector<std::string> steps;
    for (const std::string& line : server.lines)
        if (line.rfind("MKD", 0) == 0 || line.rfind("CWD", 0) == 0 || line.rfind("STOR", 0) == 0)
            steps.push_back(line);
    EXPECT_THAT(steps, ElementsAre("MKD /u", "CWD /u", "MKD /u/d", "CWD /u/d", "STOR /u/d/b.txt", "CWD /"))
        << "the symbolic link is not followed";
    EXPECT_EQ(server.files["/u/d/b.txt"], "bee");
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, InteractiveSessionOutlivesFailuresAndALostConnection) {
    server.replies["CWD"] = "550 No such directory";
    options.keepGoing = false;
    Start(/*interactive=*/true);
    int prompts = 0;
    session->OnWaitingForLine([&] { ++prompts; });
    Type("cd nowhere");
    Type("pwd");
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: server 550: cd nowhere: No such directory\n"));
    EXPECT_THAT(output.out, HasSubstr("\"/\" is the current directory\n"));
    EXPECT_EQ(prompts, 2);

    platform.soquets.at(0)->Close();  // the server goes away while the prompt waits
    Run();
    EXPECT_FALSE(session->Finished());
    Type("pwd");
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: local: pwd: not connected (open HOST connects)\n"));
    EXPECT_TRUE(session->WaitingForLine());
    Type("bye");
    EXPECT_TRUE(session->Finished());
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, FindDuRmMkdirChmodAndCatWalkTheTreeOnce) {
    server.replies["FEAT"] = "211-Features:\r\n MLST type*;size*;\r\n211 End";
    server.listings["t"] = "type=dir; d\r\ntype=file;size=2048; a\r\ntype=OS.unix=slink:/etc; l\r\n"
                           "type=file;size=1; ../x\r\n";
    server.listings["t/d"] = "type=file;size=1024; b\r\n";
    server.listings[""] = "type=dir; t\r\n";
    server.replies["DELE"] = "250 deleted";
    server.replies["RMD"] = "250 removed";
    server.replies["MKD"] = "257 made";
    server.replies["SITE"] = "200 done";
    server.downloads = {{"t/a", "AAA"}, {"t/d/b", "B"}};
    Start();
    ::testing::internal::CaptureStdout();
    Type("cat t/a t/d/b");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "AAAB");
    Type("find t");
    Type("du t");
    Type("du -sh t");
    Type("rm -r t");
    Type("mkdir -p x/y/z");
    Type("chmod 644 f g");
    EXPECT_EQ(output.out, "t/\nt/d/\nt/a\nt/l\nt/d/b\n"  // find
                          "1\tt/d\n3\tt\n"                 // du, KiB, deepest first
                          "3.0K\tt\n");                     // du -sh
    std::vector<std::string> changes;
    for (const std::string& line : server.lines)
        for (const char* word : {"DELE", "RMD", "MKD", "SITE"})
            if (line.rfind(word, 0) == 0) changes.push_back(line);
    EXPECT_THAT(changes, ElementsAre("DELE t/a", "DELE t/l", "DELE t/d/b", "RMD t/d", "RMD t", "MKD x", "MKD x/y",
                                     "MKD x/y/z", "SITE CHMOD 644 f", "SITE CHMOD 644 g"))
        << "a link is deleted as a link, never walked into; the unsafe name is left alone";
    EXPECT_THAT(output.err, HasSubstr("skipping the name '../x' in t"));
}

TEST_F(TarselFtpSessionCommands, ThePromptShowsTheRemoteDirectoryAndItsNamesAreListedOnceWhileItWaits) {
    server.listings[""] = ListLine('d', 4096, "pub") + ListLine('-', 1, "a.txt") + ListLine('-', 1, "../x");
    server.listings["pub"] = ListLine('-', 1, "inner.txt");
    Start(/*interactive=*/true);
    session->SetRemoteCompletion(true);
    session->OnWaitingForLine([] {});
    EXPECT_EQ(session->PromptText(), "tarsel:/> ") << "PWD after the login";
    Type("noop");
    EXPECT_THAT(session->RemoteNames(), ElementsAre("a.txt", "pub/")) << "the unsafe name is left out";
    Type("noop");
    EXPECT_THAT(LinesStartingWith("LIST"), ElementsAre("LIST")) << "listed once, not at every prompt";
    EXPECT_EQ(output.out.find("a.txt"), std::string::npos) << "the listing is not shown";
    server.replies["PWD"] = "257 \"/pub\" is the current directory";
    Type("cd pub");
    EXPECT_EQ(session->PromptText(), "tarsel:/pub> ");
    EXPECT_THAT(session->RemoteNames(), ElementsAre("inner.txt"));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, InteractiveQuitReturnsTheLastCommandsStatus) {
    server.replies["CWD"] = "550 No such directory";
    Start(/*interactive=*/true);
    Type("cd nowhere");
    Type("pwd");
    Type("quit");
    EXPECT_TRUE(session->Finished());
    EXPECT_EQ(session->ExitStatus(), 0) << "an early mistake does not fail the whole session";
}

TEST_F(TarselFtpSessionCommands, InterruptAbortsTheFileAndDropsTheRestOfItsCommand) {
    server.listings[""] = ListLine('-', 4096, "a") + ListLine('-', 1, "b") + ListLine('-', 1, "c");
    server.downloads = {{"a", std::string(4096, 'a')}, {"b", "b"}, {"c", "c"}};
    server.piece = 512;
    Start(/*interactive=*/true);
    bool interrupted = false;
    int pieces = 0;
    server.onData = [&](std::string_view) {
        // After the first piece of the file has been written.
        if (!interrupted && !LinesStartingWith("RETR").empty() && ++pieces == 2) {
            interrupted = true;
            session->Interrupt();
        }
    };
    Type("mget *");
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR a"));
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: local: get a: aborted"));
    EXPECT_FALSE(fs::exists(dir / "a")) << "an aborted download leaves no file under its name";
    EXPECT_EQ(ReadFile(dir / "a.part"), std::string(512, 'a')) << "what arrived is kept for get -c";
    EXPECT_THAT(output.err, HasSubstr("what arrived is kept in 'a.part'; get -c continues it"));
    EXPECT_TRUE(session->WaitingForLine());
}

TEST_F(TarselFtpSessionCommands, ProgressIsDrawnOnATerminalOnlyAndKnowsTheSizeFromTheOpeningReply) {
    server.downloads = {{"big", std::string(200000, 'x')}};
    server.piece = 50000;
    server.opening = "150 Opening BINARY mode data connection for big (200000 bytes).";
    output.errIsTerminal = true;
    Start(/*interactive=*/true);
    Type("get big");
    ASSERT_FALSE(output.meters.empty());
    EXPECT_THAT(output.meters.back(), HasSubstr("100%"));
    EXPECT_THAT(output.out, HasSubstr("226 Transfer complete: 200000 bytes in "));

    output.meters.clear();
    output.errIsTerminal = false;
    Type("get big");
    EXPECT_THAT(output.meters, IsEmpty());
}

TEST_F(TarselFtpSessionCommands, RegetAsksForTheRestAfterTheLocalFile) {
    server.downloads = {{"f", "0123456789"}};
    WriteFile(dir / "f", "01234");
    Start();
    Type("reget f");
    Type("get -c f fresh");
    EXPECT_THAT(LinesStartingWith("REST"), ElementsAre("REST 5"))
        << "a local file that is not there is fetched whole";
    EXPECT_EQ(ReadFile(dir / "fresh"), "0123456789");
}

TEST_F(TarselFtpSessionCommands, ResumeAsksTheSizeFirstAndNeverCallsALongerLocalFileComplete) {
    server.downloads = {{"longer", "0123456789"}, {"same", "0123456789"}, {"grown", "0123456789"}};
    server.replies["SIZE"] = "213 10";
    server.honourRest = true;
    WriteFile(dir / "longer", "0123456789AB");
    WriteFile(dir / "same", "0123456789");
    WriteFile(dir / "grown", "01234");
    Start();
    Type("reget longer");
    Type("get -c same");
    Type("reget grown");
    EXPECT_THAT(LinesStartingWith("SIZE"), ElementsAre("SIZE longer", "SIZE same", "SIZE grown"));
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR grown"))
        << "nothing is fetched for a local file as long as the remote one, or longer";
    EXPECT_THAT(LinesStartingWith("REST"), ElementsAre("REST 5"));
    EXPECT_EQ(ReadFile(dir / "longer"), "0123456789AB");
    EXPECT_EQ(output.err,
              "tarsel-ftp: local: get longer: cannot resume: 'longer' has 12 bytes, the file "
              "on the server only 10; the local file is left as it is\n");
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, ResumeWithoutSizeSaysSoAndFailsWhenNothingArrives) {
    server.downloads = {{"f", ""}, {"g", "rest"}};
    WriteFile(dir / "f", "abc");
    WriteFile(dir / "g", "abc");
    Start();  // the server answers SIZE with 502
    Type("reget f");
    EXPECT_THAT(output.err, HasSubstr("get f: the server did not tell the file's size (502 "));
    EXPECT_THAT(output.err, HasSubstr("nothing arrived after byte 3"));
    EXPECT_EQ(session->ExitStatus(), 1);
    output.err.clear();
    Type("reget g");
    EXPECT_EQ(ReadFile(dir / "g"), "abcrest") << "something left to fetch: resumed as before";
    EXPECT_EQ(output.err, "tarsel-ftp: get g: the server did not tell the file's size (502 "
                          "Command not implemented); resuming unchecked\n");
    EXPECT_THAT(LinesStartingWith("REST"), ElementsAre("REST 3", "REST 3"));
}

TEST_F(TarselFtpSessionCommands, AServerFileNamedDashIsWrittenToAFileNotToStandardOutput) {
    server.listings[""] = ListLine('-', 9, "-");
    server.downloads = {{"-", "from mget"}, {"sub/-", "from get"}, {"x", "asked for"}};
    Start();
    ::testing::internal::CaptureStdout();
    Type("mget *");
    EXPECT_EQ(ReadFile(dir / "-"), "from mget");
    Type("get sub/-");
    EXPECT_EQ(ReadFile(dir / "-"), "from get");
    Type("get x -");  // the user's own "-" still means standard output
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "asked for");
    Type("mput -");  // and a local file "-" found by a pattern is that file, not standard input
    EXPECT_EQ(server.files["-"], "from get");
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, ServerTextOnStandardErrorIsEscapedEvenWhenItIsNoTerminal) {
    server.replies["DELE"] = "550 \x1b]0;owned\x07gone\x1b[2J";
    server.listings[""] = "a\x1b[31mb\r\n";
    Start();
    Type("delete f");
    Type("ls");
    EXPECT_EQ(output.err, "tarsel-ftp: server 550: delete f: \\x1b]0;owned\\x07gone\\x1b[2J\n");
    EXPECT_EQ(output.out, "a\x1b[31mb\n") << "listing data on a pipe stays exact";
}

TEST_F(TarselFtpSessionCommands, Utf8CommandTextThatCannotBeSentExactlyIsRefused) {
    options.sysCode = "UTF8";
    WriteFile(dir / "x\xfe.txt", "1");
    WriteFile(dir / "x\xff.txt", "2");
    WriteFile(dir / "caf\xc3\xa9.txt", "3");
    Start();
    Type("mput x*.txt caf*");
    Type("mkdir new\xed\xa0\x80");  // an encoded surrogate is no UTF-8 either
    Type("mkdir new\xc3\xa9");
    EXPECT_THAT(LinesStartingWith("STOR"), ElementsAre("STOR caf\xc3\xa9.txt"))
        << "the two names must not both arrive as x\\uFFFD.txt";
    EXPECT_THAT(LinesStartingWith("MKD"), ElementsAre("MKD new\xc3\xa9"));
    EXPECT_THAT(output.err, HasSubstr("local: put x\\xfe.txt: Invalid Argument\n"));
    EXPECT_THAT(output.err, HasSubstr("local: put x\\xff.txt: Invalid Argument\n"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, AnAccountTheServerCodeCannotWriteIsAnErrorLineNotAnAbort) {
    const fs::path home = dir / "home";
    fs::create_directories(home);
    WriteFile(home / ".netrc", "machine ftp.example login u password p account \xf0\x9f\x98\x80\n");
    fs::permissions(home / ".netrc", fs::perms::owner_read | fs::perms::owner_write);
    const char* savedHome = std::getenv("HOME");
    const std::string previousHome = savedHome ? savedHome : "";
    ::setenv("HOME", home.c_str(), 1);
    options.passwordGiven = options.userGiven = false;
    session = std::make_unique<FtpSession>(io, control, options, output);
    EXPECT_FALSE(session->Start());
    EXPECT_THAT(output.err, HasSubstr("local: Connect: " + (home / ".netrc").string() +
                                      ": the account for ftp.example cannot be sent"));
    EXPECT_EQ(session->ExitStatus(), 1);
    EXPECT_TRUE(server.lines.empty()) << "nothing was sent";

    // The same account given as an option, and text that is no UTF-8 with a UTF-8 server.
    for (const std::string& account : {std::string("\xf0\x9f\x98\x80"), std::string("a\xff")}) {
        output.err.clear();
        options.account = account;
        options.sysCode = account == "a\xff" ? std::optional<std::string>("UTF8") : std::nullopt;
        session = std::make_unique<FtpSession>(io, control, options, output);
        EXPECT_FALSE(session->Start());
        EXPECT_THAT(output.err, HasSubstr("Invalid Argument")) << account;
    }
    if (savedHome) ::setenv("HOME", previousHome.c_str(), 1);
    else ::unsetenv("HOME");
}

TEST_F(TarselFtpSessionCommands, MirrorWritesThroughNoSymbolicLinkBelowItsTarget) {
    server.listings["/r"] = ListLine('d', 4096, "sub") + ListLine('-', 3, "top.txt") +
                            ListLine('-', 3, "link.txt");
    server.listings["/r/sub"] = ListLine('-', 3, "deep.txt");
    server.downloads = {{"/r/top.txt", "top"}, {"/r/link.txt", "lnk"}, {"/r/sub/deep.txt", "dep"}};
    fs::create_directories(dir / "elsewhere");
    WriteFile(dir / "outside.txt", "keep");
    fs::create_directories(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "m");  // the target itself: the user's choice
    fs::create_directory_symlink(dir / "elsewhere", dir / "real" / "sub");
    fs::create_symlink(dir / "outside.txt", dir / "real" / "link.txt");
    Start();
    Type("mirror /r m");
    EXPECT_EQ(ReadFile(dir / "real" / "top.txt"), "top");
    EXPECT_FALSE(fs::exists(dir / "elsewhere" / "deep.txt"));
    EXPECT_EQ(ReadFile(dir / "outside.txt"), "keep");
    EXPECT_TRUE(fs::is_symlink(dir / "real" / "link.txt"));
    EXPECT_THAT(output.err, HasSubstr("'m/sub' is a symbolic link; nothing is written through it"));
    EXPECT_THAT(output.err, HasSubstr("'m/link.txt' is a symbolic link"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

// put - reads standard input ahead by two bytes, so no block is ever the end signal.
TEST(TarselFtpUploadSource, StandardInputIsSentWholeALoneZeroByteIncluded) {
    const int saved = ::dup(STDIN_FILENO);
    auto feed = [](const std::string& content) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::write(fds[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fds[1]);
        ::dup2(fds[0], STDIN_FILENO);
        ::close(fds[0]);
    };
    for (const std::string& content : {std::string("ab"), std::string("a\0b", 3),
                                       std::string(10, '\0'), std::string(7, 'q'),
                                       std::string("x"), std::string()}) {
        feed(content);
        UploadSource source;
        ASSERT_EQ(source.OpenStandardInput(3), "") << content.size();
        std::string got;
        for (;;) {
            tarselctl::ByteArray block;
            ASSERT_EQ(source.Next(block), "");
            if (block.empty()) break;
            EXPECT_FALSE(block.size() == 1 && block[0] == 0 && content.size() > 1);
            EXPECT_FALSE(block.size() == 1 && content.size() > 1) << "a lone byte before the end";
            got.append(block.begin(), block.end());
        }
        EXPECT_EQ(got, content);
    }
    feed(std::string(1, '\0'));
    UploadSource zero;
    ASSERT_EQ(zero.OpenStandardInput(3), "");
    tarselctl::ByteArray block;
    ASSERT_EQ(zero.Next(block), "");
    EXPECT_EQ(block, tarselctl::ByteArray{0});
    EXPECT_TRUE(zero.AtEnd());
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
}

// ---- deletes: what rm -r removes is known by its parent's listing

TEST_F(TarselFtpSessionCommands, RmRecursiveDeletesALinkAsALinkWhetherNamedOrFoundInside) {
    // Servers resolve LIST of a path through a link: listing "lnk" or "top/lnk" would list
    // the victim's files, and deleting those empties the directory the link points to.
    const std::string link = "lrwxrwxrwx 1 ftp ftp 9 Jan 01 2020 ";
    server.replies["FEAT"] = "211-Features:\r\n MLST type*;size*;\r\n211 End";
    server.listings[""] = ListLine('d', 4096, "top") + link + "lnk -> victim\r\n";
    server.listings["top"] = ListLine('-', 1, "f.txt") + link + "inner -> ../victim\r\n";
    server.listings["lnk"] = server.listings["top/inner"] = ListLine('-', 1, "precious.txt");
    server.replies["DELE"] = "250 deleted";
    server.replies["RMD"] = "250 removed";
    Start();
    Type("rm -r top lnk/");
    std::vector<std::string> sent;
    for (const std::string& line : server.lines)
        for (const char* word : {"LIST", "MLSD", "DELE", "RMD"})
            if (line.rfind(word, 0) == 0) sent.push_back(line);
    EXPECT_THAT(sent, ElementsAre("LIST", "LIST top", "DELE top/f.txt", "DELE top/inner", "RMD top", "LIST",
                                  "DELE lnk"))
        << "LIST even where MLSD is offered: it tells a link from a directory";
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, DestructiveCommandsRefuseEmptyDotDotDotAndTheRoot) {
    options.keepGoing = true;
    Start();
    for (const char* line : {"rm -r \"\"", "rm -r .", "rm -r ..", "rm -r pub/..", "rm -r pub/../",
                             "rm -r ./", "rm -r /", "rm -r //", "delete .", "rm a ..", "rmdir pub/.."})
        Type(line);
    EXPECT_THAT(server.lines, Not(Contains(::testing::AnyOf(::testing::StartsWith("DELE"),
                                                            ::testing::StartsWith("RMD"),
                                                            ::testing::StartsWith("LIST")))));
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: local: rm: refusing to remove ''"));
    EXPECT_THAT(output.err, HasSubstr("refusing to remove 'pub/..'"));
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: local: rmdir: refusing to remove 'pub/..'"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, NothingIsDeletedThatTheListingParserCouldNotRead) {
    // A year of five digits is no date the parser takes: the line names a file all the same.
    server.listings["/r"] = "-rw-r--r-- 1 ftp ftp 4 Jan 01 99999 keep.txt\r\n" + ListLine('-', 1, "a") + "total 8\r\n";
    server.downloads = {{"/r/a", "a"}};
    fs::create_directories(dir / "out");
    WriteFile(dir / "out" / "keep.txt", "mine");
    WriteFile(dir / "out" / "a", "a");
    Start();
    Type("mirror --delete /r out");
    EXPECT_EQ(ReadFile(dir / "out" / "keep.txt"), "mine");
    EXPECT_THAT(output.err, HasSubstr("mirror /r: 1 line(s) of its listing could not be read; nothing in 'out' is deleted"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, MirrorUpWithDeleteRemovesRemoteDirectoriesTheSourceLacks) {
    fs::create_directories(dir / "up");
    WriteFile(dir / "up" / "a.txt", "1");
    server.listings["/u"] = ListLine('-', 1, "a.txt") + ListLine('d', 4096, "old") +
                            "lrwxrwxrwx 1 ftp ftp 9 Jan 01 2020 lnk -> /elsewhere\r\n";
    server.listings["/u/old"] = ListLine('-', 1, "x");
    server.replies["DELE"] = "250 deleted";
    server.replies["RMD"] = "250 removed";
    server.replies["MKD"] = "550 exists";
    Start();
    Type("mirror -R --delete up /u");
    std::vector<std::string> changes;
    for (const std::string& line : server.lines)
        if (line.rfind("DELE", 0) == 0 || line.rfind("RMD", 0) == 0 || line.rfind("STOR", 0) == 0)
            changes.push_back(line);
    EXPECT_THAT(changes, ElementsAre("DELE /u/lnk", "DELE /u/old/x", "RMD /u/old"));
    EXPECT_THAT(LinesStartingWith("LIST"), Not(Contains("LIST /u/lnk")));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, MkdirMakesEachDirectoryAndDashPTakesOnesThatExist) {
    server.replies["FEAT"] = "211-Features:\r\n MLST type*;size*;\r\n211 End";
    server.replies["MKD"] = "550 Create directory operation failed.";
    server.listings[""] = "type=dir; there\r\ntype=file;size=1; plain\r\n";
    server.listings["/"] = "type=dir; pub\r\n";
    Start();
    Type("mkdir -p //");
    Type("mkdir -p there/ /pub//");
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
    EXPECT_THAT(LinesStartingWith("MKD"), ElementsAre("MKD there", "MKD /pub"));
    Type("mkdir -p plain");
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: server 550: mkdir plain: Create directory operation failed."));
    server.replies["MKD"] = "257 made";
    Type("mkdir a b");
    EXPECT_THAT(LinesStartingWith("MKD"), ElementsAre("MKD there", "MKD /pub", "MKD plain", "MKD a", "MKD b"));
}

// ---- walks

TEST_F(TarselFtpSessionCommands, DuCountsATrailingSlashTreeOnceAndItsTotalsDoNotWrap) {
    server.listings["/m"] = ListLine('-', 20, "a") + ListLine('d', 4096, "d");
    server.listings["/m/d"] = ListLine('-', 6, "b");
    const std::string most = "-rw-r--r-- 1 ftp ftp 18446744073709551615 Jan 01 2020 ";
    server.listings["/big"] = most + "x\r\n" + most + "y\r\n";
    Start();
    Type("du -s -h /m/");
    Type("du /m/");
    Type("du -s /big");
    EXPECT_EQ(output.out, "26\t/m\n"
                          "1\t/m/d\n1\t/m\n"
                          "36028797018963968\t/big\n");
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpSessionCommands, FindAndDuEndOnAServerWhoseEveryDirectoryListsADirectory) {
    server.listing = "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 d\r\n";
    // The same directory under two names, as its MLSD-style unique fact says.
    server.listings["u"] = "type=dir;unique=7; a\r\ntype=dir;unique=7; b\r\n";
    server.listings["u/a"] = server.listings["u/b"] = "type=file;size=1; f\r\n";
    Start();
    Type("find d");
    EXPECT_EQ(LinesStartingWith("LIST").size(), 65u) << "the start and 64 levels below it";
    EXPECT_THAT(output.err, HasSubstr("more than 64 levels deep; not walked"));
    Type("du u");
    EXPECT_THAT(LinesStartingWith("LIST u/"), ElementsAre("LIST u/a"));
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: du: 'u/b' was walked already; not again"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

// ---- credentials

TEST_F(TarselFtpSessionCommands, OpenOfAnotherHostNeverSendsThePreviousPassword) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    ::setenv("HOME", dir.c_str(), 1);  // no ~/.netrc
    Start(/*interactive=*/true);
    Type("close");
    Type("open ftp.example");
    Type("close");
    Type("open other.example");
    ::setenv("HOME", savedHome.c_str(), 1);
    EXPECT_THAT(LinesStartingWith("USER"), ElementsAre("USER u", "USER u", "USER anonymous"));
    EXPECT_THAT(LinesStartingWith("PASS"), ElementsAre("PASS p", "PASS p", "PASS tarsel@"));
}

// ---- local files and a script's mirror

TEST_F(TarselFtpSessionCommands, AScriptsMirrorTriesEveryFileAndFailsAtTheEnd) {
    options.keepGoing = false;
    server.listings["/r"] = ListLine('-', 1, "a") + ListLine('-', 1, "b") + ListLine('-', 1, "c");
    server.downloads = {{"/r/a", "a"}, {"/r/c", "c"}};
    Start();
    Type("mirror /r out");
    Type("size after");
    EXPECT_EQ(ReadFile(dir / "out" / "a"), "a");
    EXPECT_EQ(ReadFile(dir / "out" / "c"), "c");
    EXPECT_THAT(LinesStartingWith("CWD"), Contains("CWD /")) << "back where it started";
    EXPECT_THAT(server.lines, Not(Contains("SIZE after"))) << "the script stops after the mirror";
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSessionCommands, APartWithAnotherNameIsNotWrittenInto) {
    WriteFile(dir / "other", "keep");
    fs::create_hard_link(dir / "other", dir / "f.part");
    server.downloads = {{"f", "0123456789"}};
    Start();
    Type("get -c f");
    EXPECT_EQ(ReadFile(dir / "other"), "keep");
    EXPECT_THAT(output.err, HasSubstr("'f.part' has other names (a hard link); it is not written into"));
    EXPECT_THAT(LinesStartingWith("RETR"), IsEmpty());
}

TEST_F(TarselFtpSessionCommands, AScriptTellsAKeptPartOnce) {
    options.keepGoing = false;
    server.downloads = {{"g", std::string(4096, 'g')}};
    server.piece = 512;
    Start();
    server.onData = [&, pieces = 0](std::string_view) mutable {
        if (++pieces == 2) session->Interrupt();
    };
    Type("get g");
    const std::string told = "what arrived is kept in 'g.part'";
    ASSERT_THAT(output.err, HasSubstr(told));
    EXPECT_EQ(output.err.find(told), output.err.rfind(told)) << output.err;
}

// ---- reconnect

TEST_F(TarselFtpSessionCommands, AMirrorThatLosesTheConnectionOpensItAgainAndGoesOnWhereItWas) {
    options.keepGoing = false;
    options.reconnectInterval = 0;
    server.listings["/r"] = ListLine('-', 1, "a") + ListLine('-', 1, "b") + ListLine('-', 1, "c");
    server.downloads = {{"/r/a", "a"}, {"/r/b", "b"}, {"/r/c", "c"}};
    Start();
    Type("cd /r");
    bool cut = false;
    server.onData = [&](std::string_view) {
        if (!cut && LinesStartingWith("RETR") == std::vector<std::string>{"RETR /r/a", "RETR /r/b"}) {
            cut = true;
            platform.posted.push_back([&] { platform.soquets.at(0)->Close(); });
        }
    };
    Type("mirror /r out");
    EXPECT_TRUE(cut);
    EXPECT_EQ(ReadFile(dir / "out" / "b"), "b");
    EXPECT_EQ(ReadFile(dir / "out" / "c"), "c");
    EXPECT_THAT(LinesStartingWith("USER"), ElementsAre("USER u", "USER u")) << "the same login";
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR /r/a", "RETR /r/b", "RETR /r/b", "RETR /r/c"));
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: connection: the server closed the connection; connecting again in 0 s (1 of 3)"));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
    // A single get is not a many-file command: its lost connection ends the script as before.
    server.onData = [&](std::string_view) { platform.posted.push_back([&] { platform.soquets.at(0)->Close(); }); };
    Type("get /r/a again");
    EXPECT_TRUE(session->Finished());
    EXPECT_EQ(session->ExitStatus(), 1);
}

}  // namespace
}  // namespace tarselftp
