// The login dialogue against real FTP servers on loopback (scripts/ftp-servers.sh). A test
// whose server is not running skips itself.
#include <algorithm>
#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "interop/ftp_server_env.h"
#include "asio_platform/loopback.h"
#include "interop/session_log.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using namespace std::chrono_literals;

class LoginInteropTest : public ::testing::Test {
protected:
    LoginInteropTest() {
        control.Advise(session);
        control.put_ConnectTimeout(10);
    }

    /// The named server, or skips the test.
    bool Use(const char* name) {
        auto found = FtpServerNamed(name);
        if (!found) return false;
        server = *found;
        control.put_port(FromUtf8(server.port));
        return true;
    }

    std::size_t Count(const std::string& prefix) const { return session.Count(prefix); }

    bool RunUntilEvent(const std::string& prefix, std::size_t times = 1) {
        return tarselctl::testing::RunUntil(io, [&] { return Count(prefix) >= times; }, 10s);
    }

    /// Index of the first event starting with `prefix`, or the number of events.
    std::size_t IndexOf(const std::string& prefix) const {
        return std::find_if(session.events.begin(), session.events.end(),
                            [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }) -
               session.events.begin();
    }

    /// DisConnect on an idle control: QUIT's reply ends the operation, the close follows.
    void DisConnectPolitely(const std::string& farewell) {
        session.Clear();
        control.DisConnect();
        ASSERT_TRUE(RunUntilEvent("DisConnected"));
        EXPECT_THAT(session.NonTraceEvents(),
                    ElementsAre("CommandDone(0,DisConnect," + farewell + ")", "DisConnected(0,)"));
        EXPECT_EQ(control.get_FtpCommand(), u"");
    }

    asio::io_context io;
    AsioPlatform platform{io};
    SessionLog session;
    tarsel control{platform};
    FtpServer server;
};

TEST_F(LoginInteropTest, VsftpdAnonymousLogin) {
    if (!Use("vsftpd")) GTEST_SKIP() << "vsftpd is not running";

    control.Connect(FromUtf8(server.host), FromUtf8(server.user), FromUtf8(server.pass));
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    EXPECT_THAT(session.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(0,Connect,Login successful.)"));
    ASSERT_EQ(session.events.size(), 7u);
    EXPECT_THAT(session.events[1], StartsWith("Trace(220 "));
    EXPECT_EQ(session.events[2], "Trace(Connect>>USER " + server.user + ")");
    EXPECT_EQ(session.events[3], "Trace(331 Please specify the password.)");
    EXPECT_EQ(session.events[4], "Trace(Connect>>PASS ***)");
    EXPECT_EQ(session.events[5], "Trace(230 Login successful.)");
    EXPECT_EQ(control.IsIdle(), True);

    ASSERT_NO_FATAL_FAILURE(DisConnectPolitely("Goodbye."));
}

TEST_F(LoginInteropTest, VsftpdRefusedLoginStaysOpenAndAcceptsAnonymousLogin) {
    if (!Use("vsftpd")) GTEST_SKIP() << "vsftpd is not running";

    control.Connect(FromUtf8(server.host), u"nosuchuser", u"secret");
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    EXPECT_THAT(session.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(530,Connect,This FTP server is anonymous only.)"));
    // The refusal neither closes the connection nor starts anything else.
    tarselctl::testing::RunFor(io, 500ms);
    EXPECT_EQ(Count("DisConnected"), 0u);
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");

    session.Clear();
    control.Login(FromUtf8(server.user), FromUtf8(server.pass));
    ASSERT_TRUE(RunUntilEvent("CommandDone"));
    EXPECT_THAT(session.events,
                ElementsAre("Trace(User>>USER " + server.user + ")",
                            "Trace(331 Please specify the password.)", "Trace(User>>PASS ***)",
                            "Trace(230 Login successful.)", "CommandDone(0,User,Login successful.)"));

    ASSERT_NO_FATAL_FAILURE(DisConnectPolitely("Goodbye."));
}

TEST_F(LoginInteropTest, PureFtpdMultiLineGreetingAndAnonymousLogin) {
    if (!Use("pureftpd")) GTEST_SKIP() << "pure-ftpd is not running";

    control.Connect(FromUtf8(server.host), FromUtf8(server.user), FromUtf8(server.pass));
    ASSERT_TRUE(RunUntilEvent("CommandDone"));

    // Every greeting line is traced, and USER goes out once, after the greeting's last line.
    EXPECT_GE(Count("Trace(220-"), 2u);
    EXPECT_EQ(Count("Trace(220 "), 1u);
    EXPECT_EQ(Count("Trace(Connect>>USER "), 1u);
    EXPECT_EQ(IndexOf("Trace(220 ") + 1, IndexOf("Trace(Connect>>USER " + server.user + ")"));
    // pure-ftpd lets anonymous users in on USER alone: no password is asked for or sent.
    EXPECT_EQ(Count("Trace(Connect>>PASS"), 0u);
    EXPECT_THAT(session.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(0,Connect,Anonymous user logged in)"));

    ASSERT_NO_FATAL_FAILURE(DisConnectPolitely("Logout."));
}

}  // namespace
}  // namespace tarselctl
