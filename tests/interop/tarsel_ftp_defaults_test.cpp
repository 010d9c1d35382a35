// tarsel-ftp's defaults against the real servers: TLS where the server takes it, and names
// that come out right without a locale (as under cron), from a UTF-8 server and from one
// that keeps its names in Shift_JIS.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "interop/ftp_server_env.h"

#ifndef TARSEL_FTP_PATH
#error "TARSEL_FTP_PATH must name the built tarsel-ftp program"
#endif

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct Ran {
    int status = -1;  // -1: killed after the time limit
    std::string out, err;
};

// The program with `args`, in `dir`, with no locale at all (LANG, LC_* unset), as cron runs it.
Ran RunWithoutLocale(const std::vector<std::string>& args, const fs::path& dir) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::close(out[0]);
        ::close(err[0]);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE", "LANGUAGE", "TARSEL_FTP_RC"}) ::unsetenv(name);
        ::setenv("HOME", dir.c_str(), 1);  // no ~/.netrc, no start-up file
        std::vector<char*> argv{const_cast<char*>(TARSEL_FTP_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TARSEL_FTP_PATH, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Ran ran;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? ran.out : ran.err).append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    for (const pollfd& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    if (open == 0 && WIFEXITED(status)) ran.status = WEXITSTATUS(status);
    return ran;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TarselFtpDefaults : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarsel-ftp-defaults-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        local_ = pattern;
    }
    void TearDown() override { fs::remove_all(local_); }
    fs::path local_;
};

// ---------------------------------------------------------------- TLS by default

TEST_F(TarselFtpDefaults, WithoutTlsOptionsTheTlsServersAreReachedProtected) {
    const char* ca = std::getenv("TARSEL_TLS_CA");
    int tried = 0;
    for (const char* name : {"vsftpd_tls", "proftpd_tls", "pureftpd_tls"}) {
        SCOPED_TRACE(name);
        const std::optional<FtpServer> server = FtpServerVariant(name);
        if (!server || ca == nullptr) continue;
        ++tried;
        // These servers refuse a plain login, and every listing needs protected data.
        const Ran r = RunWithoutLocale({"--port", server->port, "--cacert", ca, "--trace", "-c", "ls",
                                        server->host, server->user, server->pass},
                                       local_);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.err, HasSubstr(">>AUTH TLS"));
        EXPECT_THAT(r.err, HasSubstr(">>PROT P"));
        EXPECT_THAT(r.err, Not(HasSubstr("does not take TLS")));
        // Without the test CA the certificate is refused, and no plain login follows.
        const Ran refused = RunWithoutLocale({"--port", server->port, "--trace", "-c", "ls",
                                              server->host, server->user, server->pass},
                                             local_);
        EXPECT_EQ(refused.status, 1);
        EXPECT_THAT(refused.err, HasSubstr("--cacert FILE trusts the CA that signed it, --tls off connects without TLS"));
        EXPECT_THAT(refused.err, Not(HasSubstr(">>USER")));
    }
    if (tried == 0) GTEST_SKIP() << "no TLS server is running (scripts/ftp-servers.sh)";
}

// ---------------------------------------------------------------- names without a locale

TEST_F(TarselFtpDefaults, MgetWithoutALocaleFetchesUtf8NamesFromVsftpd) {
    const std::optional<FtpServer> server = FtpServerVariant("vsftpd");
    if (!server || server->root.empty()) GTEST_SKIP() << "vsftpd is not running";
    const fs::path dir = fs::path(server->root) / ("tarsel-ftp-names-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ::chmod(dir.c_str(), 0755);
    const std::string name = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E-\xC3\xA9.txt";
    std::ofstream(dir / name) << "utf8\n";
    std::ofstream(dir / "plain.txt") << "plain\n";
    fs::permissions(dir / name, fs::perms::others_read, fs::perm_options::add);
    fs::permissions(dir / "plain.txt", fs::perms::others_read, fs::perm_options::add);
    const Ran r = RunWithoutLocale({"--port", server->port, "-c", "cd " + dir.filename().string() + "; mget *.txt",
                                    server->host, server->user, server->pass},
                                   local_);
    fs::remove_all(dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(local_ / name), "utf8\n");
    EXPECT_EQ(ReadFile(local_ / "plain.txt"), "plain\n");
}

// pyftpdlib started here with names passed as bytes and no UTF8 in FEAT: a Shift_JIS server.
class ShiftJisServer {
public:
    explicit ShiftJisServer(const fs::path& root) {
        portFile_ = root.string() + ".port";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/bin/python3", "python3", TARSEL_SOURCE_DIR "/scripts/pyftpdlib-server.py", "--port", "0",
                    "--port-file", portFile_.c_str(), "--root", root.c_str(), "--user", "tarsel", "--password",
                    "tarsel", "--names-as-bytes", "--model", "thread", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && port_.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream in(portFile_);
            std::getline(in, port_);
        }
    }
    ~ShiftJisServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove(portFile_);
    }
    const std::string& port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::string portFile_;
    std::string port_;
};

TEST_F(TarselFtpDefaults, ShiftJisNamesComeOutRightWithoutALocale) {
    if (::access("/usr/bin/python3", X_OK) != 0 || std::system("/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null") != 0)
        GTEST_SKIP() << "no pyftpdlib";
    const fs::path root = local_ / "root";
    const fs::path here = local_ / "here";
    fs::create_directories(root / "sub");
    fs::create_directories(here);
    // 日本語.txt and ファイル.txt in Shift_JIS, one in the login directory (which judges the
    // code) and one below it.
    const std::string sjisName = "\x93\xFA\x96\x7B\x8C\xEA.txt";
    const std::string sjisBelow = "\x83t\x83@\x83" "C\x83\x8B.txt";
    std::ofstream(root / sjisName) << "top\n";
    std::ofstream(root / "sub" / sjisBelow) << "below\n";
    ShiftJisServer server(root);
    ASSERT_FALSE(server.port().empty()) << "pyftpdlib did not start";
    const Ran r = RunWithoutLocale({"--port", server.port(), "-v", "-c", "ls; mget *.txt; cd sub; mget *.txt",
                                    "127.0.0.1", "tarsel", "tarsel"},
                                   here);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string utf8Name = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt";
    const std::string utf8Below = "\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB.txt";
    EXPECT_THAT(r.out, HasSubstr(utf8Name + "\n"));
    EXPECT_EQ(ReadFile(here / utf8Name), "top\n");
    EXPECT_EQ(ReadFile(here / utf8Below), "below\n");
}

}  // namespace
