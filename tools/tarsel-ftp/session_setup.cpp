// The steps tarsel-ftp takes on its own once the login succeeded: FEAT, what its answer
// implies for the code of names, OPTS UTF8 ON, and the PWD of the interactive prompt.
#include "ftp_session.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

#include <asio/post.hpp>

#include <tarsel/code_page.h>

namespace tarselftp {

using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

namespace {

// What servers say when they refuse a login over a plain connection: "530 Anonymous sessions
// must use encryption", "550 SSL/TLS required on the control channel", "421 Please
// reconnect using TLS security mechanisms".
bool AsksForEncryption(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"encrypt", "tls", "ssl", "secure"})
        if (lower.find(word) != std::string::npos) return true;
    return false;
}

using tarselctl::NameCode;

// A line as the control read it in `reading`, written back: the server's bytes when it read
// without error. EUC-JP is read through Shift_JIS, so it goes back the same way.
std::string BytesAsRead(const tarselctl::String& line, std::u16string_view reading) {
    if (reading == u"UTF8") return ToUtf8(line);
    std::string sjis = tarselctl::EncodeShiftJis(line);
    if (reading == u"SJIS") return sjis;
    std::string euc;
    for (std::size_t i = 0; i < sjis.size(); ++i) {
        auto b1 = static_cast<unsigned char>(sjis[i]);
        if (b1 < 0x80) {
            euc += static_cast<char>(b1);
        } else if (b1 >= 0xA1 && b1 <= 0xDF) {
            euc += '\x8E';
            euc += static_cast<char>(b1);
        } else if (i + 1 < sjis.size() && b1 <= 0xEF) {
            // JIS X 0208 row and cell from the Shift_JIS pair, then each with the high bit.
            auto b2 = static_cast<unsigned char>(sjis[++i]);
            int row = (b1 <= 0x9F ? b1 - 0x70 : b1 - 0xB0) * 2;
            int cell;
            if (b2 < 0x9F) {
                --row;
                cell = b2 - (b2 >= 0x80 ? 0x20 : 0x1F);
            } else {
                cell = b2 - 0x7E;
            }
            euc += static_cast<char>(row | 0x80);
            euc += static_cast<char>(cell | 0x80);
        } else {
            return {};  // no EUC-JP form (IBM extensions): no evidence
        }
    }
    return euc;
}

NameCode CodeOf(std::u16string_view sysCode) {
    if (sysCode == u"UTF8") return NameCode::Utf8;
    if (sysCode == u"SJIS") return NameCode::ShiftJis;
    if (sysCode == u"EUC") return NameCode::EucJp;
    return NameCode::Unknown;
}

const char* CodeName(NameCode code) {
    switch (code) {
    case NameCode::Utf8: return "UTF-8";
    case NameCode::ShiftJis: return "Shift_JIS";
    case NameCode::EucJp: return "EUC-JP";
    case NameCode::Unknown: break;
    }
    return "unknown";
}

}  // namespace

void FtpSession::ChooseTls() {
    // "auto" (the default) tries AUTH TLS and goes on in plain only where the server
    // refuses it; "off" never tries; "explicit" and "implicit" insist.
    const std::string wish = options_.tls.value_or("auto");
    tlsOpportunistic_ = wish == "auto";
    if (wish == "auto" || wish == "explicit") control_.put_TlsMode(u"explicit");
    else if (wish == "implicit") control_.put_TlsMode(u"implicit");
    else control_.put_TlsMode(u"");
}

bool FtpSession::GoPlainAfterRefusedAuth(const std::string& reply) {
    if (!tlsOpportunistic_ || phase_ != Phase::Connecting || !running_ || running_->operation != "Connect")
        return false;
    // The refusal came before anything else was sent, so going on in plain gives away
    // nothing the user did not accept by not asking for TLS. A failed handshake or a refused
    // certificate never gets here: that could be an attacker's doing, and plain would be
    // the downgrade the attacker wants.
    tlsOpportunistic_ = false;
    std::string said = reply;
    if (const auto colon = said.find(": "); colon != std::string::npos) said.erase(0, colon + 2);
    if (interactive_ || options_.verbose || options_.trace)
        PrintError("tarsel-ftp: the server does not take TLS (" + said +
                   "); going on without it (--tls off skips the attempt)");
    control_.put_TlsMode(u"");
    // Connect again from the loop, once the control has left its DisConnected.
    asio::post(io_, [this] {
        if (phase_ != Phase::Connecting || !running_ || running_->operation != "Connect") return;
        ConnectControl(false);  // plain now: TlsMode was cleared above
    });
    return true;
}

std::string FtpSession::ExplainTlsFailure(tarselctl::Long code, std::string reason) const {
    const bool tls = !control_.get_TlsMode().empty();
    if (code == -12)
        return reason + " (TLS was asked for; --tls auto goes on without it where AUTH TLS is refused)";
    if (code == -11 && tls)
        return reason + " (--cacert FILE trusts the CA that signed it" +
               (tlsOpportunistic_ ? std::string(", --tls off connects without TLS") : std::string()) + ")";
    if (code == -10 && tls && tlsOpportunistic_)
        return reason + " (TLS is tried by default; --tls off connects without TLS)";
    return reason;
}

void FtpSession::HintEncryption(const std::string& text) {
    if (!control_.get_TlsMode().empty() || !AsksForEncryption(text)) return;
    PrintError(options_.tls == "off"
                   ? "tarsel-ftp: hint: the server wants TLS, and TLS is off here: --tls explicit (or set tls auto)"
                   : "tarsel-ftp: hint: the server wants TLS: --tls explicit");
}

void FtpSession::BeginSessionSetup() {
    // FEAT tells how names are coded and what mget and mirror can ask for.
    features_ = {};
    StartSetupStep("FEAT", SetupStep::Features);
    if (!running_) ContinueSetup();
}

void FtpSession::EndSetupStep(const Running& r, std::int32_t code) {
    switch (r.setupStep) {
    case SetupStep::Features:
        ApplyFeatures(code == 0);
        break;
    case SetupStep::Utf8On:
        break;
    case SetupStep::Names:
        EndNamesProbe();
        break;
    case SetupStep::StartPath:
        ResolveStartPath(code == 0);
        break;
    case SetupStep::Directory:
        if (code == 0) remoteDirectory_ = QuotedDirectory(lastReply_).value_or("");
        return;
    case SetupStep::None:
        return;
    }
    if (phase_ == Phase::Ready) ContinueSetup();
}

void FtpSession::ContinueSetup() {
    if (!startPath_.empty()) {
        StartSetupStep("CWD " + startPath_, SetupStep::StartPath);
        if (running_) return;
        // A path the control cannot send is no directory either: the get says why.
        ResolveStartPath(false);
    }
    // The prompt shows the remote directory: it is asked for once the steps before are done.
    if (interactive_) StartSetupStep("PWD", SetupStep::Directory);
}

void FtpSession::ResolveStartPath(bool directory) {
    const std::string path = std::exchange(startPath_, std::string());
    if (!directory) {
        std::string quoted = "\"";
        for (const char c : path) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        ParsedLine parsed = ParseCommand("get " + quoted + "\"");
        if (auto* get = std::get_if<Command>(&parsed)) queue_.push_front(std::move(*get));
    }
    if (auto resolved = std::exchange(onStartPath_, nullptr)) resolved(directory);
}

void FtpSession::ApplyFeatures(bool answered) {
    features_ = {};
    if (answered) {
        features_.utf8 = control_.HasFeature(u"UTF8");
        // MLST's line names its facts; MLSD comes with it.
        features_.mlst = control_.HasFeature(u"MLST");
        features_.mdtm = control_.HasFeature(u"MDTM");
        features_.mfmt = control_.HasFeature(u"MFMT");
    }
    // A connection opened again for a job goes to the same server: what its names showed
    // still holds.
    tarselctl::NameCodeEvidence seen = reconnectJob_ != 0 ? names_.evidence : tarselctl::NameCodeEvidence{};
    seen.line = {};
    names_ = {};
    names_.evidence = seen;
    if (!options_.sysCode && !options_.settingsFile) {
        // Names are UTF-8 where the server says so (and it may want OPTS UTF8 ON first);
        // otherwise they are judged from the listings, and read as UTF-8 until a name
        // decides: ASCII reads the same in every code, and UTF-8 is what a server that says
        // nothing most often sends. The terminal's locale plays no part: a server's names do
        // not change with it, and cron has none.
        control_.put_SysCode(u"UTF8");
        names_.on = !features_.utf8;
    }
    if (features_.utf8 && control_.get_SysCode() == u"UTF8") StartSetupStep("OPTS UTF8 ON", SetupStep::Utf8On);
    else if (names_.on) StartNamesProbe(u"UTF8");
}

void FtpSession::StartNamesProbe(const char16_t* reading) {
    names_.probeReading = reading;
    names_.misfits = 0;
    running_ = Running{};
    running_->operation = "LIST";
    running_->setupStep = SetupStep::Names;
    running_->capture = true;
    phase_ = Phase::Running;
    try {
        control_.put_SysCode(reading);
        control_.put_DirCommand(u"LIST");
        control_.Dir(tarselctl::String());
    } catch (const AutomationError&) {
        running_.reset();
        phase_ = Phase::Ready;
    }
}

void FtpSession::EndNamesProbe() {
    // A refused or failed listing leaves whatever its lines showed.
    if (names_.misfits > 0 && names_.probeReading != u"EUC") {
        StartNamesProbe(names_.probeReading == u"UTF8" ? u"SJIS" : u"EUC");
        return;
    }
    names_.pending.reset();
    const NameCode verdict = tarselctl::JudgeNameCode(names_.evidence, NameCode::Utf8);
    control_.put_SysCode(tarselctl::NameCodeSysCode(verdict));
    if (verdict != NameCode::Utf8 && (interactive_ || options_.verbose))
        PrintError(std::string("tarsel-ftp: names read as ") + CodeName(verdict) +
                   ", as the server's listing shows (--syscode chooses)");
}

void FtpSession::ObserveNames(const tarselctl::String& line) {
    if (!names_.on || !running_) return;
    const bool probe = running_->setupStep == SetupStep::Names;
    if (probe) running_->lines.clear();  // judged here, not kept
    const tarselctl::String reading = probe ? tarselctl::String(names_.probeReading) : control_.get_SysCode();
    if (line.find(u'\uFFFD') != tarselctl::String::npos) {
        // Its bytes are lost in this reading, and with them the evidence.
        if (probe) ++names_.misfits;
        return;
    }
    const std::string bytes = BytesAsRead(line, reading);
    if (bytes.empty()) return;
    names_.evidence = tarselctl::ObserveListingBytes(names_.evidence, bytes + "\n");
    if (probe) return;
    const NameCode current = CodeOf(reading);
    const NameCode verdict = tarselctl::JudgeNameCode(names_.evidence, current);
    if (verdict != current) names_.pending = verdict;
    else names_.pending.reset();
}

void FtpSession::ApplyNameVerdict() {
    if (!names_.on || !names_.pending) return;
    const NameCode verdict = *names_.pending;
    names_.pending.reset();
    control_.put_SysCode(tarselctl::NameCodeSysCode(verdict));
    if (interactive_ || options_.verbose)
        PrintError(std::string("tarsel-ftp: names read as ") + CodeName(verdict) +
                   " from now on, as the listings show (--syscode chooses)");
}

void FtpSession::StartSetupStep(const std::string& line, SetupStep step) {
    running_ = Running{};
    running_->operation = line.substr(0, line.find(' '));
    running_->setupStep = step;
    phase_ = Phase::Running;
    try {
        control_.QuoteCommand(FromUtf8(line));
    } catch (const AutomationError&) {
        // Not idle after all: the step is skipped, as a server without the feature would be.
        running_.reset();
        phase_ = Phase::Ready;
    }
}

}  // namespace tarselftp
