// tarsel-ftp's transfers over several connections, and its one TYPE line per connection: the
// flags as parsed, the local file a run writes, then the session over fake servers, one per
// connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <asio/io_context.hpp>

#include "command_line.h"
#include "ftp_session.h"
#include "parallel_run.h"
#include "session_output.h"
#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"
#include "support/platform_per_control.h"

namespace tarselftp {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using tarselctl::FakeFtpServer;
using tarselctl::FakePlatform;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Command Parsed(const std::string& line) {
    const ParsedLine parsed = ParseCommand(line);
    const Command* command = std::get_if<Command>(&parsed);
    if (command == nullptr) {
        ADD_FAILURE() << line << ": " << std::get<CommandError>(parsed).message;
        return Command{Verb::Noop};
    }
    return *command;
}

std::string Refused(const std::string& line) {
    const ParsedLine parsed = ParseCommand(line);
    if (const CommandError* error = std::get_if<CommandError>(&parsed)) return error->message;
    ADD_FAILURE() << line << " was accepted";
    return "";
}

TEST(TarselFtpParallelFlags, CountsAndWhereTheyApply) {
    const Command pget = Parsed("pget big.iso");
    EXPECT_EQ(pget.verb, Verb::Pget);
    EXPECT_EQ(pget.parallel, 4);
    EXPECT_THAT(pget.args, ElementsAre("big.iso", "big.iso"));
    EXPECT_EQ(Parsed("pget -n 7 a/b.iso c").parallel, 7);
    const Command segmented = Parsed("get --segments 3 a/b.iso");
    EXPECT_EQ(segmented.verb, Verb::Pget);
    EXPECT_EQ(segmented.parallel, 3);
    EXPECT_THAT(segmented.args, ElementsAre("a/b.iso", "b.iso"));
    EXPECT_EQ(Parsed("mget -P 8 *.bin x*").parallel, 8);
    EXPECT_THAT(Parsed("mput --parallel 2 *.bin").args, ElementsAre("*.bin"));
    EXPECT_EQ(Parsed("get plain").parallel, 0);
    const Command mirror = Parsed("mirror -R --parallel=5 -e up /u");
    EXPECT_TRUE(mirror.reverse && mirror.mirror.deleteExtra);
    EXPECT_EQ(mirror.parallel, 5);
    EXPECT_THAT(mirror.args, ElementsAre("up", "/u"));
    EXPECT_EQ(Parsed("mirror -P 8 /r").parallel, 8);
    EXPECT_THAT(Refused("mirror --parallel= /r"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("mirror -P 0 /r"), HasSubstr("from 1 to 64"));
    // The count is no remote name: completion offers names after it.
    EXPECT_TRUE(TakesRemoteName({"mirror", "-P", "8"}));
    EXPECT_FALSE(TakesRemoteName({"mirror", "-P", "8", "/r"}));
    // "-P" as a file name after the first name is a name.
    EXPECT_THAT(Parsed("mget a -P").args, ElementsAre("a", "-P"));

    EXPECT_THAT(Refused("pget -n 0 f"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("pget -n 65 f"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("mget -P x *"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("mget -P"), HasSubstr("from 1 to 64"));
    EXPECT_TRUE(Parsed("get -c --segments 2 f").resume);
    EXPECT_TRUE(Parsed("pget -c -n 3 f").resume);
    EXPECT_THAT(Refused("pget f -"), HasSubstr("standard output"));
    EXPECT_THAT(Refused("get -n 2 f g h"), HasSubstr("usage"));
}

std::int64_t ModifiedSeconds(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtim.tv_sec) : -1;
}

std::vector<std::string> Names(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A run's download is written below its root without following links: a name or a link met
// on the way cannot take the bytes out, and a directory renamed meanwhile keeps its file.
TEST(TarselFtpRangeFile, WritesOnlyBelowItsRootWhateverIsPlantedOnTheWay) {
    char pattern[] = "/tmp/tarsel-ftp-range-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    fs::create_directories(dir / "root" / "sub");
    fs::create_directories(dir / "outside");
    const auto target = [&](const std::string& below, const std::string& name) {
        LocalTarget t;
        t.root = (dir / "root").string();
        t.below = below;
        t.name = name;
        t.shown = "m/" + (below.empty() ? name : below + "/" + name);
        t.modified = 1577934245;
        return t;
    };
    const tarselctl::ByteArray bytes = {'a', 'b', 'c'};

    RangeFile file;
    EXPECT_THAT(file.Prepare(target("", "..")), HasSubstr("is no file name"));
    EXPECT_THAT(file.Prepare(target("", "a/b")), HasSubstr("is no file name"));
    EXPECT_THAT(file.Prepare(target("..", "x")), HasSubstr("leads out of"));
    fs::create_symlink(dir / "outside" / "f", dir / "root" / "link");
    EXPECT_THAT(file.Prepare(target("", "link")), HasSubstr("'m/link' is a symbolic link"));
    EXPECT_THAT(file.Prepare(target("", "sub")), HasSubstr("is a directory"));

    // The directory becomes a link between the check and the first bytes.
    ASSERT_EQ(file.Prepare(target("sub", "x")), "");
    fs::rename(dir / "root" / "sub", dir / "root" / "real");
    fs::create_directory_symlink(dir / "outside", dir / "root" / "sub");
    EXPECT_THAT(file.Open(), HasSubstr("root/sub' is a symbolic link"));
    EXPECT_EQ(file.Finish(false), "");

    // ... or once the file is open: it lands in the directory that was opened.
    ASSERT_EQ(file.Prepare(target("real", "x")), "");
    ASSERT_EQ(file.Open(), "");
    ASSERT_EQ(file.WriteAt(0, bytes), "");
    fs::rename(dir / "root" / "real", dir / "root" / "moved");
    fs::create_directory_symlink(dir / "outside", dir / "root" / "real");
    EXPECT_EQ(file.Finish(true), "");
    EXPECT_EQ(ReadFile(dir / "root" / "moved" / "x"), "abc");
    EXPECT_EQ(ModifiedSeconds(dir / "root" / "moved" / "x"), 1577934245);
    EXPECT_THAT(Names(dir / "outside"), ElementsAre());
    EXPECT_THAT(Names(dir / "root" / "moved"), ElementsAre("x"));
    fs::remove_all(dir);
}

class RecordingOutput final : public SessionOutput {
public:
    void Out(std::string_view text) override { out += text; }
    void Err(std::string_view text) override { err += text; }
    void Meter(std::string_view) override {}
    int MeterWidth() const override { return 80; }
    bool OutIsTerminal() const override { return false; }
    bool ErrIsTerminal() const override { return false; }
    void Flush() override {}
    std::string out, err;
};

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

class TarselFtpParallel : public ::testing::Test {
protected:
    TarselFtpParallel() : control(platform) {}
    void SetUp() override {
        char pattern[] = "/tmp/tarsel-ftp-parallel-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        previous = fs::current_path();
        fs::current_path(dir);
        options.host = "ftp.example";
        options.user = "u";
        options.password = "p";
        options.passwordGiven = options.userGiven = true;
        options.keepGoing = true;
        options.replyTimeout = 0;
        // Plain and with names in UTF-8 from the start: neither the AUTH TLS attempt nor the
        // listing that judges the code of names is what these tests look at.
        options.tls = "off";
        options.sysCode = "UTF8";
        server.replies["PWD"] = "257 \"/pub\" is the current directory";
    }
    void TearDown() override {
        session.reset();
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    void Start(bool interactive = false) {
        session = std::make_unique<FtpSession>(io, control, options, output);
        session->SetInteractive(interactive);
        session->SetPlatform(hosts);
        ASSERT_TRUE(session->Start());
        Run();
    }
    void Run() {
        for (int round = 0; round < 200000; ++round) {
            ASSERT_TRUE(server.Run());
            const bool busy = hosts.Step();
            io.restart();
            if (io.poll() == 0 && platform.posted.empty() && !busy) return;
        }
        FAIL() << "the session never settled";
    }
    void Type(const std::string& line) {
        session->AddLine(line);
        Run();
    }
    std::vector<std::string> Lines(const std::string& word) const {
        std::vector<std::string> found;
        for (const std::string& line : server.lines)
            if (line.rfind(word, 0) == 0) found.push_back(line);
        return found;
    }
    // The lines of every connection of the runs that begin with `word`, sorted.
    std::vector<std::string> RunLines(const std::string& word) const {
        std::vector<std::string> found;
        for (std::size_t i = 0; i < hosts.servers.size(); ++i)
            for (const std::string& line : hosts.Lines(i, word)) found.push_back(line);
        std::sort(found.begin(), found.end());
        return found;
    }

    FakePlatform platform;
    FakeFtpServer server{platform};
    tarselctl::PlatformPerControl hosts{true};
    RecordingOutput output;
    tarselctl::tarsel control;
    asio::io_context io;
    Options options;
    std::unique_ptr<FtpSession> session;
    fs::path dir, previous;
};

TEST_F(TarselFtpParallel, TypeIsSentOncePerConnectionAndAgainAfterAListing) {
    server.downloads = {{"a", "aaa"}, {"b", "bbb"}, {"c", "ccc"}};
    server.replies["SIZE"] = "213 3";
    Start();
    for (const char* line : {"get a", "get b", "size a", "ls", "get c"}) Type(line);
    EXPECT_THAT(Lines("TYPE"), ElementsAre("TYPE I", "TYPE A", "TYPE I"));
    EXPECT_EQ(ReadFile(dir / "c"), "ccc");
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

TEST_F(TarselFtpParallel, PgetWritesEachRangeAtItsOffsetOrFallsBackWhenRestIsRefused) {
    const std::string big = Pattern(3 * 256 * 1024 + 1234);
    bool refuseRest = false;
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.file = big;
        s.piece = 64 * 1024;
        s.replies["SIZE"] = "213 " + std::to_string(big.size());
        if (refuseRest) s.replies["REST"] = "502 REST not implemented";
    };
    Start();
    Type("pget -n 3 big.bin");
    EXPECT_EQ(ReadFile(dir / "big.bin"), big);
    ASSERT_EQ(hosts.servers.size(), 3u);
    std::vector<std::string> rests;
    for (std::size_t i = 0; i < 3; ++i)
        for (const std::string& r : hosts.Lines(i, "REST")) rests.push_back(r);
    std::sort(rests.begin(), rests.end());
    EXPECT_THAT(rests, ElementsAre("REST 262555", "REST 525110"));
    EXPECT_EQ(hosts.Lines(0, "RETR /pub/big.bin").size() + hosts.Lines(1, "RETR /pub/big.bin").size() +
                  hosts.Lines(2, "RETR /pub/big.bin").size(),
              3u);
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;

    refuseRest = true;
    fs::remove(dir / "big.bin");
    Type("get --segments 2 big.bin");
    EXPECT_EQ(ReadFile(dir / "big.bin"), big);
    EXPECT_THAT(output.err, HasSubstr("refuses REST; downloading over one connection"));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename(), "big.bin") << "a temporary file was left";
}

TEST_F(TarselFtpParallel, MgetOverSeveralConnectionsCountsFailuresAndGoesOn) {
    // A directory among the matches is skipped as a one-connection mget skips it: it
    // must not become a download that fails on every connection.
    server.listing = "-rw-r--r-- 1 ftp ftp 3 Jan 01 2020 a\r\n"
                     "-rw-r--r-- 1 ftp ftp 5000 Jan 01 2020 b\r\n"
                     "-rw-r--r-- 1 ftp ftp 7 Jan 01 2020 missing\r\n"
                     "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 sub\r\n"
                     "-rw-r--r-- 1 ftp ftp 1 Jan 01 2020 c\r\n"
                     "-rw-r--r-- 1 ftp ftp 3 Jan 01 2020 planted\r\n";
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.downloads = {{"/pub/a", "AAA"}, {"/pub/b", Pattern(5000)}, {"/pub/c", "C"}, {"/pub/planted", "BAD"}};
    };
    // A link under a name is not written through.
    WriteFile(dir / "outside", "keep");
    fs::create_symlink(dir / "outside", dir / "planted");
    Start();
    Type("mget -P 2 *");
    EXPECT_EQ(ReadFile(dir / "a"), "AAA");
    EXPECT_EQ(ReadFile(dir / "b"), Pattern(5000));
    EXPECT_EQ(ReadFile(dir / "c"), "C");
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_FALSE(fs::exists(dir / "sub"));
    EXPECT_THAT(output.out, HasSubstr("mget: skipping 1 directory"));
    EXPECT_THAT(output.err, HasSubstr("GetFile /pub/missing: 550"));
    EXPECT_THAT(output.err, Not(HasSubstr("/pub/sub")));
    EXPECT_EQ(ReadFile(dir / "outside"), "keep");
    EXPECT_THAT(output.err, HasSubstr("'planted' is a symbolic link; nothing is written through it"));
    EXPECT_LE(hosts.servers.size(), 2u);
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpParallel, MputOverSeveralConnectionsRefusesANameThatIsNoUtf8) {
    WriteFile(dir / "good", "1");
    WriteFile(dir / "bad\xfe", "2");
    WriteFile(dir / "bad\xff", "3");
    Start();
    Type("mput -P 2 *");
    std::vector<std::string> stored;
    for (const auto& s : hosts.servers)
        for (const auto& [name, content] : s->files) stored.push_back(name);
    EXPECT_THAT(stored, ElementsAre("/pub/good"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

// A server may close the session's idle connection while the files move over the others:
// the program (which stops its loop when the session finishes) must not end before the run.
TEST_F(TarselFtpParallel, ALostSessionConnectionDoesNotCutTheRunShort) {
    server.listing = "-rw-r--r-- 1 ftp ftp 8192 Jan 01 2020 a\r\n"
                     "-rw-r--r-- 1 ftp ftp 8192 Jan 01 2020 b\r\n";
    bool closed = false;
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.downloads = {{"/pub/a", Pattern(8192)}, {"/pub/b", Pattern(8192)}};
        s.piece = 1024;
        s.onData = [&](std::string_view) {
            if (!closed) platform.soquets.at(0)->Close();
            closed = true;
        };
    };
    Start();
    bool wholeAtTheEnd = false;
    session->OnFinished([&] { wholeAtTheEnd = ReadFile(dir / "a") == Pattern(8192) && ReadFile(dir / "b") == Pattern(8192); });
    Type("mget -P 2 *");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(session->Finished());
    EXPECT_TRUE(wholeAtTheEnd) << output.err;
}

// Servers end a connection left idle for minutes: while a run moves the files, the session's
// own connection sends NOOP, and goes back to the keep-alive it was given once the run ends.
TEST_F(TarselFtpParallel, TheSessionConnectionStaysAliveWhileARunMovesTheFiles) {
    server.listing = "-rw-r--r-- 1 ftp ftp 8192 Jan 01 2020 a\r\n";
    bool ticked = false;
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.downloads = {{"/pub/a", Pattern(8192)}};
        s.piece = 1024;
        s.onData = [&](std::string_view) {
            if (!ticked) platform.timers.at(0)->TickN(61);
            ticked = true;
        };
    };
    Start();
    Type("mget -P 2 *");
    EXPECT_TRUE(ticked);
    EXPECT_THAT(Lines("NOOP"), ElementsAre("NOOP"));
    EXPECT_EQ(ReadFile(dir / "a"), Pattern(8192));
    EXPECT_EQ(control.get_NoopTime(), 0);
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

// mirror -P: the listings, MKD and the choice of what to move stay on the session's
// connection; the files, and the MDTM and MFMT that belong to them, go over the run's.
TEST_F(TarselFtpParallel, MirrorDownWalksHereFetchesThereAndCountsTheFilesThatFail) {
    const std::string deep = Pattern(3000);
    server.replies["FEAT"] = "211-Features:\r\n MDTM\r\n211 End";
    server.listings["/r"] = "-rw-r--r-- 1 ftp ftp 3 Jan 01 2020 a.txt\r\n"
                            "-rw-r--r-- 1 ftp ftp 7 Jan 01 2020 missing\r\n"
                            "-rw-r--r-- 1 ftp ftp 3 Jan 01 2020 ../escape\r\n"
                            "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 sub\r\n";
    server.listings["/r/sub"] = "-rw-r--r-- 1 ftp ftp 3000 Jan 01 2020 deep.bin\r\n"
                                "-rw-r--r-- 1 ftp ftp 0 Jan 01 2020 empty\r\n";
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.downloads = {{"/r/a.txt", "AAA"}, {"/r/sub/deep.bin", deep}, {"/r/sub/empty", ""}};
        s.replies["MDTM"] = "213 20200102030405";
    };
    options.keepGoing = false;
    Start();
    Type("mirror -P 3 /r out");
    Type("get after");
    EXPECT_EQ(ReadFile(dir / "out" / "a.txt"), "AAA");
    EXPECT_EQ(ReadFile(dir / "out" / "sub" / "deep.bin"), deep);
    EXPECT_THAT(Names(dir / "out"), ElementsAre("a.txt", "sub")) << "no temporary file is left";
    EXPECT_THAT(Names(dir / "out" / "sub"), ElementsAre("deep.bin", "empty"));
    EXPECT_FALSE(fs::exists(dir / "escape"));
    EXPECT_EQ(ModifiedSeconds(dir / "out" / "sub" / "deep.bin"), 1577934245) << "the server's time";
    EXPECT_THAT(Lines("RETR"), ElementsAre());
    EXPECT_THAT(Lines("MDTM"), ElementsAre());
    EXPECT_THAT(Lines("CWD"), ElementsAre("CWD /r", "CWD /r/sub"));
    EXPECT_THAT(RunLines("RETR"), ElementsAre("RETR /r/a.txt", "RETR /r/missing", "RETR /r/sub/deep.bin",
                                              "RETR /r/sub/empty"));
    EXPECT_EQ(RunLines("MDTM").size(), 4u);
    EXPECT_THAT(output.err, HasSubstr("GetFile /r/missing: 550"));
    EXPECT_THAT(output.err, HasSubstr("skipping the unsafe name '../escape'"));
    EXPECT_THAT(output.out, HasSubstr("mirror: 4 new, 0 updated, 0 removed, 1 failed; "));
    // A script stops after a command whose files failed, as it does with one connection.
    EXPECT_THAT(Lines("RETR after"), ElementsAre());
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpParallel, MirrorUpMakesDirectoriesHereAndSendsFilesThereWithTheirTimes) {
    fs::create_directories(dir / "up" / "d");
    WriteFile(dir / "up" / "a.txt", "1");
    WriteFile(dir / "up" / "same", "same");
    WriteFile(dir / "up" / "d" / "b.txt", "bee");
    fs::create_symlink("..", dir / "up" / "loop");
    // A name that is no UTF-8 cannot be sent as written: refused, not sent under another.
    WriteFile(dir / "up" / "bad\xff", "x");
    fs::last_write_time(dir / "up" / "a.txt", fs::file_time_type::clock::from_sys(
                                                  std::chrono::sys_seconds(std::chrono::seconds(1577934245))));
    server.replies["FEAT"] = "211-Features:\r\n MFMT\r\n211 End";
    server.replies["MKD"] = "257 created";
    server.listings["/u"] = "-rw-r--r-- 1 ftp ftp 4 Jan 01 2020 same\r\n";
    // A refused MFMT leaves the upload standing, as with one connection.
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t i) {
        s.replies["MFMT"] = i == 0 ? "213 Modify=20200102030405" : "550 Not allowed";
    };
    Start();
    Type("mirror -R -P 3 up /u");
    std::map<std::string, std::string> stored;
    for (const auto& s : hosts.servers) stored.insert(s->files.begin(), s->files.end());
    EXPECT_THAT(stored, ElementsAre(std::pair<const std::string, std::string>("/u/a.txt", "1"),
                                    std::pair<const std::string, std::string>("/u/d/b.txt", "bee")));
    std::vector<std::string> steps;
    for (const std::string& line : server.lines)
        if (line.rfind("MKD", 0) == 0 || line.rfind("CWD", 0) == 0 || line.rfind("STOR", 0) == 0)
            steps.push_back(line);
    EXPECT_THAT(steps, ElementsAre("MKD /u", "CWD /u", "MKD /u/d", "CWD /u/d", "CWD /pub"));
    const std::vector<std::string> mfmt = RunLines("MFMT");
    ASSERT_EQ(mfmt.size(), 2u);
    EXPECT_EQ(mfmt[0], "MFMT 20200102030405 /u/a.txt");
    EXPECT_THAT(mfmt[1], HasSubstr(" /u/d/b.txt"));
    EXPECT_THAT(output.err, HasSubstr(": Invalid Argument"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpParallel, InterruptCancelsTheWholeMirrorAndReturnsToThePrompt) {
    server.listings["/r"] = "-rw-r--r-- 1 ftp ftp 8192 Jan 01 2020 a\r\n"
                            "-rw-r--r-- 1 ftp ftp 8192 Jan 01 2020 b\r\n"
                            "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 sub\r\n";
    server.listings["/r/sub"] = "-rw-r--r-- 1 ftp ftp 8192 Jan 01 2020 c\r\n";
    bool interrupted = false;
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.downloads = {{"/r/a", Pattern(8192)}, {"/r/b", Pattern(8192)}, {"/r/sub/c", Pattern(8192)}};
        s.piece = 1024;
        s.onData = [&](std::string_view) {
            if (!interrupted) {
                interrupted = true;
                session->Interrupt();
            }
        };
    };
    Start(/*interactive=*/true);
    Type("mirror -P 2 /r out");
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(session->WaitingForLine()) << "back at the prompt";
    EXPECT_THAT(output.err, HasSubstr("interrupted"));
    for (const auto& entry : fs::recursive_directory_iterator(dir / "out"))
        EXPECT_TRUE(entry.is_directory()) << entry.path() << ": nothing half-fetched is left";
    EXPECT_EQ(Lines("CWD").back(), "CWD /pub") << "the session went back where it started";
    Type("quit");
    EXPECT_TRUE(session->Finished());
    EXPECT_EQ(session->ExitStatus(), 1) << "quit returns the status of the interrupted mirror";
}

}  // namespace
}  // namespace tarselftp

namespace tarselftp {
namespace {

// A file of a run takes its name only when every range agrees with the size the server gave:
// not when ranges end early with 226, not when Ctrl-C cut them (with the server answering the
// cut with 226), and a converted file is fetched over one connection, exactly.
TEST_F(TarselFtpParallel, PgetRenamesOnlyAVerifiedWholeFile) {
    const std::string big = Pattern(3 * 256 * 1024 + 1234);
    std::function<std::size_t(const std::string&, std::uint64_t)> limit;
    bool interruptAtData = false, interrupted = false;
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.onData = [&](std::string_view) {
            if (interruptAtData && !interrupted) {
                interrupted = true;
                session->Interrupt();
            }
        };
        s.file = big;
        s.piece = 64 * 1024;
        s.replies["SIZE"] = "213 " + std::to_string(big.size());
        s.cutReply = "226 Transfer complete";
        s.sendLimit = [&](const std::string& name, std::uint64_t rest) {
            return limit ? limit(name, rest) : std::string::npos;
        };
    };
    Start(/*interactive=*/true);
    // Every attempt at a range stops after 1000 bytes and the server calls it complete.
    limit = [](const std::string&, std::uint64_t) { return std::size_t{1000}; };
    Type("pget -n 3 big.bin");
    EXPECT_FALSE(fs::exists(dir / "big.bin"));
    EXPECT_THAT(output.err, HasSubstr("cut short"));
    EXPECT_EQ(session->ExitStatus(), 1);
    // What arrived is kept for pget -c, under a name no other command takes for a file.
    EXPECT_THAT(Names(dir), ElementsAre("big.bin.pget", "big.bin.pget-status"));

    // Ctrl-C while the ranges move.
    limit = nullptr;
    interruptAtData = true;
    Type("pget -n 3 big.bin");
    EXPECT_TRUE(interrupted);
    EXPECT_FALSE(fs::exists(dir / "big.bin"));
    EXPECT_THAT(output.err, HasSubstr("interrupted"));
    EXPECT_THAT(Names(dir), ElementsAre("big.bin.pget", "big.bin.pget-status"));

    // pget -c goes on from where each range stopped, and asks nothing twice.
    interruptAtData = false;
    const std::size_t retrs = RunLines("RETR").size();
    Type("pget -c -n 3 big.bin");
    EXPECT_TRUE(ReadFile(dir / "big.bin") == big) << output.err;
    EXPECT_THAT(Names(dir), ElementsAre("big.bin"));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
    std::vector<std::string> rests = RunLines("REST");
    EXPECT_FALSE(rests.empty());
    EXPECT_GT(RunLines("RETR").size(), retrs);

    // A file that changed size since is fetched afresh, with a note.
    limit = [](const std::string&, std::uint64_t) { return std::size_t{1000}; };
    Type("pget -n 3 big.bin");
    limit = nullptr;
    const std::string bigger = big + "more";
    for (auto& s : hosts.servers) {
        s->file = bigger;
        s->replies["SIZE"] = "213 " + std::to_string(bigger.size());
    }
    hosts.setup = [&, setup = hosts.setup](tarselctl::FakeFtpServer& s, std::size_t i) {
        setup(s, i);
        s.file = bigger;
        s.replies["SIZE"] = "213 " + std::to_string(bigger.size());
    };
    Type("pget -c -n 3 big.bin");
    EXPECT_THAT(output.err, HasSubstr("cannot be continued (the remote file's size changed); starting over"));
    EXPECT_TRUE(ReadFile(dir / "big.bin") == bigger) << output.err;
    EXPECT_THAT(Names(dir), ElementsAre("big.bin"));
}

TEST_F(TarselFtpParallel, PgetOfAConvertedFileUsesOneConnection) {
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "line " + std::to_string(i) + "\r\n";
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.file = text;
        s.replies["SIZE"] = "213 " + std::to_string(text.size());
    };
    options.fileCode = "SJIS";
    Start();
    Type("pget -n 4 t.txt");
    EXPECT_THAT(output.err, HasSubstr("converted; downloading over one connection"));
    EXPECT_EQ(ReadFile(dir / "t.txt"), text);
    EXPECT_TRUE(RunLines("REST").empty());
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
}

// One connection: a download the server calls complete keeps its name only when its bytes
// agree with every size known of the file (the 150's, SIZE before a resume, the listing's).
TEST_F(TarselFtpParallel, OneConnectionGetKeepsOnlyWhatEverySizeAgreesWith) {
    const std::string whole = Pattern(1000);
    server.downloads = {{"a", whole}, {"b", whole}};
    server.honourRest = true;
    server.answerSize = true;
    std::function<std::size_t(const std::string&, std::uint64_t)> limit;
    server.sendLimit = [&](const std::string& name, std::uint64_t rest) {
        return limit ? limit(name, rest) : std::string::npos;
    };
    Start();

    // Cut at 500 of the 1000 bytes the 150 announced, with 226.
    server.opening = "150 Opening BINARY mode data connection for a (1000 bytes).";
    limit = [](const std::string&, std::uint64_t) { return std::size_t{500}; };
    Type("get a");
    EXPECT_THAT(output.err, HasSubstr("get a: data connection: download cut short"));
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(ReadFile(dir / "a.part"), whole.substr(0, 500));
    EXPECT_EQ(session->ExitStatus(), 1);

    // A resume cut again: SIZE said 1000.
    server.opening = "150 Opening data connection";
    limit = [](const std::string&, std::uint64_t) { return std::size_t{200}; };
    Type("get -c a");
    EXPECT_THAT(output.err, HasSubstr("700 of 1000 bytes arrived (the transfer was cut short)"));
    EXPECT_FALSE(fs::exists(dir / "a"));

    // A server that takes REST and still sends from byte 0.
    limit = nullptr;
    server.honourRest = false;
    server.downloads["a"] = whole;
    Type("get -c a");
    EXPECT_THAT(output.err, HasSubstr("1700 of 1000 bytes arrived (the server did not resume where asked"));
    EXPECT_FALSE(fs::exists(dir / "a"));
    server.honourRest = true;

    // mget without -P: the listing said 1000 and nothing was announced.
    server.listings[""] = "-rw-r--r-- 1 ftp ftp 1000 Jan 01 2020 b\r\n";
    limit = [](const std::string& name, std::uint64_t) { return name == "b" ? std::size_t{400} : std::string::npos; };
    Type("mget b*");
    EXPECT_THAT(output.err, HasSubstr("400 of 1000 bytes arrived of the size listed"));
    EXPECT_FALSE(fs::exists(dir / "b"));

    // What agrees is kept, and the session's status follows the last command.
    limit = nullptr;
    fs::remove(dir / "a.part");
    Type("get a");
    EXPECT_EQ(ReadFile(dir / "a"), whole);
    Type("get -c b");
    EXPECT_EQ(ReadFile(dir / "b"), whole) << output.err;
}

}  // namespace
}  // namespace tarselftp
