// tarsel-ftp, the built program, against the real FTP servers on loopback, in active and
// passive mode. Every transferred file is compared byte for byte with its source.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "interop/control_relay.h"
#include "interop/ftp_server_env.h"
#include "interop/tcp_queues.h"

#ifndef TARSEL_FTP_PATH
#error "TARSEL_FTP_PATH must name the built tarsel-ftp program"
#endif

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// Far beyond any run here (the 64 MiB transfers take a few seconds at most), yet short enough
// that a stalled transfer fails its test instead of holding up the whole suite.
constexpr auto kRunLimit = std::chrono::seconds(30);

// How long the program may wait for the final reply to a command it sent, with no byte moving
// in or out of it, before the run is stopped and the kernel's queues are asked who stalled.
// On loopback a reply takes milliseconds; TARSEL_INTEROP_REPLY_TIMEOUT (seconds) changes it.
std::chrono::seconds ReplyLimit() {
    const char* text = std::getenv("TARSEL_INTEROP_REPLY_TIMEOUT");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 10);
}

// Printed before the explanation of a failure that the kernel's queues pin on the server;
// scripts/test.sh retries a failed test only when its output holds this.
constexpr const char* kServerStallMark = "[server stall]";

constexpr std::uint64_t kBigSize = 64ull * 1024 * 1024 + 54321;
constexpr std::uint64_t kOddSize = 1000003;

// ---------------------------------------------------------------- running the program

struct RunResult {
    int status = -1;  // exit status; -1 when killed
    bool timedOut = false;
    std::string out;
    std::string err;
    // Set when a command went unanswered, with nothing moving, for ReplyLimit(): the command
    // and why (timedOut is then set as well).
    std::string noReply;
    bool serverStall = false;
};

// tarsel-ftp as a child process with pipes on its three standard streams.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv;
            std::string program = TARSEL_FTP_PATH;
            argv.push_back(program.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        deadline_ = std::chrono::steady_clock::now() + kRunLimit;
        for (std::size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--port")
                serverPort_ = static_cast<std::uint16_t>(std::stoul(args[i + 1]));
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_})
            if (fd >= 0) ::close(fd);
    }

    bool Started() const { return pid_ > 0; }

    void Write(const std::string& text) {
        if (in_ >= 0) (void)!::write(in_, text.data(), text.size());
    }
    void CloseInput() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    // Reads until `out` holds at least `bytes` (or the output ends, or time is up).
    void ReadOutputAtLeast(std::size_t bytes) {
        while (result_.out.size() < bytes && Pump()) {}
    }
    // Reads the output until `done` holds (or the output ends, or time is up).
    void PumpUntil(const std::function<bool()>& done) {
        while (!done() && Pump()) {}
    }
    void Signal(int number) {
        if (pid_ > 0 && !reaped_) ::kill(pid_, number);
    }

    RunResult Finish() {
        CloseInput();
        while (Pump()) {}
        if (!result_.noReply.empty())
            ADD_FAILURE() << (result_.serverStall ? std::string(kServerStallMark) + " " : "")
                          << result_.noReply;
        if (result_.timedOut) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result_;
    }

private:
    // One round of reading from whichever output has data; false once both have ended, the
    // time is up or a command has waited too long for its reply.
    bool Pump() {
        if ((out_ < 0 && err_ < 0) || !result_.noReply.empty()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline_) {
            result_.timedOut = true;
            return false;
        }
        if (!awaiting_.empty()) {
            if (const std::uint64_t io = BytesMoved(); io != bytesMoved_) {
                bytesMoved_ = io;
                lastActivity_ = now;
            } else if (now - lastActivity_ >= ReplyLimit()) {
                NoteMissingReply();
                return false;
            }
        }
        // While a reply is due, wake every second to see whether bytes still move.
        const auto wake = awaiting_.empty() ? deadline_
                                            : std::min(deadline_, now + std::chrono::seconds(1));
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        const int ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1);
        if (::poll(fds, 2, ms) < 0) return false;
        const std::size_t before = result_.out.size() + result_.err.size();
        ReadSome(fds[0], out_, result_.out);
        ReadSome(fds[1], err_, result_.err);
        if (result_.out.size() + result_.err.size() != before) {
            lastActivity_ = std::chrono::steady_clock::now();
            FollowTrace();
        }
        return true;
    }

    // Reads the new complete lines of the trace: a sent command ("Op>>LINE") is due a final
    // reply (a line of three digits, 2 to 5 first, then a space or nothing); preliminary
    // replies (1xx) and continuation lines leave it due.
    void FollowTrace() {
        for (std::size_t end; (end = result_.err.find('\n', traced_)) != std::string::npos;
             traced_ = end + 1) {
            const std::string_view line(result_.err.data() + traced_, end - traced_);
            const auto digit = [&](std::size_t i) {
                return std::isdigit(static_cast<unsigned char>(line[i])) != 0;
            };
            if (line.size() >= 3 && digit(0) && digit(1) && digit(2)) {
                if (line[0] >= '2' && line[0] <= '5' && (line.size() == 3 || line[3] == ' '))
                    awaiting_.clear();
            } else if (line.rfind("---", 0) != 0 && line.rfind("event:", 0) != 0 &&
                       line.find(">>") != std::string_view::npos) {
                awaiting_ = line;
            }
        }
    }

    // Bytes the program has read and written so far, sockets, pipes and files alike; 0 when
    // the kernel does not say.
    std::uint64_t BytesMoved() const {
        std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
        std::uint64_t total = 0;
        for (std::string key; io >> key;) {
            std::uint64_t value = 0;
            if (!(io >> value)) break;
            if (key == "rchar:" || key == "wchar:") total += value;
        }
        return total;
    }

    // Stops the run: the program is still waiting, so the queues still show who stalled.
    void NoteMissingReply() {
        const tcp_queues::Verdict verdict = tcp_queues::ExplainMissingReply(
            tcp_queues::ReadProcNetTcp(), tcp_queues::SocketInodesOf(pid_), serverPort_);
        result_.timedOut = true;
        result_.serverStall = verdict.serverStalled;
        result_.noReply = "no final reply to \"" + awaiting_ + "\", and no byte moved, for " +
                          std::to_string(ReplyLimit().count()) + " s: " + verdict.explanation;
    }

    static void ReadSome(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int in_ = -1, out_ = -1, err_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    RunResult result_;
    std::uint16_t serverPort_ = 0;
    std::size_t traced_ = 0;  // length of the trace already read by FollowTrace
    std::string awaiting_;    // the last command sent, while its final reply is due
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
    std::uint64_t bytesMoved_ = 0;
};

RunResult RunProgram(const std::vector<std::string>& args) {
    Child child(args);
    if (!child.Started()) return {};
    return child.Finish();
}

// ---------------------------------------------------------------- files

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Byte-for-byte comparison of two files of any size; says where they first differ.
::testing::AssertionResult SameFile(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa) return ::testing::AssertionFailure() << a << " is missing";
    if (!fb) return ::testing::AssertionFailure() << b << " is missing";
    std::vector<char> ba(1 << 20), bb(1 << 20);
    std::uint64_t offset = 0;
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        const std::size_t na = static_cast<std::size_t>(fa.gcount());
        const std::size_t nb = static_cast<std::size_t>(fb.gcount());
        const std::size_t n = std::min(na, nb);
        for (std::size_t i = 0; i < n; ++i)
            if (ba[i] != bb[i])
                return ::testing::AssertionFailure()
                       << a << " and " << b << " differ at byte " << offset + i;
        if (na != nb)
            return ::testing::AssertionFailure()
                   << a << " and " << b << " differ in length after byte " << offset + n;
        if (na == 0) return ::testing::AssertionSuccess();
        offset += na;
    }
}

// Deterministic bytes, so that test processes running side by side make identical files.
std::string PatternBytes(std::uint64_t size, std::uint64_t seed) {
    std::string bytes(size, '\0');
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::uint64_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

// Writes `path` once: other test processes may be creating the same file at the same time,
// so it appears under its name only when complete.
void Publish(const fs::path& path, const std::string& content) {
    if (fs::exists(path) && fs::file_size(path) == content.size()) return;
    const fs::path temp = path.string() + ".tmp" + std::to_string(::getpid());
    WriteFile(temp, content);
    ::chmod(temp.c_str(), 0644);
    fs::rename(temp, path);
}

// Runs a filter program (iconv) on `input`, returning its output.
std::string Filter(const std::vector<std::string>& argv, const std::string& input) {
    const fs::path in = fs::temp_directory_path() / ("tarsel-ftp-filter-" + std::to_string(::getpid()));
    WriteFile(in, input);
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(in.c_str(), O_RDONLY);
        ::dup2(fd, 0);
        ::dup2(out[1], 1);
        ::close(out[0]);
        std::vector<char*> args;
        std::vector<std::string> copy = argv;
        for (std::string& a : copy) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string result;
    char buffer[65536];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    fs::remove(in);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return result;
}

// Source files shared by all tests, made once per machine in the temporary directory.
struct Sources {
    fs::path dir;
    fs::path big;       // kBigSize pattern bytes
    fs::path eucText;   // Japanese text in EUC-JP
    fs::path sjisText;  // the same text as iconv converts it to CP932
    fs::path utf8Text;  // the same text in UTF-8
};

const Sources& SharedSources() {
    static const Sources sources = [] {
        Sources s;
        s.dir = fs::temp_directory_path() / "tarsel-ftp-interop-sources";
        fs::create_directories(s.dir);
        s.big = s.dir / "big.bin";
        if (!fs::exists(s.big) || fs::file_size(s.big) != kBigSize)
            Publish(s.big, PatternBytes(kBigSize, 64));

        // Kanji, kana, full-width letters and ASCII; long enough that characters are cut by
        // the arrival and block boundaries of the transfers.
        const std::string sample =
            "日本語のテキストです。ファイル転送の試験をしています。\n"
            "漢字・ひらがな・カタカナ、ＡＢＣ１２３と半角 ASCII text 0123.\n"
            "東京都千代田区、春夏秋冬。吾輩は猫である。名前はまだ無い。\n";
        std::string utf8;
        while (utf8.size() < 300000) utf8 += sample;
        const std::string euc = Filter({"iconv", "-f", "UTF-8", "-t", "EUC-JP"}, utf8);
        const std::string sjis = Filter({"iconv", "-f", "EUC-JP", "-t", "CP932"}, euc);
        s.eucText = s.dir / "japanese.euc";
        s.sjisText = s.dir / "japanese.sjis";
        s.utf8Text = s.dir / "japanese.utf8";
        if (!euc.empty() && !sjis.empty()) {
            Publish(s.eucText, euc);
            Publish(s.sjisText, sjis);
            Publish(s.utf8Text, utf8);
        }
        return s;
    }();
    return sources;
}

// ---------------------------------------------------------------- the fixture

struct ServerMode {
    const char* server;
    bool passive;
    /// nullptr: plain FTP; "explicit" or "implicit": FTP over TLS with the test CA.
    const char* tls = nullptr;
};

// Names the parameter in gtest's messages (otherwise the bytes of the struct, pointers included).
void PrintTo(const ServerMode& mode, std::ostream* os) {
    *os << mode.server << (mode.passive ? " passive" : " active");
}

std::string ParamName(const ::testing::TestParamInfo<ServerMode>& info) {
    return std::string(info.param.server) + (info.param.passive ? "_passive" : "_active");
}

class TarselFtpInterop : public ::testing::TestWithParam<ServerMode> {
protected:
    void SetUp() override {
        const std::string fullName = GetParam().server;
        std::optional<FtpServer> server = fullName.find('_') == std::string::npos
                                              ? FtpServerNamed(GetParam().server)
                                              : FtpServerVariant(fullName);
        if (!server || server->root.empty())
            GTEST_SKIP() << GetParam().server << " is not running (scripts/ftp-servers.sh)";
        server_ = *server;
        // The TLS and IPv6 servers are the same programs: they allow what their plain
        // siblings allow.
        server_.name = fullName.substr(0, fullName.find('_'));
        if (GetParam().tls) {
            const char* ca = std::getenv("TARSEL_TLS_CA");
            if (ca == nullptr || *ca == '\0') GTEST_SKIP() << "no TARSEL_TLS_CA";
            caFile_ = ca;
        }
        tag_ = ParamName({GetParam(), 0}) + "-" + std::to_string(::getpid());

        char pattern[] = "/tmp/tarsel-ftp-local-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        local_ = pattern;

        // Fixtures to download, placed in the server's login root from this side. The root is
        // wiped whenever the servers restart, so they are put back as needed.
        fixtures_ = fs::path(server_.root) / "tarsel-ftp-fixtures";
        fs::create_directories(fixtures_);
        ::chmod(fixtures_.c_str(), 0755);
        Publish(fixtures_ / "empty.bin", "");
        Publish(fixtures_ / "two.bin", "\r\n");
        Publish(fixtures_ / "odd.bin", PatternBytes(kOddSize, 7));
        const Sources& sources = SharedSources();
        if (!fs::exists(fixtures_ / "big.bin")) {
            std::error_code ec;
            fs::create_hard_link(sources.big, fixtures_ / "big.bin", ec);
            if (ec && !fs::exists(fixtures_ / "big.bin")) fs::copy_file(sources.big, fixtures_ / "big.bin");
        }
        if (fs::exists(sources.eucText)) Publish(fixtures_ / "japanese.euc", ReadFile(sources.eucText));

        uploads_ = fs::path(server_.root) / server_.upload;
    }

    void TearDown() override {
        if (!local_.empty()) fs::remove_all(local_);
        for (const fs::path& p : remoteLeftovers_) {
            std::error_code ec;
            fs::remove_all(p, ec);
        }
    }

    // Program arguments for this server and mode, then `extra`.
    std::vector<std::string> Args(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"--port", server_.port,
                                         GetParam().passive ? "--passive" : "--active", "--trace"};
        if (GetParam().tls) {
            args.insert(args.end(), {"--tls", GetParam().tls, "--cacert", caFile_});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(server_.host);
        args.push_back(server_.user);
        args.push_back(server_.pass);
        return args;
    }
    RunResult Script(const std::string& script, std::vector<std::string> extra = {}) const {
        extra.push_back("-c");
        extra.push_back(script);
        return RunProgram(Args(extra));
    }

    std::string Local(const std::string& name) const { return (local_ / name).string(); }
    // A name in the upload directory that no other test uses; removed after the test.
    std::string UploadName(const std::string& base) {
        const std::string name = base + "-" + tag_;
        remoteLeftovers_.push_back(uploads_ / name);
        return name;
    }
    bool Named(const char* name) const { return server_.name == name; }

    FtpServer server_;
    std::string caFile_;
    std::string tag_;
    fs::path local_;
    fs::path fixtures_;
    fs::path uploads_;
    std::vector<fs::path> remoteLeftovers_;
};

#define EXPECT_RUN_OK(r)                                                              \
    do {                                                                              \
        EXPECT_FALSE((r).timedOut) << "tarsel-ftp stalled; its trace:\n" << (r).err;  \
        EXPECT_EQ((r).status, 0) << (r).err;                                          \
    } while (0)

// ---------------------------------------------------------------- the tests

TEST_P(TarselFtpInterop, ListsAndDownloadsSmallFilesExactly) {
    const RunResult r = Script(
        "cd tarsel-ftp-fixtures; pwd; dir; ls; size odd.bin; get empty.bin " + Local("empty") +
        "; get two.bin " + Local("two") + "; get odd.bin " + Local("odd"));
    EXPECT_RUN_OK(r);
    EXPECT_THAT(r.out, HasSubstr("/tarsel-ftp-fixtures"));
    // dir gives long lines ending in the name, ls the bare names, one per line.
    EXPECT_THAT(r.out, testing::ContainsRegex(" odd\\.bin\n"));
    EXPECT_THAT(r.out, HasSubstr("\nodd.bin\n"));
    EXPECT_THAT(r.out, HasSubstr("\n" + std::to_string(kOddSize) + "\n"));
    EXPECT_TRUE(SameFile(Local("empty"), fixtures_ / "empty.bin"));
    EXPECT_TRUE(SameFile(Local("two"), fixtures_ / "two.bin"));
    EXPECT_TRUE(SameFile(Local("odd"), fixtures_ / "odd.bin"));
    EXPECT_FALSE(fs::exists(Local("odd.part")));
}

TEST_P(TarselFtpInterop, BigFileDownloadsAndUploadsExactly) {
    const std::string remote = UploadName("big.up");
    const RunResult r = Script("get tarsel-ftp-fixtures/big.bin " + Local("big") + "; cd " +
                               server_.upload + "; put " + Local("big") + " " + remote);
    EXPECT_RUN_OK(r);
    EXPECT_TRUE(SameFile(Local("big"), SharedSources().big));
    EXPECT_TRUE(SameFile(uploads_ / remote, SharedSources().big));
}

TEST_P(TarselFtpInterop, UploadsSmallFilesExactlyALoneZeroByteToo) {
    WriteFile(Local("empty"), "");
    WriteFile(Local("one"), "x");
    WriteFile(Local("two"), "ab");
    WriteFile(Local("odd"), PatternBytes(kOddSize, 9));
    WriteFile(Local("zero"), std::string(1, '\0'));
    const std::string e = UploadName("empty"), n = UploadName("one"), t = UploadName("two"),
                      o = UploadName("odd"), z = UploadName("zero");
    // An odd block size puts the one-byte rule at work at the end of the odd file; a file of
    // one zero byte ends with the explicit end of upload, which no content can imitate.
    const RunResult r = Script("cd " + server_.upload + "; put " + Local("empty") + " " + e +
                                   "; put " + Local("one") + " " + n + "; put " + Local("two") +
                                   " " + t + "; put " + Local("odd") + " " + o + "; put " +
                                   Local("zero") + " " + z + "; pwd",
                               {"--chunk", "1000002"});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SameFile(uploads_ / e, Local("empty")));
    EXPECT_TRUE(SameFile(uploads_ / n, Local("one")));
    EXPECT_TRUE(SameFile(uploads_ / t, Local("two")));
    EXPECT_TRUE(SameFile(uploads_ / o, Local("odd")));
    EXPECT_TRUE(SameFile(uploads_ / z, Local("zero")));
    EXPECT_NE(r.out, "");
}

TEST_P(TarselFtpInterop, RestResumesADownloadIntoTheLocalFile) {
    const std::string odd = ReadFile(fixtures_ / "odd.bin");
    const std::uint64_t offset = 333333;
    WriteFile(Local("resumed"), odd.substr(0, offset) + "stale bytes past the offset");
    const RunResult r = Script("rest " + std::to_string(offset) +
                               "; get tarsel-ftp-fixtures/odd.bin " + Local("resumed"));
    EXPECT_RUN_OK(r);
    EXPECT_THAT(r.err, HasSubstr("REST " + std::to_string(offset)));
    EXPECT_TRUE(SameFile(Local("resumed"), fixtures_ / "odd.bin"));
}

TEST_P(TarselFtpInterop, AppendAddsToTheRemoteFileWhereTheServerAllows) {
    WriteFile(Local("head"), "first part,");
    WriteFile(Local("tail"), "second part.");
    const std::string remote = UploadName("appended");
    const RunResult r = Script("cd " + server_.upload + "; put " + Local("head") + " " + remote +
                               "; append " + Local("tail") + " " + remote);
    EXPECT_FALSE(r.timedOut) << r.err;
    if (Named("pureftpd") || Named("proftpd")) {
        // Anonymous appends are refused by these two servers as they are set up here.
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, testing::ContainsRegex("tarsel-ftp: (server [0-9]+|connection|local): append "));
        EXPECT_EQ(ReadFile(uploads_ / remote), "first part,");
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadFile(uploads_ / remote), "first part,second part.");
    }
}

TEST_P(TarselFtpInterop, DirectoryAndFileCommands) {
    WriteFile(Local("two"), "ok");
    const std::string dir = UploadName("dir");
    const RunResult r = Script("cd " + server_.upload + "; mkdir " + dir + "; put " + Local("two") +
                                   " " + dir + "/a; rename " + dir + "/a " + dir + "/b; ls " + dir +
                                   "; size " + dir + "/b; delete " + dir + "/b; rmdir " + dir,
                               {"--keep-going"});
    EXPECT_FALSE(r.timedOut) << r.err;
    if (Named("pureftpd")) {
        // Anonymous users may not rename, delete or remove directories there.
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: server 550: rename "));
        EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: server 550: delete "));
        EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: server 550: rmdir "));
        EXPECT_TRUE(fs::exists(uploads_ / dir / "a"));
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("b\n"));
        EXPECT_THAT(r.out, HasSubstr("\n2\n"));
        EXPECT_FALSE(fs::exists(uploads_ / dir)) << "rmdir removed the directory";
    }
}

TEST_P(TarselFtpInterop, PatternsAreExpandedFromTheListingByTheClient) {
    // pyftpdlib expands nothing itself: what matches is decided here, on every server alike.
    for (const char* name : {"a.txt", "b.txt", "c.log"}) WriteFile(Local(name), name);
    const std::string dir = UploadName("glob");
    const RunResult r = Script("cd " + server_.upload + "; mkdir " + dir + "; cd " + dir + "; put " + Local("a.txt") +
                                   "; put " + Local("b.txt") + "; put " + Local("c.log") + "; cls *.txt; get *.txt " +
                                   Local("out") + "/; cat \"c.lo?\"; rm *.txt; cls; rm *.zip",
                               {"--keep-going"});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1) << "the last pattern matches nothing";
    EXPECT_EQ(ReadFile(fs::path(Local("out")) / "a.txt"), "a.txt");
    EXPECT_EQ(ReadFile(fs::path(Local("out")) / "b.txt"), "b.txt");
    EXPECT_THAT(r.err, HasSubstr("get c.lo?")) << "a quoted pattern is a name as written";
    EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: local: rm: no remote file matches '*.zip'\n"));
    if (Named("pureftpd")) {
        EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: server 550: delete a.txt"));
    } else {
        EXPECT_EQ(r.out, "a.txt\nb.txt\nc.log\n");
        EXPECT_FALSE(fs::exists(uploads_ / dir / "a.txt"));
        EXPECT_TRUE(fs::exists(uploads_ / dir / "c.log"));
    }
}

TEST_P(TarselFtpInterop, MissingFileFailsWithoutTouchingLocalFiles) {
    WriteFile(Local("kept"), "must survive");
    const RunResult r = Script("get tarsel-ftp-fixtures/no-such-file " + Local("new") +
                               "; get tarsel-ftp-fixtures/no-such-file " + Local("kept"),
                               {"--keep-going"});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::ContainsRegex("tarsel-ftp: server 550: get [^\n]+\n"));
    EXPECT_FALSE(fs::exists(Local("new")));
    EXPECT_FALSE(fs::exists(Local("new.part")));
    EXPECT_FALSE(fs::exists(Local("kept.part")));
    EXPECT_EQ(ReadFile(Local("kept")), "must survive");
    // No byte reaches the host. (The open and close events may come: in passive mode the
    // data connection is made before RETR is answered, and pyftpdlib connects on PORT.)
    EXPECT_THAT(r.err, Not(HasSubstr("event: GetData")));
}

TEST_P(TarselFtpInterop, EucTextIsConvertedLikeIconvBothWays) {
    const Sources& sources = SharedSources();
    if (!fs::exists(sources.sjisText)) GTEST_SKIP() << "iconv could not make the EUC-JP sample";
    const std::string remote = UploadName("japanese.euc");
    // The small odd block size cuts multibyte characters between upload blocks.
    const RunResult r = Script("get tarsel-ftp-fixtures/japanese.euc " + Local("sjis") + "; cd " +
                                   server_.upload + "; put " + sources.sjisText.string() + " " +
                                   remote,
                               {"--filecode", "EUC", "--chunk", "777"});
    EXPECT_RUN_OK(r);
    EXPECT_TRUE(SameFile(Local("sjis"), sources.sjisText));
    EXPECT_TRUE(SameFile(uploads_ / remote, sources.eucText));
}

TEST_P(TarselFtpInterop, AUtf8HostGetsEucTextAndStoresItAsJisLikeIconv) {
    const Sources& sources = SharedSources();
    if (!fs::exists(sources.utf8Text)) GTEST_SKIP() << "iconv could not make the samples";
    const std::string remote = UploadName("japanese.jis");
    const RunResult r = Script("get tarsel-ftp-fixtures/japanese.euc " + Local("utf8") +
                                   "; cd " + server_.upload + "; put " +
                                   sources.utf8Text.string() + " " + remote,
                               {"--filecode", "EUC", "--hostcode", "UTF8", "--chunk", "777"});
    EXPECT_RUN_OK(r);
    EXPECT_TRUE(SameFile(Local("utf8"), sources.utf8Text));
    // Stored as EUC here (the file code applies to both directions); then back through JIS.
    EXPECT_TRUE(SameFile(uploads_ / remote, sources.eucText));
    const std::string back = UploadName("japanese.jis2");
    const RunResult j = Script("cd " + server_.upload + "; put " + sources.utf8Text.string() +
                                   " " + back,
                               {"--filecode", "JIS", "--hostcode", "UTF8", "--chunk", "1001"});
    EXPECT_RUN_OK(j);
    EXPECT_EQ(Filter({"iconv", "-f", "ISO-2022-JP", "-t", "UTF-8"}, ReadFile(uploads_ / back)),
              ReadFile(sources.utf8Text));
}

TEST_P(TarselFtpInterop, Utf8NamesAreListedFetchedStoredRenamedAndDeleted) {
    // pure-ftpd lets anonymous users neither rename nor delete.
    if (Named("pureftpd")) GTEST_SKIP() << "pure-ftpd refuses RNFR and DELE to anonymous users";
    const std::string name = "caf\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.txt";
    Publish(fixtures_ / name, "named in UTF-8\n");
    const std::string stored = UploadName("\xE3\x82\xA2\xE3\x83\x83\xE3\x83\x97-\xC3\xA9");
    const std::string renamed = UploadName("\xE5\x90\x8D\xE5\x89\x8D-\xF0\x9F\x98\x80");
    const RunResult r = Script(
        "cd tarsel-ftp-fixtures; ls; get \"" + name + "\" " + Local("named") + "; cd /" +
            server_.upload + "; put " + Local("named") + " \"" + stored + "\"; rename \"" +
            stored + "\" \"" + renamed + "\"; ls",
        {"--syscode", "UTF8"});
    EXPECT_RUN_OK(r);
    EXPECT_THAT(r.out, HasSubstr(name + "\n"));
    EXPECT_EQ(ReadFile(Local("named")), "named in UTF-8\n");
    EXPECT_THAT(r.out, HasSubstr(renamed + "\n"));
    EXPECT_EQ(ReadFile(uploads_ / renamed), "named in UTF-8\n");
    EXPECT_FALSE(fs::exists(uploads_ / stored));
    const RunResult d = Script("cd " + server_.upload + "; delete \"" + renamed + "\"",
                               {"--syscode", "UTF8"});
    EXPECT_RUN_OK(d);
    EXPECT_FALSE(fs::exists(uploads_ / renamed));
}

// Everything under `root`, by its path relative to root: directories, and files by content.
std::map<std::string, std::string> TreeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(entry.path(), root).string();
        // Size and hash keep a failure's message short; equal bytes give equal entries.
        const std::string bytes = entry.is_directory() ? std::string() : ReadFile(entry.path());
        tree[rel] = entry.is_directory() ? std::string("<dir>")
                                         : std::to_string(bytes.size()) + " bytes, hash " +
                                               std::to_string(std::hash<std::string>()(bytes));
    }
    return tree;
}

std::size_t CountLines(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_P(TarselFtpInterop, MirrorCopiesANestedJapaneseTreeUpAndBackExactly) {
    const fs::path tree = local_ / "tree";
    fs::create_directories(tree / "a" / "b" / "c");
    fs::create_directories(tree / "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E" / "\xE6\xB7\xB1\xE3\x81\x84");
    fs::create_directories(tree / "with space");
    WriteFile(tree / "top.txt", "top\n");
    WriteFile(tree / "empty", "");
    WriteFile(tree / "a" / "b" / "c" / "odd.bin", PatternBytes(kOddSize, 3));
    WriteFile(tree / "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E" / "\xE6\xB7\xB1\xE3\x81\x84" /
                  "\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB.txt",
              "\xE4\xB8\xAD\n");
    WriteFile(tree / "with space" / "x y.txt", "xy");
    const std::string remote = UploadName("mirror");
    const std::string remoteDir = "/" + server_.upload + "/" + remote;

    const RunResult up = Script("mirror -R " + tree.string() + " " + remoteDir, {"--syscode", "UTF8"});
    EXPECT_RUN_OK(up);
    EXPECT_EQ(TreeOf(uploads_ / remote), TreeOf(tree)) << "what the server stored";

    const fs::path back = local_ / "back";
    const RunResult down = Script("mirror " + remoteDir + " " + back.string(), {"--syscode", "UTF8"});
    EXPECT_RUN_OK(down);
    EXPECT_EQ(TreeOf(back), TreeOf(tree));

    // A second run in each direction finds every name and size in place and moves nothing.
    const RunResult again = Script("mirror -R " + tree.string() + " " + remoteDir + "; mirror " +
                                       remoteDir + " " + back.string(),
                                   {"--syscode", "UTF8"});
    EXPECT_RUN_OK(again);
    EXPECT_EQ(CountLines(again.err, ">>STOR "), 0u) << again.err;
    EXPECT_EQ(CountLines(again.err, ">>RETR "), 0u) << again.err;
}

TEST_P(TarselFtpInterop, MgetMputAndRegetMoveManyFilesAndResume) {
    const std::string remote = UploadName("many");
    fs::create_directories(local_ / "src");
    for (const char* name : {"one.txt", "two.txt", "three.bin"})
        WriteFile(local_ / "src" / name, std::string("content of ") + name);
    const std::string dir = "/" + server_.upload + "/" + remote;
    const RunResult up = Script("mkdir " + dir + "; cd " + dir + "; mput " +
                                (local_ / "src").string() + "/*.txt " + (local_ / "src").string() +
                                "/three.bin");
    EXPECT_RUN_OK(up);
    EXPECT_EQ(ReadFile(uploads_ / remote / "one.txt"), "content of one.txt");
    EXPECT_EQ(ReadFile(uploads_ / remote / "three.bin"), "content of three.bin");

    fs::create_directories(local_ / "dst");
    const std::string odd = PatternBytes(kOddSize, 11);
    WriteFile(uploads_ / remote / "odd.bin", odd);
    WriteFile(local_ / "dst" / "odd.bin", odd.substr(0, 1000));
    const RunResult down = Script("lcd " + (local_ / "dst").string() + "; mget " + dir +
                                  "/*.txt; reget " + dir + "/odd.bin odd.bin");
    EXPECT_RUN_OK(down);
    EXPECT_EQ(ReadFile(local_ / "dst" / "two.txt"), "content of two.txt");
    EXPECT_FALSE(fs::exists(local_ / "dst" / "three.bin")) << "*.txt only";
    EXPECT_THAT(down.err, HasSubstr(">>REST 1000"));
    EXPECT_EQ(ReadFile(local_ / "dst" / "odd.bin"), odd);
}

TEST_P(TarselFtpInterop, ParallelMputMgetAndPgetMoveFilesExactly) {
    const std::string remote = UploadName("parallel");
    fs::create_directories(local_ / "src");
    for (int i = 0; i < 7; ++i) WriteFile(local_ / "src" / ("f" + std::to_string(i)), PatternBytes(1000 + 977 * i, i));
    const std::string dir = "/" + server_.upload + "/" + remote;
    const RunResult up = Script("mkdir " + dir + "; cd " + dir + "; mput -P 3 " + (local_ / "src").string() + "/*");
    EXPECT_RUN_OK(up);
    for (int i = 0; i < 7; ++i) {
        const std::string name = "f" + std::to_string(i);
        EXPECT_TRUE(SameFile(uploads_ / remote / name, local_ / "src" / name)) << name;
    }

    fs::create_directories(local_ / "dst");
    const RunResult down = Script("lcd " + (local_ / "dst").string() + "; cd " + dir +
                                  "; mget -P 4 f*; pget -n 4 /tarsel-ftp-fixtures/big.bin big; "
                                  "get --segments 3 /tarsel-ftp-fixtures/odd.bin odd");
    EXPECT_RUN_OK(down);
    for (int i = 0; i < 7; ++i) {
        const std::string name = "f" + std::to_string(i);
        EXPECT_TRUE(SameFile(local_ / "dst" / name, local_ / "src" / name)) << name;
    }
    EXPECT_TRUE(SameFile(local_ / "dst" / "big", SharedSources().big));
    EXPECT_TRUE(SameFile(local_ / "dst" / "odd", fixtures_ / "odd.bin"));
    // The big file came in ranges, each from its own offset.
    EXPECT_THAT(down.err, HasSubstr(">>REST "));

    // A file that is not there fails the command and leaves nothing behind.
    const RunResult missing = Script("lcd " + (local_ / "dst").string() + "; pget -n 2 /no-such-" + tag_);
    EXPECT_NE(missing.status, 0);
    EXPECT_FALSE(fs::exists(local_ / "dst" / ("no-such-" + tag_)));
}

TEST_P(TarselFtpInterop, RegetOfALocalFileLongerThanTheRemoteOneFailsAndKeepsIt) {
    const std::string longer = PatternBytes(kOddSize + 10, 7);
    WriteFile(local_ / "odd.bin", longer);
    const RunResult r = Script("reget tarsel-ftp-fixtures/odd.bin " + Local("odd.bin"));
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("cannot resume: '" + Local("odd.bin") + "' has " +
                                 std::to_string(kOddSize + 10) + " bytes, the file on the server only " +
                                 std::to_string(kOddSize)));
    EXPECT_THAT(r.err, Not(HasSubstr(">>RETR")));
    EXPECT_EQ(ReadFile(local_ / "odd.bin"), longer);
}

TEST_P(TarselFtpInterop, AbortStopsARunningDownloadAndFailsIt) {
    // The download goes to standard output, which this test stops reading: the transfer is
    // surely still running when abort arrives.
    Child child(Args());
    ASSERT_TRUE(child.Started());
    child.Write("get tarsel-ftp-fixtures/big.bin -\n");
    child.ReadOutputAtLeast(64 * 1024);
    child.Write("abort\npwd\n");
    const RunResult r = child.Finish();
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::ContainsRegex("tarsel-ftp: local: get [^:]+: aborted"));
    EXPECT_LT(r.out.size(), kBigSize);
    EXPECT_THAT(r.out, Not(HasSubstr("is the current directory"))) << "stopped after the failure";
}

TEST_P(TarselFtpInterop, AbortOfAWaitingDownloadLeavesNoFile) {
    Child child(Args());
    ASSERT_TRUE(child.Started());
    child.Write("get tarsel-ftp-fixtures/odd.bin " + Local("odd") + "\nabort\n");
    const RunResult r = child.Finish();
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::ContainsRegex("tarsel-ftp: local: get [^:]+: aborted"));
    EXPECT_FALSE(fs::exists(Local("odd")));
    EXPECT_FALSE(fs::exists(Local("odd.part")));
}

// The size of the partial file of a download to `local` running now ("LOCAL.UNIQUE.part").
std::uintmax_t RunningPartSize(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string n = entry.path().filename().string();
        if (n.rfind(name + ".", 0) == 0 && n.size() > 5 && n.substr(n.size() - 5) == ".part")
            return fs::file_size(entry.path(), ec);
    }
    return 0;
}

TEST_P(TarselFtpInterop, AnInterruptedDownloadKeepsItsPartAndGetCFetchesOnlyTheRest) {
    {
        Child child(Args());
        ASSERT_TRUE(child.Started());
        child.Write("get tarsel-ftp-fixtures/big.bin " + Local("big") + "\n");
        child.PumpUntil([&] { return RunningPartSize(local_, "big") >= (1u << 20); });
        child.Signal(SIGINT);
        const RunResult r = child.Finish();
        EXPECT_FALSE(r.timedOut) << r.err;
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_THAT(r.err, HasSubstr("what arrived is kept in '" + Local("big.part") + "'"));
    }
    EXPECT_FALSE(fs::exists(Local("big"))) << "the final name only for the whole file";
    ASSERT_TRUE(fs::exists(Local("big.part")));
    const std::uintmax_t kept = fs::file_size(Local("big.part"));
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, kBigSize);
    const RunResult again = Script("get -c tarsel-ftp-fixtures/big.bin " + Local("big"));
    EXPECT_RUN_OK(again);
    EXPECT_THAT(again.err, HasSubstr(">>REST " + std::to_string(kept)));
    EXPECT_TRUE(SameFile(Local("big"), fixtures_ / "big.bin"));
    EXPECT_FALSE(fs::exists(Local("big.part")));
}

TEST_P(TarselFtpInterop, ADownloadCutByALostConnectionKeepsItsPartAndGetCFinishesIt) {
    if (GetParam().tls || server_.host.find(':') != std::string::npos)
        GTEST_SKIP() << "the relay that loses the connection is plain IPv4";
    ControlRelay relay(server_.host, server_.port);
    ASSERT_FALSE(relay.Port().empty());
    std::vector<std::string> args = Args();
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--port") args[i + 1] = relay.Port();
    {
        Child child(args);
        ASSERT_TRUE(child.Started());
        child.Write("get tarsel-ftp-fixtures/big.bin " + Local("big") + "\n");
        child.PumpUntil([&] { return RunningPartSize(local_, "big") >= (1u << 20); });
        relay.Cut();
        const RunResult r = child.Finish();
        EXPECT_FALSE(r.timedOut) << r.err;
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_THAT(r.err, HasSubstr("what arrived is kept in '" + Local("big.part") + "'"));
    }
    EXPECT_FALSE(fs::exists(Local("big")));
    ASSERT_TRUE(fs::exists(Local("big.part")));
    const std::uintmax_t kept = fs::file_size(Local("big.part"));
    EXPECT_LT(kept, kBigSize);
    const RunResult again = Script("reget tarsel-ftp-fixtures/big.bin " + Local("big"));
    EXPECT_RUN_OK(again);
    EXPECT_THAT(again.err, HasSubstr(">>REST " + std::to_string(kept)));
    EXPECT_TRUE(SameFile(Local("big"), fixtures_ / "big.bin"));
}

std::int64_t ModifiedSeconds(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

void SetModifiedSeconds(const fs::path& path, std::int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

constexpr std::int64_t kJan2020 = 1577934245;  // 2020-01-02 03:04:05 UTC

TEST_P(TarselFtpInterop, MirrorRefetchesAFileChangedAtTheSameSizeAndKeepsTheServersTimes) {
    const std::string remote = UploadName("by-time");
    const fs::path there = uploads_ / remote;
    fs::create_directories(there / "sub");
    WriteFile(there / "f.txt", "aaaa");
    WriteFile(there / "sub" / "g.txt", "gg");
    SetModifiedSeconds(there / "f.txt", kJan2020);
    SetModifiedSeconds(there / "sub" / "g.txt", kJan2020 + 7);
    const std::string remoteDir = "/" + server_.upload + "/" + remote;
    const fs::path back = local_ / "back";

    const RunResult first = Script("mirror " + remoteDir + " " + back.string());
    EXPECT_RUN_OK(first);
    EXPECT_EQ(ReadFile(back / "f.txt"), "aaaa");
    EXPECT_EQ(ModifiedSeconds(back / "f.txt"), kJan2020);
    EXPECT_EQ(ModifiedSeconds(back / "sub" / "g.txt"), kJan2020 + 7);

    WriteFile(there / "f.txt", "bbbb");
    SetModifiedSeconds(there / "f.txt", kJan2020 + 3600);
    const RunResult second = Script("mirror " + remoteDir + " " + back.string());
    EXPECT_RUN_OK(second);
    EXPECT_EQ(CountLines(second.err, ">>RETR "), 1u) << second.err;
    EXPECT_EQ(ReadFile(back / "f.txt"), "bbbb");
    EXPECT_EQ(ModifiedSeconds(back / "f.txt"), kJan2020 + 3600);

    const RunResult third = Script("mirror " + remoteDir + " " + back.string());
    EXPECT_RUN_OK(third);
    EXPECT_EQ(CountLines(third.err, ">>RETR "), 0u) << third.err;
}

TEST_P(TarselFtpInterop, MirrorUpSendsAFileChangedAtTheSameSizeOnceAndSetsTheRemoteTime) {
    const fs::path tree = local_ / "up";
    fs::create_directories(tree);
    WriteFile(tree / "f.txt", "aaaa");
    SetModifiedSeconds(tree / "f.txt", kJan2020);
    const std::string remote = UploadName("up-by-time");
    const std::string remoteDir = "/" + server_.upload + "/" + remote;
    const RunResult first = Script("mirror -R " + tree.string() + " " + remoteDir);
    EXPECT_RUN_OK(first);
    EXPECT_EQ(ReadFile(uploads_ / remote / "f.txt"), "aaaa");
    // Where MFMT was offered and taken (213), the remote copy carries the local time.
    const auto mfmt = first.err.find(">>MFMT ");
    const auto reply = first.err.find("\n2", mfmt);
    const bool setsTimes = mfmt != std::string::npos && reply != std::string::npos &&
                           first.err.compare(reply + 1, 3, "213") == 0 &&
                           first.err.find('\n', mfmt) == reply;
    if (setsTimes) { EXPECT_EQ(ModifiedSeconds(uploads_ / remote / "f.txt"), kJan2020); }
    // pure-ftpd lets anonymous users neither overwrite a file nor set its time.
    if (Named("pureftpd")) return;

    WriteFile(tree / "f.txt", "cccc");
    SetModifiedSeconds(tree / "f.txt", ::time(nullptr) + 3600);  // newer than any upload
    const RunResult second = Script("mirror -R " + tree.string() + " " + remoteDir);
    EXPECT_RUN_OK(second);
    EXPECT_EQ(CountLines(second.err, ">>STOR "), 1u) << second.err;
    EXPECT_EQ(ReadFile(uploads_ / remote / "f.txt"), "cccc");

    const RunResult third = Script("mirror -R " + tree.string() + " " + remoteDir);
    EXPECT_RUN_OK(third);
    if (setsTimes) { EXPECT_EQ(CountLines(third.err, ">>STOR "), 0u) << third.err; }
}

// mirror -P 8 up and back down, and pget -n 4 of the tree's big file: the walk on the
// session's connection, the files over eight more, every byte and the times kept.
TEST_P(TarselFtpInterop, ParallelMirrorBothWaysAndPgetAreExact) {
    const fs::path tree = local_ / "tree";
    for (const char* d : {"a", "a/b", "c"}) fs::create_directories(tree / d);
    for (int i = 0; i < 30; ++i) {
        const fs::path at = tree / (i % 3 == 0 ? "" : i % 3 == 1 ? "a" : "a/b") / ("f" + std::to_string(i));
        // Sizes from 0 up to a few data blocks; a single byte is never a zero (it cannot be sent).
        WriteFile(at, PatternBytes(i == 0 ? 0 : i == 1 ? 1 : static_cast<std::uint64_t>(i) * 4099, i + 1));
    }
    WriteFile(tree / "c" / "big.bin", PatternBytes(3 * 1024 * 1024 + 4321, 99));
    const std::string remote = UploadName("pmirror");
    const std::string remoteDir = "/" + server_.upload + "/" + remote;

    const RunResult up = Script("mirror -R -P 8 " + tree.string() + " " + remoteDir);
    EXPECT_RUN_OK(up);
    EXPECT_EQ(TreeOf(uploads_ / remote), TreeOf(tree)) << "what the server stored";

    const fs::path back = local_ / "back";
    const RunResult down = Script("mirror -P 8 " + remoteDir + " " + back.string());
    EXPECT_RUN_OK(down);
    EXPECT_EQ(TreeOf(back), TreeOf(tree));
    EXPECT_EQ(ModifiedSeconds(back / "a" / "f4"), ModifiedSeconds(uploads_ / remote / "a" / "f4"))
        << "the server's time";
    // The files went over the run's connections, numbered in the trace, not the session's.
    EXPECT_THAT(down.err, HasSubstr("] GetFile>>RETR "));
    EXPECT_THAT(down.err, Not(HasSubstr("\nGetFile>>RETR ")));

    // Nothing has changed: a second run moves nothing.
    const RunResult again = Script("mirror -P 8 " + remoteDir + " " + back.string());
    EXPECT_RUN_OK(again);
    EXPECT_EQ(CountLines(again.err, ">>RETR "), 0u) << again.err;

    const RunResult pget = Script("pget -n 4 " + remoteDir + "/c/big.bin " + Local("big"));
    EXPECT_RUN_OK(pget);
    EXPECT_TRUE(SameFile(Local("big"), tree / "c" / "big.bin"));
    EXPECT_EQ(CountLines(pget.err, ">>REST "), 3u) << "three ranges start past the first";
}

TEST_P(TarselFtpInterop, Utf8NamesComeOutRightWithoutSyscode) {
    // pyftpdlib says UTF8 in FEAT; vsftpd says nothing, and the terminal's UTF-8 decides.
    if (!Named("pyftpdlib") && !Named("vsftpd")) GTEST_SKIP() << "checked on pyftpdlib and vsftpd";
    const std::string name = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB-\xC3\xA9.txt";
    Publish(fixtures_ / name, "x\n");
    const char* saved = std::getenv("LC_ALL");
    const std::string before = saved ? saved : "";
    ::setenv("LC_ALL", Named("vsftpd") ? "C.UTF-8" : "C", 1);
    const RunResult r = Script("cd tarsel-ftp-fixtures; ls; dir; get \"" + name + "\" " + Local("n"));
    if (saved) ::setenv("LC_ALL", before.c_str(), 1);
    else ::unsetenv("LC_ALL");
    EXPECT_RUN_OK(r);
    EXPECT_THAT(r.out, HasSubstr("\n" + name + "\n"));
    EXPECT_THAT(r.out, HasSubstr(" " + name + "\n"));
    EXPECT_EQ(ReadFile(Local("n")), "x\n");
    if (Named("pyftpdlib")) { EXPECT_THAT(r.err, HasSubstr(">>OPTS UTF8 ON")); }
}

INSTANTIATE_TEST_SUITE_P(Servers, TarselFtpInterop,
                         ::testing::Values(ServerMode{"vsftpd", false}, ServerMode{"vsftpd", true},
                                           ServerMode{"pureftpd", false},
                                           ServerMode{"pureftpd", true},
                                           ServerMode{"proftpd", false}, ServerMode{"proftpd", true},
                                           ServerMode{"pyftpdlib", false},
                                           ServerMode{"pyftpdlib", true}),
                         ParamName);

// The same, over TLS (the control and every data connection protected, each data connection
// resuming the control connection's session) and over IPv6 (EPSV and EPRT).
INSTANTIATE_TEST_SUITE_P(
    SecureAndIpv6, TarselFtpInterop,
    ::testing::Values(ServerMode{"vsftpd_tls", false, "explicit"},
                      ServerMode{"vsftpd_tls", true, "explicit"},
                      ServerMode{"vsftpd_implicit", false, "implicit"},
                      ServerMode{"vsftpd_implicit", true, "implicit"},
                      ServerMode{"proftpd_tls", false, "explicit"},
                      ServerMode{"proftpd_tls", true, "explicit"},
                      ServerMode{"pureftpd_tls", false, "explicit"},
                      ServerMode{"pureftpd_tls", true, "explicit"},
                      ServerMode{"vsftpd_ipv6", false}, ServerMode{"vsftpd_ipv6", true},
                      ServerMode{"pyftpdlib_ipv6", false}, ServerMode{"pyftpdlib_ipv6", true}),
    ParamName);

TEST(TarselFtpInteropTls, ACertificateFromAnotherCaIsRefusedBeforeTheLogin) {
    std::optional<FtpServer> server = FtpServerVariant("vsftpd_tls");
    const char* other = std::getenv("TARSEL_TLS_OTHER_CA");
    if (!server || other == nullptr) GTEST_SKIP() << "vsftpd_tls is not running";
    const RunResult r = RunProgram({"--port", server->port, "--tls", "explicit", "--cacert", other,
                                    "--trace", "-c", "pwd", server->host, server->user,
                                    server->pass});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: connection: TLS: certificate verify failed"));
    EXPECT_THAT(r.err, Not(HasSubstr(">>USER"))) << "nothing of the login was sent";
    EXPECT_EQ(r.out, "");
}

TEST(TarselFtpInteropTls, WithoutVerificationTheSameServerIsReached) {
    std::optional<FtpServer> server = FtpServerVariant("vsftpd_implicit");
    if (!server) GTEST_SKIP() << "vsftpd_implicit is not running";
    const RunResult r = RunProgram({"--port", server->port, "--tls", "implicit", "--insecure",
                                    "-c", "pwd", server->host, server->user, server->pass});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"/\""));
}

TEST(TarselFtpInteropTls, AServerThatDemandsTlsRefusesAPlainLoginAndAPlainServerRefusesAuth) {
    std::optional<FtpServer> secure = FtpServerVariant("vsftpd_tls");
    std::optional<FtpServer> plain = FtpServerNamed("vsftpd");
    const char* ca = std::getenv("TARSEL_TLS_CA");
    if (!secure || !plain || ca == nullptr) GTEST_SKIP() << "vsftpd_tls or vsftpd is not running";
    RunResult r = RunProgram({"--port", secure->port, "--tls", "off", "-c", "pwd", secure->host,
                              secure->user, secure->pass});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: server 530: Connect: "));
    EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: hint: the server wants TLS, and TLS is off here"));
    r = RunProgram({"--port", plain->port, "--tls", "explicit", "--cacert", ca, "--trace", "-c",
                    "pwd", plain->host, plain->user, plain->pass});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: connection: TLS refused by the server"));
    EXPECT_THAT(r.err, Not(HasSubstr(">>USER"))) << "no login in the clear";
}

// Settings and login failures, against one server: they do not depend on the server.
TEST(TarselFtpInteropLogin, WrongLoginFailsAndStops) {
    // vsftpd refuses every user but the anonymous one at once.
    std::optional<FtpServer> server = FtpServerNamed("vsftpd");
    if (!server) GTEST_SKIP() << "vsftpd is not running";
    const RunResult r =
        RunProgram({"--port", server->port, "-c", "pwd", server->host, "no-such-user", "pw"});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::ContainsRegex("tarsel-ftp: server 530: Connect: "));
    EXPECT_EQ(r.out, "") << "pwd did not run";
}

TEST(TarselFtpInteropLogin, OpenOfAnotherServerLogsInAnonymouslyNotWithThePreviousPassword) {
    // pyftpdlib knows only its own user, vsftpd only the anonymous one.
    std::optional<FtpServer> first = FtpServerNamed("pyftpdlib");
    std::optional<FtpServer> second = FtpServerNamed("vsftpd");
    if (!first || !second) GTEST_SKIP() << "pyftpdlib or vsftpd is not running";
    const RunResult r = RunProgram({"--port", first->port, "--trace", "-c",
                                    "pwd; close; open localhost " + second->port + "; pwd", first->host,
                                    first->user, first->pass});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr(">>USER anonymous"));
    EXPECT_EQ(r.err.find("PASS " + first->pass), r.err.rfind("PASS " + first->pass))
        << "its password went to the first server only";
}

// pyftpdlib's MLSD calls a link to a directory a directory, and LIST or MLSD of a path that
// is a link lists the directory it points to.
TEST(TarselFtpInteropWalks, RmRecursiveFindAndDuLeaveWhatLinksPointTo) {
    std::optional<FtpServer> server = FtpServerNamed("pyftpdlib");
    if (!server) GTEST_SKIP() << "pyftpdlib is not running";
    const std::string tag = "walks-" + std::to_string(::getpid());
    const fs::path base = fs::path(server->root) / server->upload / tag;
    fs::create_directories(base / "top" / "sub");
    fs::create_directories(base / "victim");
    std::ofstream(base / "victim" / "keep.txt") << "keep";
    std::ofstream(base / "top" / "f.txt") << "f";
    std::ofstream(base / "top" / "sub" / "g.txt") << "g";
    fs::create_directory_symlink("../victim", base / "top" / "lnk");
    fs::create_directory_symlink("victim", base / "lnk2");
    const std::string cd = "cd " + server->upload + "/" + tag + "; ";
    RunResult r = RunProgram({"--port", server->port, "-c", cd + "find .; du -s top", server->host,
                              server->user, server->pass});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("./top/lnk\n")) << "listed, not walked into";
    EXPECT_THAT(r.out, Not(HasSubstr("./top/lnk/")));
    EXPECT_THAT(r.out, Not(HasSubstr("./lnk2/")));
    r = RunProgram({"--port", server->port, "-c", cd + "rm -r top; rm -r lnk2", server->host, server->user,
                    server->pass});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(base / "top")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(base / "lnk2")));
    EXPECT_EQ(ReadFile(base / "victim" / "keep.txt"), "keep");
    fs::remove_all(base);
}

TEST(TarselFtpInteropLogin, RefusedConnectionIsReported) {
    // Port 1 on loopback has no listener on a test machine.
    const RunResult r = RunProgram({"--port", "1", "-c", "pwd", "127.0.0.1"});
    EXPECT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("tarsel-ftp: connection: could not connect to 127.0.0.1:1: "));
}

}  // namespace
