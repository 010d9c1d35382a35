// A logged-in control with a scripted server that answers the set-up lines of a transfer, so
// that each test only writes the part of the dialogue it is about.
#pragma once

#include <string>
#include <string_view>

#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {

/// The server's positive answers to the set-up lines. The passive address is 127.0.0.1,
/// port 39 * 256 + 16 = 10000; the active listener picks the fake's free port 50123.
inline constexpr std::string_view kTypeOk = "200 Type set";
inline constexpr std::string_view kRestOk = "350 Restarting";
inline constexpr std::string_view kPortOk = "200 PORT ok";
inline constexpr std::string_view kPasvOk = "227 Entering Passive Mode (127,0,0,1,39,16).";
inline constexpr std::string_view kOpening = "150 Opening data connection";
inline constexpr std::string_view kComplete = "226 Transfer complete";
inline constexpr std::string_view kPortLine = "PORT 127,0,0,1,195,203";

class TransferTest : public ControlTest {
protected:
    explicit TransferTest(FakePlatform::CodawaKind kind = FakePlatform::CodawaKind::Real)
        : ControlTest(kind) {}

    void SetUp() override { ConnectAndLogin(); }

    std::string LastSent() {
        const auto lines = s1().SentLines();
        return lines.empty() ? std::string() : lines.back();
    }

    static bool IsTransferLine(const std::string& line) {
        const std::string word = line.substr(0, 4);
        return word == "RETR" || word == "STOR" || word == "APPE" || word == "LIST" ||
               word == "NLST" || word == "MLSD";
    }

    /// Answers TYPE, REST, PORT and PASV positively until the transfer command has gone out.
    void ReplyUntilTransferCommand() {
        for (int step = 0; step < 6; ++step) {
            const std::string line = LastSent();
            if (IsTransferLine(line)) return;
            const std::string word = line.substr(0, 4);
            if (word == "TYPE") Reply(kTypeOk);
            else if (word == "REST") Reply(kRestOk);
            else if (word == "PORT") Reply(kPortOk);
            else if (word == "PASV") Reply(kPasvOk);
            else break;
        }
        ADD_FAILURE() << "no transfer command was sent; last line: " << LastSent();
    }

    /// The server's data connection reaches the control (active: through the listener).
    void OpenDataConnection() {
        if (control.get_Passive() == False) s2().AcceptRequest(7);
        s3().Connect();
    }

    /// Connects with explicit TLS and logs in with PBSZ and PROT accepted, so that every data
    /// connection is secured; leaves the control idle with the logs cleared.
    void LogInWithProtectedData() {
        control.put_TlsMode(u"explicit");
        control.Connect(u"ftp.example", u"user", u"pw");
        s1().Connect();
        Reply("220 ready");
        Reply("234 go");
        s1().Secure();
        Reply("230 ok");
        Reply("200 ok");
        Reply("200 ok");
        ClearLogs();
    }

    /// Sets up the transfer and opens its data connection; the final reply is still due.
    void StartDataPhase(bool preliminaryFirst = true) {
        ReplyUntilTransferCommand();
        if (preliminaryFirst) Reply(kOpening);
        OpenDataConnection();
        if (!preliminaryFirst) Reply(kOpening);
    }
};

}  // namespace tarselctl
