// The session in-process against the fake FTP server on the scripted platform: the output it
// records and the fixture the session tests share.
#pragma once

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

namespace tarselftp::testing_session {

namespace fs = std::filesystem;
using tarselctl::FakeFtpServer;
using tarselctl::FakePlatform;

class RecordingOutput final : public SessionOutput {
public:
    void Out(std::string_view text) override { out += text; }
    void Err(std::string_view text) override { err += text; }
    void Meter(std::string_view line) override {
        if (!line.empty()) meters.emplace_back(line);
    }
    int MeterWidth() const override { return 80; }
    bool OutIsTerminal() const override { return false; }
    bool ErrIsTerminal() const override { return errIsTerminal; }
    void Flush() override {}

    std::string out;
    std::string err;
    std::vector<std::string> meters;
    bool errIsTerminal = false;
};

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ListLine(char type, std::size_t size, const std::string& name) {
    return std::string(1, type) + "rw-r--r--    1 ftp      ftp      " + std::to_string(size) +
           " Jan 01  2020 " + name + "\r\n";
}

class TarselFtpSessionCommands : public ::testing::Test {
protected:
    TarselFtpSessionCommands() : control(platform) {}

    void SetUp() override {
        char pattern[] = "/tmp/tarsel-ftp-commands-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        // mget and mirror write relative to the current directory, as at a prompt.
        previous = fs::current_path();
        fs::current_path(dir);
        options.host = "ftp.example";
        options.user = "u";
        options.password = "p";
        options.passwordGiven = options.userGiven = true;
        options.keepGoing = true;
        options.replyTimeout = 0;
        options.sysCode = "EUC";  // not the terminal's: the same on every machine
        options.tls = "off";  // plain: the TLS default has tests of its own
    }
    void TearDown() override {
        session.reset();
        fs::current_path(previous);
        fs::remove_all(dir);
    }

    void Start(bool interactive = false) {
        session = std::make_unique<FtpSession>(io, control, options, output);
        session->SetInteractive(interactive);
        ASSERT_TRUE(session->Start());
        Run();
        ASSERT_EQ(control.IsIdle(), tarselctl::True) << output.err;
    }

    // The server and the session's own posted work, until neither has anything left.
    void Run() {
        for (int round = 0; round < 1000; ++round) {
            ASSERT_TRUE(server.Run());
            io.restart();
            if (io.poll() == 0 && platform.posted.empty()) return;
        }
        FAIL() << "the session never settled";
    }

    void Type(const std::string& line) {
        session->AddLine(line);
        Run();
    }

    std::vector<std::string> LinesStartingWith(const std::string& word) const {
        std::vector<std::string> found;
        for (const std::string& line : server.lines)
            if (line.rfind(word, 0) == 0) found.push_back(line);
        return found;
    }

    FakePlatform platform;
    FakeFtpServer server{platform};
    RecordingOutput output;
    tarselctl::tarsel control;
    asio::io_context io;
    Options options;
    std::unique_ptr<FtpSession> session;
    fs::path dir;
    fs::path previous;
};

}  // namespace tarselftp::testing_session
