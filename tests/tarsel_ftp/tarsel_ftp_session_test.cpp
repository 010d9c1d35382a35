// tarsel-ftp's session over the scripted platform: what it makes of the control's events
// when an upload goes wrong, and the uploads the control's end signal leaves possible.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <fstream>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include <tarsel/tarsel.h>

#include "ftp_session.h"
#include "session_output.h"
#include "support/fake_platform.h"

namespace tarselftp {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using tarselctl::FakePlatform;
using tarselctl::FakeSoquet;

class TarselFtpSession : public ::testing::Test {
protected:
    TarselFtpSession() : control(platform) {}

    void SetUp() override {
        char pattern[] = "/tmp/tarsel-ftp-session-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        session.reset();
        fs::remove_all(dir_);
    }

    FakeSoquet& s1() { return *platform.soquets.at(0); }
    FakeSoquet& s2() { return *platform.soquets.at(1); }
    FakeSoquet& s3() { return *platform.soquets.at(2); }
    void Reply(const std::string& text) { s1().Receive(text + "\r\n"); }

    std::string LocalFile(const std::string& content) {
        const std::string path = (dir_ / "local").string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    void StartLoggedIn() {
        Options options;
        options.host = "ftp.example";
        options.keepGoing = true;
        options.passive = false;
        options.sysCode = "EUC";  // not the terminal's: the same on every machine
        options.tls = "off";  // plain: the TLS default has tests of its own
        session = std::make_unique<FtpSession>(io, control, options, output);
        ASSERT_TRUE(session->Start());
        s1().Connect();
        Reply("220 ready");
        Reply("331 pw");
        Reply("230 ok");
        Reply("502 no FEAT");  // the features asked after the login
        ASSERT_EQ(control.IsIdle(), tarselctl::True);
    }

    /// `put` of `content`, answered up to an open data connection and the first block sent.
    void StartUpload(const std::string& content) {
        session->AddLine("put " + LocalFile(content) + " remote");
        Reply("200 Type set");   // TYPE I
        Reply("200 PORT ok");    // PORT
        Reply("150 Opening");    // STOR
        s2().AcceptRequest(7);
        s3().Connect();
    }

    /// `get remote LOCAL` over an existing LOCAL, answered up to the first block of data.
    void StartDownloadOver(const std::string& local) {
        session->AddLine("get remote " + local);
        Reply("200 Type set");                // TYPE I
        Reply("200 PORT ok");                 // PORT
        Reply("150 Opening (100000 bytes)");  // RETR
        s2().AcceptRequest(7);
        s3().Connect();
        s3().Receive(std::string(1000, 'x'));
    }

    void FailDownloadOverExistingFile(const std::function<void()>& fault, const std::string& error) {
        StartLoggedIn();
        const std::string local = LocalFile("the user's own file");
        ::testing::internal::CaptureStderr();
        StartDownloadOver(local);
        fault();
        EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(error));
        EXPECT_EQ(session->ExitStatus(), 1);
        std::ifstream in(local, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the user's own file");
        // What arrived is kept as LOCAL.part for get -c, never in the user's file.
        std::ifstream part(local + ".part", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(part), {}), std::string(1000, 'x'));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2)
            << "no other partial file is left beside it";
    }

    FakePlatform platform;
    StandardOutput output;
    tarselctl::tarsel control;
    asio::io_context io;
    std::unique_ptr<FtpSession> session;
    fs::path dir_;
};

TEST_F(TarselFtpSession, AnErrorOfTheDataConnectionFailsAnUploadTheServerCallsComplete) {
    StartLoggedIn();
    ::testing::internal::CaptureStderr();
    StartUpload("abc");
    EXPECT_EQ(s3().sent, "abc");
    // The data connection breaks; the server stores what it got and answers 226 anyway.
    s3().Error(10054, u"Connection reset", u"send");
    s3().Close();
    Reply("226 Transfer complete");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("tarsel-ftp: connection: put remote: data connection: Connection reset"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpSession, AOneByteFileUploadsWhole) {
    StartLoggedIn();
    ::testing::internal::CaptureStderr();
    StartUpload("x");
    EXPECT_EQ(s3().sent, "x");
    s3().SendDone();  // the file is done: the control ends the upload
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    Reply("226 Transfer complete");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(session->ExitStatus(), 0);
}

// A download that goes wrong after bytes have arrived, in each way the control can tell it:
// the user's file under the final name stays the old one, and the run fails.
TEST_F(TarselFtpSession, ADataConnectionErrorBefore226KeepsTheOldLocalFile) {
    FailDownloadOverExistingFile(
        [this] {
            s3().Error(10054, u"Connection reset", u"recv");
            s3().Close();
            Reply("226 Transfer complete");
        },
        "connection: get remote: data connection: Connection reset");
}

TEST_F(TarselFtpSession, AControlConnectionClosedMidTransferKeepsTheOldLocalFile) {
    FailDownloadOverExistingFile([this] { s1().Close(); }, "connection: get remote: ");
}

TEST_F(TarselFtpSession, ALossTheControlReportsBeforeItsCommandDoneIsNamedAsSuch) {
    FailDownloadOverExistingFile(
        [this] {
            session->TransError(-8, u"connection lost", u"control");
            session->GetClose();
            session->CommandDone(-1, u"GetFile", u"connection lost");
            session->DisConnected(0, u"");
        },
        "tarsel-ftp: connection: get remote: connection lost\n");
}

TEST_F(TarselFtpSession, ADownloadCutShortBefore226KeepsTheOldLocalFile) {
    FailDownloadOverExistingFile(
        [this] {
            session->TransError(-7, u"download cut short", u"data");
            s3().Close();
            Reply("226 Transfer complete");
        },
        "connection: get remote: data connection: download cut short");
}

}  // namespace
}  // namespace tarselftp
