// tarsel-ftp's transfers over several connections, and its one TYPE line per connection: the
// flags as parsed, then the session over fake servers, one per connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <asio/io_context.hpp>

#include "command_line.h"
#include "ftp_session.h"
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
    // "-P" as a file name after the first name is a name.
    EXPECT_THAT(Parsed("mget a -P").args, ElementsAre("a", "-P"));

    EXPECT_THAT(Refused("pget -n 0 f"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("pget -n 65 f"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("mget -P x *"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("mget -P"), HasSubstr("from 1 to 64"));
    EXPECT_THAT(Refused("get -c --segments 2 f"), HasSubstr("cannot be resumed"));
    EXPECT_THAT(Refused("pget f -"), HasSubstr("standard output"));
    EXPECT_THAT(Refused("get -n 2 f g h"), HasSubstr("usage"));
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

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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
        server.replies["PWD"] = "257 \"/pub\" is the current directory";
    }
    void TearDown() override {
        session.reset();
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    void Start() {
        session = std::make_unique<FtpSession>(io, control, options, output);
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
                     "-rw-r--r-- 1 ftp ftp 1 Jan 01 2020 c\r\n";
    hosts.setup = [&](tarselctl::FakeFtpServer& s, std::size_t) {
        s.downloads = {{"/pub/a", "AAA"}, {"/pub/b", Pattern(5000)}, {"/pub/c", "C"}};
    };
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
    EXPECT_LE(hosts.servers.size(), 2u);
    EXPECT_EQ(session->ExitStatus(), 1);
}

}  // namespace
}  // namespace tarselftp
