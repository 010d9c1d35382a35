// TLS by default over the scripted server: AUTH TLS tried first, a refusal going on in plain
// only when TLS was not asked for, and the hint for a server that wants encryption.
#include "tarsel_ftp/session_fixture.h"

namespace tarselftp::testing_session {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class TarselFtpTlsDefault : public TarselFtpSessionCommands {
protected:
    void SetUp() override {
        TarselFtpSessionCommands::SetUp();
        options.tls.reset();  // the default
    }
    // Start without waiting for the idle control: a TLS handshake may be pending.
    void Open(bool interactive = false) {
        session = std::make_unique<FtpSession>(io, control, options, output);
        session->SetInteractive(interactive);
        ASSERT_TRUE(session->Start());
        Run();
    }
    tarselctl::FakeSoquet& ControlSocket() { return *platform.soquets.at(0); }
};

TEST_F(TarselFtpTlsDefault, AuthAcceptedProtectsTheLoginAndTheDataWithTheCertificateChecked) {
    server.replies["AUTH"] = "234 Proceed with negotiation.";
    server.replies["PBSZ"] = "200 PBSZ=0";
    server.replies["PROT"] = "200 Protection level set to P";
    options.caFile = "/etc/ca.pem";
    Open();
    ASSERT_TRUE(ControlSocket().tlsRequested);
    EXPECT_TRUE(ControlSocket().tlsSettings.verify);
    EXPECT_EQ(ControlSocket().tlsSettings.caFile, "/etc/ca.pem");
    EXPECT_EQ(ControlSocket().tlsSettings.serverName, "ftp.example");
    EXPECT_THAT(server.lines, ElementsAre("AUTH TLS")) << "nothing else before the handshake";
    ControlSocket().Secure();
    Run();
    Type("pwd");
    EXPECT_THAT(server.lines, ::testing::IsSupersetOf({"USER u", "PASS p", "PBSZ 0", "PROT P", "PWD"}));
    EXPECT_EQ(session->ExitStatus(), 0) << output.err;
    EXPECT_THAT(output.err, IsEmpty());
}

TEST_F(TarselFtpTlsDefault, AuthRefusedGoesOnInPlainQuietlyInAScript) {
    server.replies["AUTH"] = "500 AUTH not understood";
    Open();
    Type("pwd");
    EXPECT_EQ(LinesStartingWith("AUTH").size(), 1u);
    EXPECT_THAT(LinesStartingWith("USER"), ElementsAre("USER u"));
    EXPECT_THAT(LinesStartingWith("PBSZ"), IsEmpty());
    EXPECT_THAT(output.out, HasSubstr("\"/\" is the current directory"));
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(session->ExitStatus(), 0);
}

TEST_F(TarselFtpTlsDefault, AuthRefusedGoesOnInPlainAndSaysSoAtAPrompt) {
    server.replies["AUTH"] = "500 AUTH not understood";
    Open(/*interactive=*/true);
    Type("pwd");
    EXPECT_THAT(LinesStartingWith("USER"), ElementsAre("USER u"));
    EXPECT_THAT(output.out, HasSubstr("\"/\" is the current directory"));
    EXPECT_EQ(output.err,
              "tarsel-ftp: the server does not take TLS (500 AUTH not understood); going on "
              "without it (--tls off skips the attempt)\n");
}

TEST_F(TarselFtpTlsDefault, AuthRefusedWhenTlsWasAskedForEndsTheSessionBeforeTheLogin) {
    server.replies["AUTH"] = "500 AUTH not understood";
    options.tls = "explicit";
    Open();
    EXPECT_THAT(server.lines, ElementsAre("AUTH TLS"));
    EXPECT_THAT(output.err, HasSubstr("TLS refused by the server: 500 AUTH not understood"));
    EXPECT_THAT(output.err, HasSubstr("--tls auto goes on without it"));
    EXPECT_EQ(session->ExitStatus(), 1);
    EXPECT_TRUE(session->Finished());
}

TEST_F(TarselFtpTlsDefault, PlainAskedForSendsNoAuthAndALoginRefusedForWantOfTlsGetsAHint) {
    options.tls = "off";
    server.replies["PASS"] = "530 Anonymous sessions must use encryption.";
    Open();
    EXPECT_THAT(LinesStartingWith("AUTH"), IsEmpty());
    EXPECT_THAT(output.err, HasSubstr("530: Connect: Anonymous sessions must use encryption."));
    EXPECT_THAT(output.err, HasSubstr("tarsel-ftp: hint: the server wants TLS, and TLS is off here: --tls explicit"));
    EXPECT_EQ(session->ExitStatus(), 1);
}

TEST_F(TarselFtpTlsDefault, ALoginRefusedForAnotherReasonGetsNoHint) {
    options.tls = "off";
    server.replies["PASS"] = "530 Login incorrect.";
    Open();
    EXPECT_THAT(output.err, HasSubstr("Login incorrect"));
    EXPECT_THAT(output.err, Not(HasSubstr("hint")));
}

TEST_F(TarselFtpTlsDefault, SetTlsTakesOursAndLftpsSpellings) {
    server.replies["AUTH"] = "500 AUTH not understood";
    Open();
    const std::pair<const char*, const char*> cases[] = {
        {"set tls off", "tls off\n"},           {"set ftp:ssl-allow yes", "tls auto\n"},
        {"set ftp:ssl-force yes", "tls explicit\n"}, {"set ftp:ssl-force no", "tls auto\n"},
        {"set ftp:ssl-allow no", "tls off\n"},  {"set tls implicit", "tls implicit\n"},
        {"set tls on", "tls explicit\n"},
    };
    for (const auto& [line, shown] : cases) {
        output.out.clear();
        Type(line);
        Type("set tls");
        EXPECT_THAT(output.out, HasSubstr(shown)) << line;
    }
    output.err.clear();
    Type("set ftp:ssl-allow maybe");
    EXPECT_THAT(output.err, HasSubstr("takes yes or no"));
}

TEST(TarselFtpTlsOption, TakesAutoOffAndTheKindsAndAnFtpsUrlOverridesOnlyAuto) {
    EXPECT_EQ(ParseOptions({"--tls", "off", "h"}).options.tls, "off");
    EXPECT_EQ(ParseOptions({"--tls", "AUTO", "h"}).options.tls, "auto");
    EXPECT_EQ(ParseOptions({"--tls", "on", "h"}).options.tls, "explicit");
    EXPECT_EQ(ParseOptions({"h"}).options.tls, std::nullopt) << "the session decides (auto)";
    EXPECT_EQ(ParseOptions({"--tls", "auto", "ftps://h/"}).options.tls, "implicit");
    EXPECT_NE(ParseOptions({"--tls", "off", "ftps://h/"}).error, "");
}

}  // namespace
}  // namespace tarselftp::testing_session
