// Explicit TLS against a real TLS server on loopback: after a refused login, and when the
// server refuses PROT P, nothing the host transfers may cross in the clear.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "asio_platform/loopback.h"
#include "asio_platform/tls_loopback_server.h"
#include "support/event_recorder.h"

namespace tarselctl {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

class TlsLoginLoopbackTest : public ::testing::Test {
protected:
    TlsLoginLoopbackTest() {
        recorder.skipDiagnosticTraces = true;
        control.Advise(recorder);
        server.greeting = "220 ready\r\n";
        server.plainFirst = true;  // AUTH TLS, answered 234
        server.answer = [this](const std::string& line) -> std::string {
            const std::string word = line.substr(0, 4);
            if (word == "USER") return "331 password please\r\n";
            if (word == "PASS") return line == "PASS right\r\n" ? "230 welcome\r\n" : "530 Login incorrect\r\n";
            if (word == "PBSZ") return "200 PBSZ=0\r\n";
            if (word == "PROT") return protAnswer;
            return "502 not here\r\n";
        };
        control.put_port(server.Port());
        control.put_TlsMode(u"explicit");
        control.put_TlsCaFile(FromUtf8(pki.caFile));
    }

    bool Has(const std::string& prefix) const {
        for (const auto& e : recorder.events)
            if (e.rfind(prefix, 0) == 0) return true;
        return false;
    }

    bool RunUntilEvent(const std::string& prefix) {
        return testing::RunUntil(io, [&] { return Has(prefix); }, 5s);
    }

    Long RefusalOfDir() {
        try {
            control.Dir();
        } catch (const AutomationError& e) {
            return e.Number();
        }
        return 0;
    }

    asio::io_context io;
    AsioPlatform platform{io};
    const testing::TestPki& pki = testing::MakeTestPki("trusted");
    testing::TlsLoopbackServer server{io, pki};
    std::string protAnswer = "200 PROT now Private\r\n";
    EventRecorder recorder;
    tarsel control{platform};
};

TEST_F(TlsLoginLoopbackTest, ALoginAfterARefusedOneProtectsTheDataConnectionsToo) {
    control.Connect(u"127.0.0.1", u"user", u"wrong");
    ASSERT_TRUE(RunUntilEvent("CommandDone(530,Connect,"));
    EXPECT_EQ(RefusalOfDir(), 70);

    control.Login(u"user", u"right");
    ASSERT_TRUE(RunUntilEvent("CommandDone(0,User,PROT now Private)"));
    EXPECT_EQ(server.Last().plainLine, "AUTH TLS\r\n");
    EXPECT_EQ(server.Last().incoming, "USER user\r\nPASS wrong\r\nUSER user\r\nPASS right\r\nPBSZ 0\r\nPROT P\r\n");
}

TEST_F(TlsLoginLoopbackTest, RefusedProtectionKeepsListingsOffTheWire) {
    protAnswer = "536 PROT P not available\r\n";
    control.Connect(u"127.0.0.1", u"user", u"right");
    ASSERT_TRUE(RunUntilEvent("CommandDone(536,Connect,"));
    EXPECT_EQ(RefusalOfDir(), 70);
    control.Noop();  // a reply the server gives only after everything sent before it
    ASSERT_TRUE(RunUntilEvent("CommandDone(502,Noop,"));
    EXPECT_THAT(server.Last().incoming, Not(HasSubstr("PASV")));
    EXPECT_THAT(server.Last().incoming, Not(HasSubstr("LIST")));
}

}  // namespace
}  // namespace tarselctl
