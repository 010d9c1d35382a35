// The Asio socket's TLS against the real TLS FTP servers of scripts/ftp-servers.sh, driven by
// hand-written FTP lines: login over TLS, then data connections, passive and active, secured
// by resuming the control connection's session (vsftpd and proftpd refuse any that do not).
// A test whose server is not running skips itself.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <unistd.h>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>

#include "asio_platform/loopback.h"

namespace tarselctl::testing {
namespace {

std::string Env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

/// A server of scripts/ftp-servers.sh and how it speaks TLS.
struct TlsServer {
    const char* prefix;  ///< TARSEL_<prefix>_PORT ...
    bool implicit;
};

class TlsSoquetInterop : public ::testing::TestWithParam<TlsServer> {
protected:
    asio::io_context io;
    AsioPlatform platform{io};
    RecordingSink control;
    std::unique_ptr<Soquet> soquet = platform.CreateSoquet();
    std::string host, port, user, pass, root, ca;
    std::size_t consumed = 0;

    void SetUp() override {
        const std::string prefix = std::string("TARSEL_") + GetParam().prefix + "_";
        port = Env(prefix + "PORT");
        ca = Env("TARSEL_TLS_CA");
        if (port.empty() || ca.empty()) GTEST_SKIP() << prefix << "PORT or TARSEL_TLS_CA not set";
        host = Env(prefix + "HOST");
        user = Env(prefix + "USER");
        pass = Env(prefix + "PASS");
        root = Env(prefix + "ROOT");
        soquet->SetEvents(&control);
    }

    TlsClientSettings Settings(const std::string& caFile) const {
        return TlsClientSettings{true, caFile, host};
    }

    /// The next complete reply (its last line); "" when none came or the connection ended.
    std::string Reply() {
        std::string line;
        RunUntil(io, [&] {
            for (;;) {
                const auto end = control.received.find("\r\n", consumed);
                if (end == std::string::npos) return control.Has("closed");
                line = control.received.substr(consumed, end - consumed);
                consumed = end + 2;
                // The last line of a reply: three digits and a blank.
                if (line.size() >= 4 && line[3] == ' ') return true;
            }
        });
        return line.size() >= 4 && line[3] == ' ' ? line : std::string();
    }

    std::string Command(const std::string& line) {
        soquet->Send(line + "\r\n");
        return Reply();
    }

    /// Connects, secures and logs in; false with a test failure otherwise.
    bool Login(const TlsClientSettings& settings) {
        const bool implicit = GetParam().implicit;
        if (implicit) control.onConnected = [&] { soquet->StartTls(settings, nullptr); };
        soquet->ConnectTo(FromUtf8(host), FromUtf8(port), u"0");
        if (!implicit) {
            EXPECT_EQ(Reply().substr(0, 3), "220");
            EXPECT_EQ(Command("AUTH TLS").substr(0, 3), "234");
            soquet->StartTls(settings, nullptr);
        }
        if (!RunUntil(io, [&] { return control.Has("secured") || control.Has("closed"); }) ||
            !control.Has("secured"))
            return false;
        // Implicit TLS: the greeting comes protected.
        if (implicit) {
            EXPECT_EQ(Reply().substr(0, 3), "220");
        }
        std::string reply = Command("USER " + user);
        if (reply.starts_with("331")) reply = Command("PASS " + pass);
        EXPECT_EQ(reply.substr(0, 3), "230") << reply;
        EXPECT_EQ(Command("PBSZ 0").substr(0, 3), "200");
        EXPECT_EQ(Command("PROT P").substr(0, 3), "200");
        EXPECT_EQ(Command("TYPE I").substr(0, 3), "200");
        return reply.starts_with("230");
    }

    /// RETR (`upload` empty) or STOR of `upload` over a secured data connection, passive or
    /// active; returns what arrived. An upload is closed right after its last Send, so its
    /// bytes and the close_notify the server waits for go out after OnClosed.
    std::string Transfer(const std::string& name, bool passive, const std::string& upload = "") {
        RecordingSink dataEvents;
        std::unique_ptr<Soquet> data = platform.CreateSoquet();
        data->SetEvents(&dataEvents);
        dataEvents.onConnected = [&] { data->StartTls(Settings(ca), soquet.get()); };
        if (!upload.empty()) {
            dataEvents.onSecured = [&] {
                data->Send(upload);
                data->CloseSocket();
            };
        }
        RecordingSink listenerEvents;
        std::unique_ptr<Soquet> listener = platform.CreateSoquet();
        listener->SetEvents(&listenerEvents);
        if (passive) {
            const std::string reply = Command("PASV");
            int h1, h2, h3, h4, p1, p2;
            const auto open = reply.find('(');
            if (open == std::string::npos ||
                std::sscanf(reply.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1,
                            &p2) != 6) {
                ADD_FAILURE() << reply;
                return "";
            }
            data->ConnectTo(FromUtf8(host), FromUtf8(std::to_string(p1 * 256 + p2)), u"0");
        } else {
            listener->ListenAt(soquet->get_LocalHost(), u"0");
            listenerEvents.onAcceptRequest = [&](Long id) { data->Accept(id); };
            const Long p = listener->get_LocalPort();
            std::string address = ToUtf8(soquet->get_LocalHost());
            for (char& c : address) c = c == '.' ? ',' : c;
            EXPECT_EQ(Command("PORT " + address + "," + std::to_string(p / 256) + "," +
                              std::to_string(p % 256))
                          .substr(0, 3),
                      "200");
        }
        const std::string started = Command((upload.empty() ? "RETR " : "STOR ") + name);
        EXPECT_TRUE(started.starts_with("150") || started.starts_with("125")) << started;
        EXPECT_TRUE(RunUntil(io, [&] { return dataEvents.Has("closed"); }));
        EXPECT_FALSE(dataEvents.Has("error")) << ToUtf8(dataEvents.errorText);
        EXPECT_TRUE(dataEvents.Has("secured"));
        const std::string done = Reply();
        EXPECT_EQ(done.substr(0, 3), "226") << done;
        return dataEvents.received;
    }
};

TEST_P(TlsSoquetInterop, LoginAndDataConnectionsResumingTheControlSession) {
    const std::string content = Pattern(700 * 1024 + 3, 5);
    std::ofstream(root + "/tls-data.bin", std::ios::binary) << content;
    ASSERT_TRUE(Login(Settings(ca)));
    // More than one data connection: each resumes the same control session.
    for (const bool passive : {true, true, false, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        EXPECT_TRUE(Transfer("tls-data.bin", passive) == content);
    }
    // Uploads: a fresh name each time, since pure-ftpd lets anonymous users overwrite nothing.
    const std::string stamp = std::to_string(::getpid());
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive upload" : "active upload");
        const std::string name = "upload/tls-" + stamp + (passive ? "-p" : "-a") + ".bin";
        Transfer(name, passive, content);
        std::ifstream stored(root + "/" + name, std::ios::binary);
        const std::string got((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(got == content) << got.size() << " bytes stored";
    }
    EXPECT_EQ(Command("QUIT").substr(0, 3), "221");
}

TEST_P(TlsSoquetInterop, CertificateOfAnotherCaIsRefused) {
    const std::string other = Env("TARSEL_TLS_OTHER_CA");
    if (other.empty()) GTEST_SKIP() << "TARSEL_TLS_OTHER_CA not set";
    EXPECT_FALSE(Login(Settings(other)));
    EXPECT_EQ(control.errorNumber, kTlsNotVerified);
    EXPECT_EQ(ToUtf8(control.errorStep), "tls");
    EXPECT_EQ(control.log.back(), "closed");
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsSoquetInterop,
                         ::testing::Values(TlsServer{"VSFTPD_TLS", false},
                                           TlsServer{"VSFTPD_IMPLICIT", true},
                                           TlsServer{"PROFTPD_TLS", false},
                                           TlsServer{"PUREFTPD_TLS", false}),
                         [](const auto& info) {
                             std::string name = info.param.prefix;
                             std::erase(name, '_');
                             return name;
                         });

}  // namespace
}  // namespace tarselctl::testing
