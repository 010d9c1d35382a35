// tarsel-ftp's option parser, command language and upload block plan.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "command_line.h"
#include "upload_block_plan.h"

namespace tarselftp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

ParsedOptions Parse(std::vector<std::string> args) { return ParseOptions(args); }

TEST(TarselFtpOptions, LogsInAnonymouslyUnlessAUserIsGiven) {
    ParsedOptions p = Parse({"ftp.example"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.host, "ftp.example");
    EXPECT_EQ(p.options.user, "anonymous");
    EXPECT_EQ(p.options.password, "tarsel@");

    p = Parse({"ftp.example", "alice", "secret"});
    EXPECT_EQ(p.options.user, "alice");
    EXPECT_EQ(p.options.password, "secret");

    // A named user never gets the anonymous password.
    p = Parse({"ftp.example", "alice"});
    EXPECT_EQ(p.options.user, "alice");
    EXPECT_EQ(p.options.password, "");
}

TEST(TarselFtpOptions, EveryOptionReachesItsSetting) {
    ParsedOptions p = Parse({"--port", "2121", "--passive", "--type", "a", "--filecode=euc",
                             "--syscode", "sjis", "--account", "acct 1", "--precommand", "SITE A",
                             "--precommand=SITE B", "--connect-timeout", "5", "--trans-timeout=0",
                             "--noop", "30", "--reply-timeout", "7", "--trace", "--chunk", "128K",
                             "--keep-going", "-c", "pwd; quit", "host"});
    ASSERT_EQ(p.error, "");
    const Options& o = p.options;
    EXPECT_EQ(o.port, "2121");
    EXPECT_EQ(o.passive, true);
    EXPECT_EQ(o.type, "A");
    EXPECT_EQ(o.fileCode, "EUC");
    EXPECT_EQ(o.sysCode, "SJIS");
    EXPECT_EQ(o.account, "acct 1");
    EXPECT_THAT(o.preCommands, ElementsAre("SITE A", "SITE B"));
    EXPECT_EQ(JoinPreCommands(o.preCommands), "SITE A\r\nSITE B");
    EXPECT_EQ(o.connectTimeout, 5);
    EXPECT_EQ(o.transTimeout, 0);
    EXPECT_EQ(o.noopTime, 30);
    EXPECT_EQ(o.replyTimeout, 7);
    EXPECT_TRUE(o.trace);
    EXPECT_EQ(o.chunk, 128u * 1024u);
    EXPECT_TRUE(o.keepGoing);
    EXPECT_EQ(o.script, "pwd; quit");
    EXPECT_EQ(o.host, "host");
}

TEST(TarselFtpOptions, TlsAndUtf8OptionsTakeCurlsNamesAndBracketedHostsPassThrough) {
    ParsedOptions p = Parse({"--tls", "Explicit", "--cacert", "ca.pem", "--insecure", "--syscode",
                             "utf-8", "--filecode=UTF8", "--hostcode", "utf8", "[::1]"});
    ASSERT_EQ(p.error, "");
    const Options& o = p.options;
    EXPECT_EQ(o.tls, "explicit");
    EXPECT_EQ(o.caFile, "ca.pem");
    EXPECT_TRUE(o.insecure);
    EXPECT_EQ(o.sysCode, "UTF8");
    EXPECT_EQ(o.fileCode, "UTF8");
    EXPECT_EQ(o.hostCode, "UTF8");
    EXPECT_EQ(o.host, "[::1]");
    EXPECT_EQ(Parse({"--tls=implicit", "::1"}).options.tls, "implicit");
    // A port after the host, IPv6 in brackets or a name; a bare IPv6 address has none.
    EXPECT_EQ(Parse({"[::1]:21216"}).options.host, "::1");
    EXPECT_EQ(Parse({"[::1]:21216"}).options.port, "21216");
    EXPECT_EQ(Parse({"ftp.example:2121"}).options.port, "2121");
    EXPECT_EQ(Parse({"fe80::1"}).options.host, "fe80::1");
    EXPECT_EQ(Parse({"fe80::1"}).options.port, std::nullopt);
    EXPECT_NE(Parse({"[::1]:0"}).error, "");
    EXPECT_NE(Parse({"[::1]x"}).error, "");
    EXPECT_NE(Parse({"--port", "21", "[::1]:2121"}).error, "");
    // ftps:// is implicit TLS on 990 unless the URL says otherwise.
    const Options secure = Parse({"ftps://127.0.0.1/pub/hello.txt"}).options;
    EXPECT_EQ(secure.tls, "implicit");
    EXPECT_EQ(secure.port, "990");
    EXPECT_EQ(secure.host, "127.0.0.1");
    EXPECT_EQ(Parse({"FTPS://[::1]:21217/"}).options.port, "21217");
    EXPECT_NE(Parse({"--tls", "explicit", "ftps://h/"}).error, "");
    EXPECT_EQ(Parse({"ftp://[::1]:21216/"}).options.port, "21216");
    EXPECT_TRUE(Parse({"--version"}).options.version);
}

TEST(TarselFtpOptions, UnsetOptionsLeaveTheControlsStartValues) {
    ParsedOptions p = Parse({"host"});
    ASSERT_EQ(p.error, "");
    const Options& o = p.options;
    EXPECT_FALSE(o.port || o.passive || o.type || o.fileCode || o.sysCode || o.account ||
                 o.connectTimeout || o.transTimeout || o.noopTime || o.script);
    EXPECT_EQ(o.chunk, kDefaultChunk);
    EXPECT_FALSE(o.trace || o.keepGoing);
    // The program does not wait for ever on a silent server unless told to.
    EXPECT_EQ(o.replyTimeout, 60);
    EXPECT_EQ(Parse({"--reply-timeout=0", "host"}).options.replyTimeout, 0);
}

TEST(TarselFtpOptions, LaterModeOptionWinsAndTypeNoneMeansNoTypeCommand) {
    ParsedOptions p = Parse({"--passive", "--active", "--type", "NONE", "h"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.passive, false);
    EXPECT_EQ(p.options.type, "");
}

TEST(TarselFtpOptions, RejectsValuesTheControlWouldMisread) {
    // The control looks at the first letter only; the program accepts the listed names only.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", "0", "h"},          {"--port", "65536", "h"},
             {"--port", "21x", "h"},        {"--type", "E", "h"},
             {"--type", "ASCII", "h"},      {"--filecode", "UTF16", "h"},
             {"--tls", "ssl", "h"},         {"--tls", "", "h"},
             {"--hostcode", "EUC", "h"},    {"--insecure=1", "h"},
             {"--cacert", "", "h"},
             {"--filecode", "E", "h"},      {"--syscode", "JIS", "h"},
             {"--chunk", "1", "h"},         {"--chunk", "0", "h"},
             {"--chunk", "65M", "h"},       {"--chunk", "K", "h"},
             {"--noop", "-1", "h"},         {"--trans-timeout", "1.5", "h"},
             {"--reply-timeout", "-5", "h"}, {"--reply-timeout", "", "h"},
             {"--precommand", "A\r\nB", "h"}, {"--trace=yes", "h"},
             {"--bogus", "h"},              {"--port"},
             {"h", "u", "p", "extra"}}) {
        EXPECT_NE(Parse(args).error, "") << ::testing::PrintToString(args);
    }
}

TEST(TarselFtpOptions, DoubleDashEndsOptionsAndHelpNeedsNoHost) {
    ParsedOptions p = Parse({"--", "-odd-host"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.host, "-odd-host");

    p = Parse({"--help"});
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.options.help);
}

TEST(TarselFtpScript, SplitsAtSemicolonsOutsideQuotes) {
    EXPECT_THAT(SplitScript("pwd; cd \"a;b\" ;;  ; get x"),
                ElementsAre("pwd", " cd \"a;b\" ", " get x"));
    // An escaped quote inside quotes does not end the quoted part.
    EXPECT_THAT(SplitScript(R"(get "a\";b"; pwd)"), ElementsAre(R"(get "a\";b")", " pwd"));
    EXPECT_THAT(SplitScript("pwd\nnoop"), ElementsAre("pwd", "noop"));
    EXPECT_THAT(SplitScript(" ; \t;"), IsEmpty());
}

TEST(TarselFtpWords, BlanksSeparateAndQuotesGroup) {
    EXPECT_THAT(SplitWords("  a\tb  c ").words, ElementsAre("a", "b", "c"));
    EXPECT_THAT(SplitWords(R"("my file.txt" x)").words, ElementsAre("my file.txt", "x"));
    // A quoted part belongs to the word it touches.
    EXPECT_THAT(SplitWords(R"(dir/"a b"/c)").words, ElementsAre("dir/a b/c"));
    EXPECT_THAT(SplitWords(R"("" x)").words, ElementsAre("", "x"));
    EXPECT_THAT(SplitWords(R"("say \"hi\" \\ \n")").words, ElementsAre(R"(say "hi" \ \n)"));
    // Outside quotes a backslash is an ordinary character.
    EXPECT_THAT(SplitWords(R"(a\b)").words, ElementsAre(R"(a\b)"));

    Words broken = SplitWords(R"(get "open)");
    EXPECT_NE(broken.error, "");
    EXPECT_THAT(broken.words, IsEmpty());
}

Command ExpectCommand(std::string_view line) {
    ParsedLine parsed = ParseCommand(line);
    if (const auto* error = std::get_if<CommandError>(&parsed))
        ADD_FAILURE() << line << ": " << error->message;
    const auto* command = std::get_if<Command>(&parsed);
    return command ? *command : Command{Verb::Noop, {}, 0};
}

std::string ExpectError(std::string_view line) {
    ParsedLine parsed = ParseCommand(line);
    const auto* error = std::get_if<CommandError>(&parsed);
    if (!error) {
        ADD_FAILURE() << line << " was accepted";
        return {};
    }
    return error->message;
}

TEST(TarselFtpCommands, FillsInDefaultFileNamesFromTheLastPathComponent) {
    Command get = ExpectCommand("get pub/dir/file.bin");
    EXPECT_EQ(get.verb, Verb::Get);
    EXPECT_THAT(get.args, ElementsAre("pub/dir/file.bin", "file.bin"));

    Command put = ExpectCommand("PUT /tmp/data.txt");
    EXPECT_EQ(put.verb, Verb::Put);
    EXPECT_THAT(put.args, ElementsAre("/tmp/data.txt", "data.txt"));

    EXPECT_THAT(ExpectCommand(R"(get "a b.txt" "c d.txt")").args, ElementsAre("a b.txt", "c d.txt"));
    EXPECT_THAT(ExpectCommand("get dir/sub/").args, ElementsAre("dir/sub/", "sub"));
    EXPECT_THAT(ExpectError("get /"), HasSubstr("no file name"));
    EXPECT_THAT(ExpectError(R"(put "")"), HasSubstr("no file name"));
}

TEST(TarselFtpCommands, ChecksArgumentCounts) {
    EXPECT_EQ(ExpectCommand("rename a b").verb, Verb::Rename);
    EXPECT_THAT(ExpectCommand("dir").args, IsEmpty());
    EXPECT_THAT(ExpectCommand("ls *.txt").args, ElementsAre("*.txt"));
    EXPECT_THAT(ExpectCommand("login bob pw").args, ElementsAre("bob", "pw"));
    for (std::string_view bad : {"rename a", "rename a b c", "cd", "cd a b", "pwd x", "size",
                                 "append onlyone", "login bob", "get a b c", "quit now"})
        EXPECT_THAT(ExpectError(bad), HasSubstr("usage")) << bad;
}

TEST(TarselFtpCommands, QuoteAndSitePassTheirTextUnchanged) {
    EXPECT_THAT(ExpectCommand(R"(quote SITE CHMOD 644 "x y")").args,
                ElementsAre(R"(SITE CHMOD 644 "x y")"));
    EXPECT_THAT(ExpectCommand("site  chmod  644 f").args, ElementsAre(" chmod  644 f"));
    EXPECT_THAT(ExpectCommand("quote").args, ElementsAre(""));
    EXPECT_THAT(ExpectError("site   "), HasSubstr("usage"));
}

TEST(TarselFtpCommands, RestTakesAByteCount) {
    EXPECT_EQ(ExpectCommand("rest 1000").offset, 1000u);
    EXPECT_EQ(ExpectCommand("rest 18446744073709551615").offset, 18446744073709551615u);
    for (std::string_view bad : {"rest -1", "rest 1k", "rest x", "rest 18446744073709551616"})
        EXPECT_THAT(ExpectError(bad), HasSubstr("OFFSET")) << bad;
}

TEST(TarselFtpCommands, IgnoresBlankLinesCommentsAndLineEnds) {
    EXPECT_TRUE(std::holds_alternative<NoCommand>(ParseCommand("")));
    EXPECT_TRUE(std::holds_alternative<NoCommand>(ParseCommand(" \t\r")));
    EXPECT_TRUE(std::holds_alternative<NoCommand>(ParseCommand("  # get x")));
    EXPECT_THAT(ExpectCommand("cd up\r").args, ElementsAre("up"));
    EXPECT_EQ(ExpectCommand("\tPwD").verb, Verb::Pwd);

    ParsedLine unknown = ParseCommand("frobnicate *");
    ASSERT_TRUE(std::holds_alternative<CommandError>(unknown));
    EXPECT_EQ(std::get<CommandError>(unknown).word, "frobnicate");
    EXPECT_THAT(std::get<CommandError>(unknown).message, HasSubstr("help"));
    EXPECT_THAT(ExpectError(R"(cd "unterminated)"), HasSubstr("quote"));
}

TEST(TarselFtpCommands, FlagsDefaultsAndRawTextOfTheEverydayCommands) {
    Command reget = ExpectCommand("reget pub/a.iso");
    EXPECT_EQ(reget.verb, Verb::Get);
    EXPECT_TRUE(reget.resume);
    EXPECT_THAT(reget.args, ElementsAre("pub/a.iso", "a.iso"));
    Command resume = ExpectCommand("get -c pub/a.iso mine");
    EXPECT_TRUE(resume.resume);
    EXPECT_THAT(resume.args, ElementsAre("pub/a.iso", "mine"));
    // Only the first word is a flag: a file called -c after it is a name.
    EXPECT_THAT(ExpectCommand("get x -c").args, ElementsAre("x", "-c"));
    EXPECT_FALSE(ExpectCommand("get x -c").resume);
    EXPECT_THAT(ExpectError("get -c x -"), HasSubstr("standard output"));

    EXPECT_THAT(ExpectCommand("put - remote.txt").args, ElementsAre("-", "remote.txt"));
    EXPECT_THAT(ExpectError("put -"), HasSubstr("REMOTE"));

    Command down = ExpectCommand("mirror /pub/tree");
    EXPECT_FALSE(down.reverse);
    EXPECT_THAT(down.args, ElementsAre("/pub/tree", "tree"));
    Command up = ExpectCommand("mirror -R \"my dir\"");
    EXPECT_TRUE(up.reverse);
    EXPECT_THAT(up.args, ElementsAre("my dir", "my dir"));
    Command flags = ExpectCommand("mirror --dry-run -e -n -R a b");
    EXPECT_TRUE(flags.dryRun && flags.mirror.deleteExtra && flags.mirror.newerOnly && flags.reverse);
    EXPECT_THAT(flags.args, ElementsAre("a", "b"));
    EXPECT_THAT(ExpectCommand("mirror -- -odd").args, ElementsAre("-odd", "-odd"));
    EXPECT_THAT(ExpectError("mirror --deleet a"), HasSubstr("unknown option '--deleet'"));
    Command reput = ExpectCommand("reput big.iso");
    EXPECT_EQ(reput.verb, Verb::Put);
    EXPECT_TRUE(reput.resume);
    EXPECT_THAT(reput.args, ElementsAre("big.iso", "big.iso"));
    EXPECT_TRUE(ExpectCommand("put -c a b").resume);
    EXPECT_THAT(ExpectError("put -c - r"), HasSubstr("standard input"));

    EXPECT_THAT(ExpectCommand("mget *.txt \"a b*\"").args, ElementsAre("*.txt", "a b*"));
    EXPECT_THAT(ExpectError("mput"), HasSubstr("usage: mput [-P N] [-O DIR] PATTERN..."));

    // The shell gets the rest of the line as typed, quotes and ';' included.
    Command shell = ExpectCommand("  !ls -l \"a b\" | wc");
    EXPECT_EQ(shell.verb, Verb::Shell);
    EXPECT_THAT(shell.args, ElementsAre("ls -l \"a b\" | wc"));
    EXPECT_THAT(ExpectCommand("!").args, IsEmpty());

    EXPECT_EQ(ExpectCommand("?").verb, Verb::Help);
    EXPECT_EQ(ExpectCommand("BYE").verb, Verb::Quit);
    EXPECT_EQ(ExpectCommand("exit").verb, Verb::Quit);
    EXPECT_THAT(ExpectError("passive maybe"), HasSubstr("usage"));
    EXPECT_THAT(ExpectError("open host 0"), HasSubstr("PORT"));
}

TEST(TarselFtpCommands, TabCompletesRemoteNamesWhereACommandTakesThem) {
    const auto words = [](std::initializer_list<const char*> w) { return std::vector<std::string>(w.begin(), w.end()); };
    EXPECT_TRUE(TakesRemoteName(words({"get"})));
    EXPECT_TRUE(TakesRemoteName(words({"get", "-c"})));
    EXPECT_FALSE(TakesRemoteName(words({"get", "remote"}))) << "LOCAL is a local name";
    EXPECT_FALSE(TakesRemoteName(words({"put"})));
    EXPECT_TRUE(TakesRemoteName(words({"put", "local"})));
    EXPECT_TRUE(TakesRemoteName(words({"mirror"})));
    EXPECT_FALSE(TakesRemoteName(words({"mirror", "-R"})));
    EXPECT_TRUE(TakesRemoteName(words({"mirror", "-R", "here"})));
    EXPECT_TRUE(TakesRemoteName(words({"cd"})));
    EXPECT_FALSE(TakesRemoteName(words({"lcd"})));
    EXPECT_FALSE(TakesRemoteName(words({"chmod"}))) << "MODE first";
    EXPECT_TRUE(TakesRemoteName(words({"chmod", "644"})));
    EXPECT_FALSE(TakesRemoteName(words({"frobnicate"})));
    const std::vector<std::string> names = {"a.txt", "ab/", "b"};
    EXPECT_THAT(CompleteRemoteName(names, "a"), ElementsAre("a.txt", "ab/"));
    EXPECT_THAT(CompleteRemoteName(names, ""), ElementsAre("a.txt", "ab/", "b"));
    // After a '/': the names of that directory, behind the directory as typed.
    EXPECT_THAT(CompleteRemoteName(names, "pub/a"), ElementsAre("pub/a.txt", "pub/ab/"));
    EXPECT_THAT(CompleteRemoteName(names, "/b"), ElementsAre("/b"));
    EXPECT_EQ(CompletionDirectory("pub/sub/x"), "pub/sub");
    EXPECT_EQ(CompletionDirectory("/x"), "/");
    EXPECT_EQ(CompletionDirectory("x"), "");
    // U+009B is CSI to many terminals; a stray 0x9B byte may be read as one too.
    const std::vector<std::string> hostile = {"c\xC2\x9B" "2J", "c\x9B" "2J", "c\xC2\xA0ok"};
    EXPECT_THAT(CompleteRemoteName(hostile, "c"), ElementsAre("c\xC2\xA0ok"));
}

TEST(TarselFtpCommands, HelpCompletionAndUsageComeFromTheOneTable) {
    const std::string help = HelpText();
    const std::string usage = UsageText();
    for (const CommandInfo& info : CommandTable()) {
        const std::string name(info.name);
        EXPECT_THAT(help, HasSubstr("  " + name)) << name;
        EXPECT_THAT(usage, HasSubstr("  " + name)) << name;
        EXPECT_THAT(HelpText(name), HasSubstr(std::string(info.help))) << name;
        // Every listed command parses: with its minimum of arguments it is no unknown word.
        std::string line = name == "!" ? "!x" : name;
        for (std::size_t i = 0; i < info.minArgs; ++i) line += " a" + std::to_string(i);
        if (info.verb == Verb::Rest) line = "rest 5";
        if (info.verb == Verb::Open) line = "open host";
        if (info.verb == Verb::Glob) line = "glob size a0";
        const ParsedLine parsed = ParseCommand(line);
        ASSERT_TRUE(std::holds_alternative<Command>(parsed)) << line;
    }
    EXPECT_EQ(HelpText("nonsense"), "");
    EXPECT_THAT(HelpText("?"), HasSubstr("usage: help [COMMAND]"));
    EXPECT_THAT(CompleteCommandName("m"), ElementsAre("mget", "mput", "mirror", "mrm", "mkdir", "mv"));
    EXPECT_THAT(CompleteCommandName("B"), ElementsAre("binary", "bookmark", "bye"));
    EXPECT_THAT(CompleteCommandName("zz"), IsEmpty());
}

TEST(TarselFtpCommands, TheManualPageIsMadeFromTheSameTexts) {
    const std::string page = ManualPage("9.9");
    EXPECT_EQ(page.rfind(".TH TARSEL-FTP 1 ", 0), 0u);
    for (const CommandInfo& info : CommandTable()) {
        std::string name(info.name);
        EXPECT_THAT(page, HasSubstr("\n.B " + name)) << name;
    }
    EXPECT_THAT(page, HasSubstr("\\-\\-save\\-settings FILE")) << "hyphens escaped";
    EXPECT_THAT(page, HasSubstr("Patterns (* ? [...])"));
    // No line of text may be read as a request: each starts with a macro or with text.
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || (line[0] != '.' && line[0] != '\'')) continue;
        EXPECT_TRUE(line.rfind(".TH", 0) == 0 || line.rfind(".SH", 0) == 0 || line.rfind(".TP", 0) == 0 ||
                    line.rfind(".B", 0) == 0 || line.rfind(".I", 0) == 0 || line.rfind(".PP", 0) == 0 ||
                    line.rfind(".br", 0) == 0 || line.rfind(".nf", 0) == 0 || line.rfind(".fi", 0) == 0)
            << line;
    }
    EXPECT_TRUE(ParseOptions({"--man"}).options.manual);
}

// The written manual is not generated; it must still name every command and every option the
// program has, so that a command or option added later cannot go undocumented.
TEST(TarselFtpCommands, TheWrittenManualNamesEveryCommandAndOption) {
    std::ifstream file(TARSEL_SOURCE_DIR "/docs/tarsel-ftp.md");
    ASSERT_TRUE(file) << "docs/tarsel-ftp.md";
    const std::string manual((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const CommandInfo& info : CommandTable()) {
        const std::string name(info.name);
        EXPECT_TRUE(manual.find("`" + name + " ") != std::string::npos ||
                    manual.find("`" + name + "`") != std::string::npos)
            << "command " << name;
    }
    const std::string usage = UsageText();
    for (std::size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at + 2)) {
        std::size_t end = at + 2;
        while (end < usage.size() && (std::isalnum(static_cast<unsigned char>(usage[end])) || usage[end] == '-'))
            ++end;
        if (end == at + 2) continue;
        const std::string option = usage.substr(at, end - at);
        EXPECT_NE(manual.find(option), std::string::npos) << "option " << option;
    }
}

TEST(TarselFtpOptions, UrlsAndTheOptionalHost) {
    ParsedOptions p = ParseOptions({"ftp://alice:s%40cret@[::1]:2121/pub/dir/"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.host, "::1");
    EXPECT_EQ(p.options.port, "2121");
    EXPECT_EQ(p.options.user, "alice");
    EXPECT_EQ(p.options.password, "s@cret");
    EXPECT_TRUE(p.options.userGiven && p.options.passwordGiven);
    EXPECT_EQ(p.options.urlPath, "pub/dir/");

    // A user without a password gets none of the anonymous one.
    p = ParseOptions({"ftp://bob@host/file.txt"});
    EXPECT_EQ(p.options.password, "");
    EXPECT_FALSE(p.options.passwordGiven);
    p = ParseOptions({"ftp://host"});
    EXPECT_EQ(p.options.user, "anonymous");
    EXPECT_FALSE(p.options.userGiven);

    EXPECT_THAT(ParseOptions({"ftp://host/x", "user"}).error, HasSubstr("URL"));
    EXPECT_THAT(ParseOptions({"--port", "21", "ftp://host:2121/"}).error, HasSubstr("differ"));
    EXPECT_NE(ParseOptions({"ftp://host/a%0d%0aDELE%20x"}).error, "");

    // No host at all is for the interactive program to judge.
    p = ParseOptions({"--passive"});
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.options.host, "");
    EXPECT_TRUE(ParseOptions({"-v", "--no-progress", "h"}).options.verbose);
    EXPECT_EQ(ParseOptions({"--no-progress", "h"}).options.progress, false);
}

// Cuts a file of `size` bytes the way an upload does.
std::vector<std::uint64_t> Blocks(std::uint64_t size, std::uint32_t chunk) {
    std::vector<std::uint64_t> blocks;
    for (std::uint64_t left = size; left > 0;) {
        const std::uint64_t n = NextBlockSize(left, chunk);
        if (n == 0 || n > left) {
            ADD_FAILURE() << "block of " << n << " with " << left << " left";
            break;
        }
        blocks.push_back(n);
        left -= n;
    }
    return blocks;
}

TEST(TarselFtpUploadPlan, NeverHandsOverAOneByteBlockWhileDataRemains) {
    for (std::uint32_t chunk : {2u, 3u, 5u, 64u * 1024u}) {
        for (std::uint64_t size = 0; size <= 4ull * chunk + 3; ++size) {
            const std::vector<std::uint64_t> blocks = Blocks(size, chunk);
            std::uint64_t total = 0;
            for (std::uint64_t b : blocks) {
                total += b;
                EXPECT_LE(b, chunk + 1ull);
                if (size != 1) {
                    EXPECT_GE(b, 2u) << "size " << size << " chunk " << chunk;
                }
            }
            EXPECT_EQ(total, size);
        }
    }
    EXPECT_THAT(Blocks(65537, 65536), ElementsAre(65537));
    EXPECT_THAT(Blocks(2 * 65536 + 1, 65536), ElementsAre(65536, 65537));
    EXPECT_THAT(Blocks(1, 65536), ElementsAre(1));
    EXPECT_EQ(NextBlockSize(0, 65536), 0u);
}

}  // namespace
}  // namespace tarselftp
