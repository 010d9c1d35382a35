// The steps tarsel-ftp takes on its own once the login succeeded: FEAT, what its answer
// implies for the code of names, OPTS UTF8 ON, and the PWD of the interactive prompt.
#include "ftp_session.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace tarselftp {

using tarselctl::AutomationError;
using tarselctl::FromUtf8;

namespace {

// LC_ALL, else LC_CTYPE, else LANG names the terminal's character code.
bool LocaleIsUtf8() {
    const char* value = nullptr;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        value = std::getenv(name);
        if (value && *value) break;
    }
    if (!value) return false;
    std::string text = value;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text.find("utf-8") != std::string::npos || text.find("utf8") != std::string::npos;
}

}  // namespace

void FtpSession::BeginSessionSetup() {
    // FEAT tells how names are coded and what mget and mirror can ask for.
    features_ = {};
    StartSetupStep("FEAT", SetupStep::Features);
}

void FtpSession::EndSetupStep(SetupStep step, std::int32_t code) {
    switch (step) {
    case SetupStep::Features:
        ApplyFeatures(code == 0);
        // The prompt shows the remote directory: it is asked for once after the login.
        if (interactive_ && phase_ == Phase::Ready) StartSetupStep("PWD", SetupStep::Directory);
        break;
    case SetupStep::Utf8On:
        if (interactive_) StartSetupStep("PWD", SetupStep::Directory);
        break;
    case SetupStep::Directory:
        if (code == 0) remoteDirectory_ = QuotedDirectory(lastReply_).value_or("");
        break;
    case SetupStep::None:
        break;
    }
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
    // Names are UTF-8 where the server says so (and it may want OPTS UTF8 ON first), or,
    // without a word from the server, where this terminal is UTF-8: a server's bytes then
    // come out as they are, which is what the user's other tools show too.
    if (!options_.sysCode && !options_.settingsFile) {
        if (features_.utf8 || LocaleIsUtf8()) control_.put_SysCode(u"UTF8");
    }
    if (features_.utf8 && control_.get_SysCode() == u"UTF8") StartSetupStep("OPTS UTF8 ON", SetupStep::Utf8On);
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
