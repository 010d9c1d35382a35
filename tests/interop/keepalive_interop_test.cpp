// The keep-alive against a real server: an idle session keeps sending NOOP on its own.
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

using ::testing::Each;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

TEST(KeepaliveInteropTest, IdleVsftpdSessionSendsNoopAsItsOwnOperation) {
    const auto server = FtpServerNamed("vsftpd");
    if (!server) GTEST_SKIP() << "vsftpd is not running";

    asio::io_context io;
    AsioPlatform platform{io};
    SessionLog session;
    tarsel control{platform};
    control.Advise(session);
    control.put_port(FromUtf8(server->port));
    control.put_ConnectTimeout(10);
    control.put_NoopTime(1);

    control.Connect(FromUtf8(server->host), FromUtf8(server->user), FromUtf8(server->pass));
    ASSERT_TRUE(tarselctl::testing::RunUntil(
        io, [&] { return session.Count("CommandDone") > 0; }, 10s));
    ASSERT_THAT(session.NonTraceEvents(),
                ElementsAre("Connected", "CommandDone(0,Connect,Login successful.)"));
    session.Clear();

    // NoopTime 1: a NOOP every two ticks plus the reply's round trip.
    tarselctl::testing::RunFor(io, 5s);
    // Let a NOOP still under way finish, so that sends and completions can be paired.
    ASSERT_TRUE(tarselctl::testing::RunUntil(io, [&] { return control.IsIdle() == True; }, 5s));

    const std::size_t sent = session.Count("Trace(Noop>>NOOP)");
    EXPECT_GE(sent, 2u);
    EXPECT_LE(sent, 4u);
    EXPECT_EQ(session.NonTraceEvents().size(), sent);
    EXPECT_THAT(session.NonTraceEvents(), Each(std::string("CommandDone(0,Noop,NOOP ok.)")));
    // Each NOOP is answered before the next goes out: sends and replies alternate.
    for (std::size_t i = 0; i + 2 < session.events.size(); i += 3) {
        EXPECT_EQ(session.events[i], "Trace(Noop>>NOOP)");
        EXPECT_EQ(session.events[i + 1], "Trace(200 NOOP ok.)");
        EXPECT_EQ(session.events[i + 2], "CommandDone(0,Noop,NOOP ok.)");
    }
    EXPECT_EQ(session.events.size(), 3 * sent);

    session.Clear();
    control.DisConnect();
    ASSERT_TRUE(tarselctl::testing::RunUntil(
        io, [&] { return session.Count("DisConnected") > 0; }, 10s));
    EXPECT_THAT(session.NonTraceEvents(),
                ElementsAre("CommandDone(0,DisConnect,Goodbye.)", "DisConnected(0,)"));
}

}  // namespace
}  // namespace tarselctl
