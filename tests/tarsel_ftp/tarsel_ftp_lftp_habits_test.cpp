// lftp's spellings where tarsel-ftp has the command, and patterns expanded by the client from
// the server's listing: parsed here, and run against the scripted server, with the exact
// lines the server received.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "command_line.h"
#include "listing_view.h"
#include "session_fixture.h"

namespace tarselftp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace testing_session;

Command Parsed(std::string_view line) {
    ParsedLine parsed = ParseCommand(line);
    if (const auto* error = std::get_if<CommandError>(&parsed)) ADD_FAILURE() << line << ": " << error->message;
    const auto* command = std::get_if<Command>(&parsed);
    return command ? *command : Command{Verb::Noop};
}

std::string Refused(std::string_view line) {
    ParsedLine parsed = ParseCommand(line);
    const auto* error = std::get_if<CommandError>(&parsed);
    if (!error) ADD_FAILURE() << line << " was accepted";
    return error ? error->message : "";
}

TEST(TarselFtpLftpFlags, FlagsAreReadAsLftpReadsThemAndQuotedWordsStayNames) {
    Command mget = Parsed("mget -c -O out -P 2 *.iso");
    EXPECT_TRUE(mget.resume);
    EXPECT_EQ(mget.intoDirectory, "out");
    EXPECT_EQ(mget.parallel, 2);
    EXPECT_THAT(mget.args, ElementsAre("*.iso"));
    Command rm = Parsed("rm -f a b");
    EXPECT_TRUE(rm.force);
    EXPECT_FALSE(rm.recursive);
    EXPECT_THAT(rm.args, ElementsAre("a", "b"));
    Command rf = Parsed("rm -rf tree");
    EXPECT_TRUE(rf.force && rf.recursive);
    // A quoted "-f" is a file of that name; "--" ends the flags.
    EXPECT_THAT(Parsed("rm \"-f\"").args, ElementsAre("-f"));
    EXPECT_FALSE(Parsed("rm \"-f\"").force);
    EXPECT_THAT(Parsed("rm -- -f").args, ElementsAre("-f"));
    EXPECT_THAT(Refused("rm -x a"), HasSubstr("unknown option '-x'"));
    EXPECT_THAT(Refused("get -z a"), HasSubstr("unknown option '-z'"));

    Command dir = Parsed("dir -la pub");
    EXPECT_EQ(dir.listOptions, "-la");
    EXPECT_THAT(dir.args, ElementsAre("pub"));
    EXPECT_EQ(Parsed("ls -l -a").listOptions, "-l -a");
    EXPECT_THAT(Parsed("ls -l -a").args, IsEmpty());

    Command cls = Parsed("cls -lhF --sort=size -r pub");
    EXPECT_TRUE(cls.longForm && cls.human && cls.classify && cls.reversed);
    EXPECT_FALSE(cls.allNames);
    EXPECT_EQ(cls.sortBy, "size");
    EXPECT_EQ(Parsed("cls --sort date").sortBy, "date");
    EXPECT_THAT(Refused("cls --sort=colour"), HasSubstr("--sort takes"));
}

TEST(TarselFtpLftpFlags, DownloadsAndUploadsGoIntoADirectory) {
    EXPECT_THAT(Parsed("get pub/a.txt out/").args, ElementsAre("pub/a.txt", "out/a.txt"));
    EXPECT_THAT(Parsed("get -O out pub/a.txt").args, ElementsAre("pub/a.txt", "out/a.txt"));
    EXPECT_THAT(Parsed("get -o mine.txt pub/a.txt").args, ElementsAre("pub/a.txt", "mine.txt"));
    EXPECT_THAT(Parsed("get pub/a.txt -").args, ElementsAre("pub/a.txt", "-")) << "standard output stays";
    EXPECT_THAT(Parsed("put src/a.txt up/").args, ElementsAre("src/a.txt", "up/a.txt"));
    EXPECT_THAT(Parsed("put -O /up src/a.txt").args, ElementsAre("src/a.txt", "/up/a.txt"));
    // A pattern as get's name fetches as mget does; its LOCAL is the directory.
    Command get = Parsed("get -c pub/*.txt out");
    EXPECT_EQ(get.verb, Verb::Mget);
    EXPECT_TRUE(get.resume);
    EXPECT_EQ(get.intoDirectory, "out");
    EXPECT_EQ(Parsed("get \"a*b\"").verb, Verb::Get) << "quoted: one file of that name";
    EXPECT_THAT(Refused("get -o one *.txt"), HasSubstr("pattern"));
}

TEST(TarselFtpLftpFlags, NewCommandsComeFromTheTableAndHelpNamesThem) {
    EXPECT_EQ(Parsed("mv a b").verb, Verb::Rename);
    EXPECT_EQ(Parsed("mrm *.o").verb, Verb::Rm);
    EXPECT_THAT(Parsed("ascii").args, ElementsAre("A"));
    EXPECT_THAT(Parsed("binary").args, ElementsAre("I"));
    EXPECT_EQ(Parsed("type").verb, Verb::Type);
    Command lls = Parsed("lls -l \"it's here\"");
    EXPECT_EQ(lls.verb, Verb::Shell);
    EXPECT_THAT(lls.args, ElementsAre("ls '-l' 'it'\\''s here'"));
    Command glob = Parsed("glob delete *.tmp");
    EXPECT_EQ(glob.verb, Verb::Delete);
    EXPECT_TRUE(glob.globAll);
    EXPECT_THAT(Refused("glob"), HasSubstr("usage"));
    for (const char* name : {"cls", "mv", "mrm", "ascii", "binary", "type", "lls", "glob"}) {
        EXPECT_THAT(HelpText(name), HasSubstr("usage: ")) << name;
        EXPECT_THAT(HelpText(), HasSubstr(std::string("  ") + name)) << name;
    }
    EXPECT_THAT(HelpText("!"), HasSubstr("usage: ![COMMAND]"));
}

TEST(TarselFtpLftpOptions, UserPortAndFirstCommandsAsLftpSpellsThem) {
    ParsedOptions p = ParseOptions({"-u", "alice,se,cret", "-p", "2121", "-e", "cd pub; ls", "host"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.user, "alice");
    EXPECT_EQ(p.options.password, "se,cret") << "only the first comma splits";
    EXPECT_TRUE(p.options.userGiven && p.options.passwordGiven);
    EXPECT_EQ(p.options.port, "2121");
    EXPECT_EQ(p.options.firstCommands, "cd pub; ls");
    EXPECT_FALSE(p.options.script) << "-e is no script: the prompt or standard input follows";
    p = ParseOptions({"-u", "bob", "host"});
    EXPECT_TRUE(p.options.userGiven);
    EXPECT_FALSE(p.options.passwordGiven) << "asked for on a terminal";
    EXPECT_THAT(ParseOptions({"-u", "bob", "host", "carol"}).error, HasSubstr("give one"));
    EXPECT_THAT(ParseOptions({"-u", "bob", "ftp://carol@host/"}).error, HasSubstr("give one"));
    EXPECT_THAT(ParseOptions({"-p", "0", "host"}).error, HasSubstr("1 to 65535"));
    EXPECT_TRUE(ParseOptions({"--norc", "host"}).options.noStartupFile);
}

TEST(TarselFtpPatterns, MatchSkipsNamesThatCannotComeBackAsOnePathComponent) {
    std::vector<RemoteEntry> entries;
    for (const char* name : {"b.txt", ".h.txt", "a.txt", "../up.txt", "c.bin", "x\ny.txt"}) {
        RemoteEntry e;
        e.name = name;
        entries.push_back(e);
    }
    EXPECT_THAT(MatchRemoteNames(entries, "pub", "*.txt"), ElementsAre("pub/a.txt", "pub/b.txt"));
    EXPECT_THAT(MatchRemoteNames(entries, "", "[ca].*"), ElementsAre("a.txt", "c.bin"));
    EXPECT_THAT(MatchRemoteNames(entries, "", ".*"), ElementsAre(".h.txt"));
    EXPECT_THAT(MatchRemoteNames(entries, "", "?.bin"), ElementsAre("c.bin"));
}

TEST(TarselFtpPatterns, ClsSortsFiltersAndFormats) {
    const auto entry = [](const char* name, RemoteType type, std::uint64_t size, std::int64_t when) {
        RemoteEntry e;
        e.name = name;
        e.type = type;
        e.size = size;
        e.modified = when;
        e.mode = 0644;
        return e;
    };
    const std::vector<RemoteEntry> entries = {entry("b", RemoteType::File, 10, 200), entry(".dot", RemoteType::File, 1, 0),
                                              entry("a", RemoteType::Directory, 4096, 100),
                                              entry("c", RemoteType::File, 2048, 300)};
    Command cls = Parsed("cls");
    EXPECT_EQ(FormatCls(entries, "", "", cls), "a\nb\nc\n");
    cls = Parsed("cls -a -F");
    EXPECT_EQ(FormatCls(entries, "", "pub/", cls), "pub/.dot\npub/a/\npub/b\npub/c\n");
    cls = Parsed("cls --sort=size");
    EXPECT_EQ(FormatCls(entries, "", "", cls), "a\nc\nb\n");
    cls = Parsed("cls --sort=date -r");
    EXPECT_EQ(FormatCls(entries, "", "", cls), "a\nb\nc\n");
    cls = Parsed("cls -lh");
    EXPECT_EQ(FormatCls(entries, "c*", "", cls), "-rw-r--r--         2.0K 1970-01-01 00:05 c\n");
}

using TarselFtpClientPatterns = TarselFtpSessionCommands;

TEST_F(TarselFtpClientPatterns, PatternsAreExpandedHereForEveryCommandThatTakesRemoteNames) {
    server.listings[""] = ListLine('-', 1, "a.txt") + ListLine('-', 1, "b.txt") + ListLine('-', 1, "c.sh") +
                          ListLine('d', 0, "d1") + ListLine('-', 1, "../x.txt");
    server.listings["pub"] = ListLine('-', 1, "p.sh");
    server.listings["a.txt"] = ListLine('-', 1, "a.txt");
    server.listings["b.txt"] = ListLine('-', 1, "b.txt");
    server.listings["-l a.txt"] = ListLine('-', 1, "a.txt");
    server.replies["DELE"] = "250 Deleted";
    server.replies["SITE"] = "200 Done";
    server.downloads = {{"a.txt", "A"}, {"b.txt", "B"}};
    Start();
    Type("rm *.txt");
    Type("chmod 644 *.sh pub/*.sh");
    Type("cat ?.txt");
    Type("dir -l a*");
    Type("ls *.txt");
    EXPECT_THAT(LinesStartingWith("DELE"), ElementsAre("DELE a.txt", "DELE b.txt"))
        << "the name with a '/' from the listing is no match";
    EXPECT_THAT(LinesStartingWith("SITE"), ElementsAre("SITE CHMOD 644 c.sh", "SITE CHMOD 644 pub/p.sh"));
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR a.txt", "RETR b.txt"));
    EXPECT_THAT(LinesStartingWith("NLST"), ElementsAre("NLST a.txt", "NLST b.txt"));
    EXPECT_THAT(LinesStartingWith("LIST"),
                ElementsAre("LIST", "LIST", "LIST pub", "LIST", "LIST", "LIST -l a.txt", "LIST"));
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(session->ExitStatus(), 0);
}

TEST_F(TarselFtpClientPatterns, NoMatchIsAnErrorQuotingTurnsExpansionOffAndRmFIsQuiet) {
    server.listings[""] = ListLine('-', 1, "a.txt");
    server.replies["DELE"] = "550 No such file";
    Start();
    Type("rm *.zip");
    Type("rm -f *.zip gone");
    Type("rm \"*.txt\"");
    Type("dir *.zip");
    Type("glob rmdir nothing*");
    Type("rm -rf gone-tree");
    EXPECT_THAT(LinesStartingWith("DELE"), ElementsAre("DELE gone", "DELE *.txt"))
        << "rm -f tries the names it has; a quoted pattern goes as written";
    EXPECT_EQ(output.err, "tarsel-ftp: local: rm: no remote file matches '*.zip'\n"
                          "tarsel-ftp: server 550: delete *.txt: No such file\n"
                          "tarsel-ftp: local: dir: no remote file matches '*.zip'\n"
                          "tarsel-ftp: local: rmdir: no remote file matches 'nothing*'\n");
    EXPECT_THAT(LinesStartingWith("RMD"), IsEmpty());
}

TEST_F(TarselFtpClientPatterns, AScriptStopsAtAPatternThatMatchesNothing) {
    server.listings[""] = ListLine('-', 1, "a.txt");
    options.keepGoing = false;
    Start();
    Type("rm *.zip");
    Type("pwd");
    EXPECT_THAT(LinesStartingWith("PWD"), IsEmpty());
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpClientPatterns, GetMgetAndClsWorkFromTheListing) {
    server.listings[""] = ListLine('-', 1, "a.txt") + ListLine('-', 3, "b.txt") + ListLine('d', 0, "sub");
    server.downloads = {{"a.txt", "A"}, {"b.txt", "BBB"}};
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "here");
    WriteFile(dir / "out" / "b.txt", "B");
    server.honourRest = true;
    server.answerSize = true;
    Start();
    Type("get a.txt here");
    Type("mget -c -O out *.txt");
    Type("cls -F");
    Type("cls --sort=size *.txt");
    EXPECT_EQ(ReadFile(dir / "here" / "a.txt"), "A") << "get FILE DIR writes into DIR";
    EXPECT_EQ(ReadFile(dir / "out" / "a.txt"), "A");
    EXPECT_EQ(ReadFile(dir / "out" / "b.txt"), "BBB");
    EXPECT_THAT(LinesStartingWith("REST"), ElementsAre("REST 1")) << "mget -c resumes what is there";
    EXPECT_EQ(output.out, "a.txt\nb.txt\nsub/\nb.txt\na.txt\n");
    EXPECT_EQ(output.err, "");
}

TEST_F(TarselFtpClientPatterns, TypeSetsTheTransferTypeForTheNextTransfer) {
    server.downloads = {{"a.txt", "A"}};
    Start();
    Type("ascii");
    Type("type");
    Type("get a.txt");
    Type("binary");
    Type("type");
    Type("get a.txt b.txt");
    Type("type ebcdic");
    EXPECT_THAT(LinesStartingWith("TYPE"), ElementsAre("TYPE A", "TYPE I"));
    EXPECT_EQ(output.out, "ascii\nbinary\n");
    EXPECT_EQ(output.err, "tarsel-ftp: local: type: takes ascii or binary, not 'ebcdic'\n");
}

TEST_F(TarselFtpClientPatterns, MirrorLeavesOutWhatTheFiltersExcludeAndEndsWithASummary) {
    server.listings["/r"] = ListLine('-', 1, "a.c") + ListLine('-', 1, "a.o") + ListLine('d', 0, "build") +
                            ListLine('-', 1, "keep.o");
    server.listings["/r/build"] = ListLine('-', 1, "out.bin");
    server.downloads = {{"/r/a.c", "c"}, {"/r/a.o", "o"}, {"/r/keep.o", "k"}, {"/r/build/out.bin", "b"}};
    fs::create_directories(dir / "out");
    WriteFile(dir / "out" / "old.o", "stale");
    Start();
    Type("mirror --delete -X *.o --include-glob keep.o --exclude=^build/ /r out");
    EXPECT_THAT(LinesStartingWith("RETR"), ElementsAre("RETR /r/a.c", "RETR /r/keep.o"));
    EXPECT_THAT(LinesStartingWith("CWD"), ElementsAre("CWD /r", "CWD /")) << "an excluded directory is not walked";
    EXPECT_TRUE(fs::exists(dir / "out" / "old.o")) << "what is left out is not deleted either";
    EXPECT_THAT(output.out, ::testing::MatchesRegex("mirror: 2 new, 0 updated, 0 removed, 0 failed; 2 bytes in [0-9.]+ s.*\n"));
    EXPECT_THAT(Refused("mirror -x \"(\" a"), HasSubstr("no regular expression"));
    EXPECT_THAT(Refused("mirror --exclude"), HasSubstr("needs a pattern"));
}

TEST_F(TarselFtpClientPatterns, MirrorUpFiltersByThePathBelowTheTop) {
    fs::create_directories(dir / "up" / "d");
    fs::create_directories(dir / "up" / "skip");
    WriteFile(dir / "up" / "a.txt", "1");
    WriteFile(dir / "up" / "a.bak", "2");
    WriteFile(dir / "up" / "d" / "b.txt", "bee");
    WriteFile(dir / "up" / "d" / "c.bak", "see");
    WriteFile(dir / "up" / "skip" / "x.txt", "x");
    server.listings["/u"] = ListLine('-', 5, "old.bak");
    server.replies["MKD"] = "257 created";
    server.replies["DELE"] = "250 deleted";
    Start();
    Type("mirror -R --delete -X *.bak -x ^skip/ up /u");
    EXPECT_THAT(LinesStartingWith("STOR"), ElementsAre("STOR /u/a.txt", "STOR /u/d/b.txt"));
    EXPECT_THAT(LinesStartingWith("DELE"), IsEmpty()) << "an excluded remote file is not deleted";
    EXPECT_THAT(LinesStartingWith("MKD"), ElementsAre("MKD /u", "MKD /u/d"));
    EXPECT_THAT(output.out, ::testing::MatchesRegex("mirror: 2 new, 0 updated, 0 removed, 0 failed; 4 bytes in .*\n"));
}

TEST_F(TarselFtpClientPatterns, TheMeterAsksTheSizeTheOpeningReplyDoesNotTell) {
    server.downloads = {{"big", std::string(4000, 'x')}};
    server.answerSize = true;
    output.errIsTerminal = true;
    Start();
    Type("get big");
    EXPECT_THAT(LinesStartingWith("SIZE"), ElementsAre("SIZE big"));
    ASSERT_FALSE(output.meters.empty());
    EXPECT_THAT(output.meters.back(), HasSubstr("100%"));
    EXPECT_EQ(ReadFile(dir / "big"), std::string(4000, 'x'));
    // Without a meter, or with the size known from the listing, no SIZE is asked.
    output.errIsTerminal = false;
    Type("get big big2");
    EXPECT_THAT(LinesStartingWith("SIZE"), ElementsAre("SIZE big"));
    // A refused SIZE only leaves the percent out.
    output.errIsTerminal = true;
    server.answerSize = false;
    Type("get big big3");
    EXPECT_EQ(ReadFile(dir / "big3"), std::string(4000, 'x'));
    EXPECT_EQ(output.err, "");
}

TEST_F(TarselFtpClientPatterns, TabAfterASlashListsThatDirectoryOnceWhileThePromptWaits) {
    server.replies["PWD"] = "257 \"/\" is the current directory";
    server.listings["pub"] = ListLine('d', 0, "sub") + ListLine('-', 1, "a.txt");
    Start(/*interactive=*/true);
    session->SetRemoteCompletion(true);
    session->OnWaitingForLine([] {});
    EXPECT_THAT(session->RemoteNames("pub"), IsEmpty()) << "not known yet: listed now";
    Run();
    EXPECT_THAT(session->RemoteNames("pub"), ElementsAre("a.txt", "sub/"));
    EXPECT_THAT(CompleteRemoteName(session->RemoteNames("pub"), "pub/s"), ElementsAre("pub/sub/"));
    EXPECT_THAT(LinesStartingWith("LIST pub"), ElementsAre("LIST pub")) << "listed once";
}

TEST_F(TarselFtpClientPatterns, SetAliasAndBookmarkChangeTheSessionAndKeepServersByName) {
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const std::string savedData = oldData ? oldData : "";
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    server.listings[""] = ListLine('-', 1, "a.txt");
    server.replies["PWD"] = "257 \"/pub\" is the current directory";
    Start();
    Type("set passive off");
    Type("set net:timeout 7");
    Type("set parallel 3");
    Type("set reply-timeout");
    Type("set tls sideways");
    Type("set colour blue");
    Type("alias ll \"cls -l\"");
    Type("alias ll2 ll");
    Type("alias");
    Type("ll");
    Type("ll2");
    Type("bookmark add home ftp://alice@ftp.example/pub/");
    Type("bookmark add bad nothttp");
    Type("bookmark");
    Type("bookmark del home");
    Type("bookmark");
    EXPECT_EQ(control.get_Passive(), tarselctl::False);
    EXPECT_EQ(control.get_ReplyTimeout(), 7);
    EXPECT_EQ(output.out, "reply-timeout 7\n"
                          "alias ll cls -l\nalias ll2 ll\n"
                          "-rw-r--r--            1 2020-01-01       a.txt\n"
                          "home\tftp://alice@ftp.example/pub/\n");
    EXPECT_EQ(output.err, "tarsel-ftp: local: set tls: takes auto, explicit, implicit or off, not 'sideways'\n"
                          "tarsel-ftp: local: set: no setting 'colour' (set lists them)\n"
                          "tarsel-ftp: local: ll: unknown command (help lists them)\n"
                          "tarsel-ftp: local: bookmark: 'nothttp' is no ftp:// URL\n")
        << "an alias is replaced once, not again inside itself";
    const auto mode = fs::status(dir / "data" / "tarsel-ftp" / "bookmarks").permissions();
    EXPECT_EQ(mode & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    if (oldData) ::setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace tarselftp
