// Test fixture for the control: a control on a scripted platform with its events recorded.
//
// How to use it
// -------------
//   class LoginTest : public ControlTest {};
//
//   TEST_F(LoginTest, RefusedPasswordLeavesTheConnectionIdle) {
//       control.Connect(u"ftp.example", u"user", u"pw");
//       s1().Connect();                    // the TCP connection is up
//       Reply("220 ready");                // the greeting: USER goes out
//       Reply("331 pw");                   // PASS goes out
//       Reply("530 no");
//       EXPECT_THAT(s1().SentLines(), ElementsAre("USER user", "PASS pw"));
//       EXPECT_THAT(recorder.NonTraceEvents(),
//                   ElementsAre("Connected", "CommandDone(530,Connect,no)"));
//   }
//
// Members
//   platform        FakePlatform: `calls` (socket call log shared by all three sockets, e.g.
//                   "Soquet1.ConnectTo(ftp.example,21,0)", "Soquet2.ListenAt(127.0.0.1,0)",
//                   "Soquet3.Accept(7)", "Soquet3.SetupPhase(0)", "Soquet1.CloseSocket",
//                   "Soquet1.Send(USER user\r\n)" with CR LF written as \r\n), `messages`
//                   (message boxes), `unitsPerPixelX/Y`, `soquets`, `codawas`, `timers`.
//   recorder        EventRecorder advised to the control (cookie in `cookie`): `events`,
//                   `received` (GetData bytes), `uploadBlocks` / QueueUpload() (PutData
//                   blocks), `recordTraces`, `skipDiagnosticTraces`, and `on...` hooks that
//                   run after an event is recorded and may call back into the control.
//   control         The tarsel control under test, created on `platform`. Its constructor
//                   has run; InitProperties / ReadProperties have not (call them yourself).
//
// Shorthands
//   s1() s2() s3()  The control connection, the active-mode listener, the data connection
//                   (FakeSoquet&). Triggers: Connect(), Receive(bytes), SendDone(), Close(),
//                   AcceptRequest(id), Error(n, t1, t2), Diagnostic(text). Settable:
//                   localAddress, localPort, freePort (what Listen("0") picks), sendReady,
//                   isClosed, socketVersion, sendBlocksUntilDone, throwOnConnect,
//                   throwOnListen, errorNumber, errorDescription, localHost,
//                   remoteHost. Records: sent, sends, SentLines(). ConnectTo leaves IsClosed
//                   True until Connect(); Accept makes it False at once (the connection is
//                   already up), Connect() then raises OnConnected. AcceptRequest(id, peer)
//                   names the peer that RequestHost gives during the event.
//   t1() t2()       The keep-alive and the time-out timer (FakeTimer&): `interval`,
//                   `enabled`, Tick() (runs the handler only when enabled; returns whether
//                   it ran), TickN(n).
//   codawa1/2()     The converters as FakeCodawa& (only when the fixture was built with
//                   CodawaKind::Fake): `version`, `codeName`, `codeNameWrites`, `calls`.
//   Reply(text)     The server sends `text` + CR LF on the control connection.
//   ConnectAndLogin()
//                   Connect("ftp.example", "user", "pw"), the TCP connection comes up, the
//                   server answers "220 ready", "331 pw", "230 ok"; checks that the control
//                   is idle afterwards, then ClearLogs().
//   ClearLogs()     Forgets recorded events, socket calls, sent bytes and the fake
//                   converters' records (message boxes stay).
//
// Converters: the fixture uses the real code converter by default. A fixture that wants the
// identity FakeCodawa passes the kind to the base:
//   class CodeChoiceTest : public ControlTest {
//   protected:
//       CodeChoiceTest() : ControlTest(FakePlatform::CodawaKind::Fake) {}
//   };
//
// Private state: include "support/tarsel_private_access.h" and use tarselInspector, e.g.
//   tarselInspector::DataPhase(control), tarselInspector::Queue(control).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <tarsel/tarsel.h>

#include "support/event_recorder.h"
#include "support/fake_platform.h"

namespace tarselctl {

class ControlTest : public ::testing::Test {
protected:
    explicit ControlTest(FakePlatform::CodawaKind kind = FakePlatform::CodawaKind::Real)
        : platform(kind), control(platform) {
        cookie = control.Advise(recorder);
    }

    // Declared in this order so the recorder outlives the control: events the control raises
    // while it is torn down still find their sink.
    FakePlatform platform;
    EventRecorder recorder;
    tarsel control;
    Long cookie = 0;

    FakeSoquet& s1() { return SoquetAt(0); }
    FakeSoquet& s2() { return SoquetAt(1); }
    FakeSoquet& s3() { return SoquetAt(2); }
    FakeTimer& t1() { return TimerAt(0); }
    FakeTimer& t2() { return TimerAt(1); }
    FakeCodawa& codawa1() { return ConverterAt(0); }
    FakeCodawa& codawa2() { return ConverterAt(1); }

    void Reply(std::string_view text) { s1().Receive(std::string(text) + "\r\n"); }

    void ConnectAndLogin() {
        control.Connect(u"ftp.example", u"user", u"pw");
        s1().Connect();
        Reply("220 ready");
        Reply("331 pw");
        Reply("230 ok");
        if (control.IsIdle() != True) {
            std::string trail;
            for (const auto& line : recorder.events) trail += "\n  " + line;
            ADD_FAILURE() << "the login did not end idle; events:" << trail;
        }
        ClearLogs();
    }

    void ClearLogs() {
        recorder.Clear();
        platform.calls.clear();
        for (FakeSoquet* soquet : platform.soquets)
            if (soquet) soquet->ClearSent();
        for (std::size_t i = 0; i < platform.codawas.size(); ++i) {
            if (FakeCodawa* fake = platform.fakeCodawa(i)) {
                fake->calls.clear();
                fake->codeNameWrites.clear();
            }
        }
    }

private:
    FakeSoquet& SoquetAt(std::size_t index) {
        if (index >= platform.soquets.size() || !platform.soquets[index])
            throw std::logic_error("Soquet" + std::to_string(index + 1) + " does not exist");
        return *platform.soquets[index];
    }
    FakeTimer& TimerAt(std::size_t index) {
        if (index >= platform.timers.size() || !platform.timers[index])
            throw std::logic_error("Timer" + std::to_string(index + 1) + " does not exist");
        return *platform.timers[index];
    }
    FakeCodawa& ConverterAt(std::size_t index) {
        FakeCodawa* fake = platform.fakeCodawa(index);
        if (!fake)
            throw std::logic_error("Codawa" + std::to_string(index + 1) +
                                   " is no FakeCodawa (build the fixture with CodawaKind::Fake)");
        return *fake;
    }
};

}  // namespace tarselctl
