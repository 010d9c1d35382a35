// The steps that run on the session's connection: each command or step of one becomes the
// control's operation, with the record of what runs now.
#include "ftp_session.h"

#include "step_names.h"
#include "type_once.h"

namespace tarselftp {

using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

void FtpSession::StartMachineListing(const std::string& path, bool showsLinks) {
    running_->mlsd = features_.mlst && !showsLinks;
    control_.put_DirCommand(running_->mlsd ? u"MLSD" : u"LIST");
    control_.Dir(path.empty() ? tarselctl::String() : ExactText(path, u"Dir"));
}

void FtpSession::StartControlCommand(const Command& command) {
    const std::vector<std::string>& a = command.args;
    auto arg = [&](std::size_t i) { return ExactText(a[i], FromUtf8(running_->operation)); };
    running_ = Running{};
    running_->id = ++commandCount_;
    running_->command = command;
    running_->operation = OperationName(command.verb);
    // Error lines name the operation and the server's side of it: "GetFile pub/x".
    std::vector<std::string> named = a;
    switch (command.verb) {
    case Verb::Login: case Verb::User: case Verb::Get: case Verb::MirrorStart: case Verb::MirrorTime:
    case Verb::MgetList: case Verb::MirrorList: case Verb::MirrorUpList: case Verb::WalkList:
    case Verb::GlobList: case Verb::ClsList:
        named.resize(1);
        break;
    case Verb::Put: case Verb::Append:
        named = {a[1]};
        break;
    default:
        break;
    }
    running_->subject = Subject(TypedName(command), named);
    running_->isTransfer = IsTransfer(command.verb);
    running_->capture = command.verb == Verb::MgetList || command.verb == Verb::MirrorList ||
                        command.verb == Verb::GlobList || command.verb == Verb::ClsList ||
                        command.verb == Verb::MirrorUpList || command.verb == Verb::WalkList ||
                        command.verb == Verb::CompletionList;
    // MDTM is a question of mirror's, not a transfer: no progress meter, no abort.
    if (command.verb == Verb::MirrorTime) running_->isTransfer = false;
    running_->started = std::chrono::steady_clock::now();
    running_->total = command.knownSize;
    phase_ = Phase::Running;

    std::string localError;
    try {
        switch (command.verb) {
        case Verb::Cd: control_.Cd(arg(0)); break;
        case Verb::Cwd: control_.Cwd(arg(0)); break;
        case Verb::Pwd: case Verb::MirrorStart: case Verb::ParallelStart: control_.Pwd(); break;
        case Verb::Size: {
            const TypeOnce type(control_);
            control_.FileSize(arg(0));
            break;
        }
        case Verb::Noop: control_.Noop(); break;
        case Verb::Delete: control_.Delete(arg(0)); break;
        case Verb::MkDir: control_.MkDir(arg(0)); break;
        case Verb::RmDir: control_.RmDir(arg(0)); break;
        case Verb::Rename: control_.Rename(arg(0), arg(1)); break;
        case Verb::Site: control_.SiteCommand(arg(0)); break;
        case Verb::Quote: control_.QuoteCommand(arg(0)); break;
        case Verb::Dir:
        case Verb::Ls: {
            // What the user reads: the server's own lines. Option words go first, as
            // LIST -la NAME, which is how servers that take them read them.
            std::string text = command.listOptions;
            if (!a.empty()) text += (text.empty() ? "" : " ") + a[0];
            const tarselctl::String argument = text.empty() ? tarselctl::String() : ExactText(text, FromUtf8(running_->operation));
            if (command.verb == Verb::Dir) {
                control_.put_DirCommand(u"LIST");
                control_.Dir(argument);
            } else {
                control_.Ls(argument);
            }
            break;
        }
        case Verb::MgetList: case Verb::GlobList: case Verb::ClsList: StartMachineListing(a[0]); break;
        case Verb::CompletionList: StartMachineListing(a.empty() ? std::string() : a[0]); break;
        case Verb::WalkList:
            // Walks read LIST, whose "l" tells a link from a directory; MLSD types a link to a
            // directory as a directory on some servers (pyftpdlib). mkdir -p's check wants
            // just that: whether a directory stands there.
            StartMachineListing(a[0] == "." ? std::string() : a[0], command.walk != Command::Walk::MkdirCheck);
            break;
        case Verb::MirrorTime: control_.QuoteCommand(u"MDTM " + arg(0)); break;
        case Verb::MirrorList:
        case Verb::MirrorUpList:
            if (const MirrorJob* job = MirrorOf(command)) localError = job->BeforeListing(command);
            if (!localError.empty()) break;
            running_->listAfterCd = true;
            control_.Cwd(arg(0));
            break;
        case Verb::Login: control_.Login(arg(0), arg(1)); break;
        case Verb::User:
            if (a.size() == 2 || !askSecret_) {
                control_.Login(arg(0), a.size() == 2 ? arg(1) : tarselctl::String());
                break;
            }
            {
                const std::uint64_t id = running_->id;
                askSecret_("Password: ", [this, id, user = a[0]](std::optional<std::string> secret) {
                    if (!running_ || running_->id != id) return;
                    if (!secret) {
                        running_.reset();
                        phase_ = connected_ ? Phase::Ready : Phase::Closed;
                        Fail(Fault::Local, "", "User " + user, "no password given");
                        StartNext();
                        return;
                    }
                    try {
                        control_.Login(ExactText(user, u"User"), ExactText(*secret, u"User"));
                    } catch (const AutomationError& e) {
                        running_.reset();
                        phase_ = connected_ ? Phase::Ready : Phase::Closed;
                        Fail(Fault::Local, "", "User " + user, ToUtf8(e.Description()));
                        StartNext();
                    }
                });
            }
            break;
        case Verb::Get: StartGet(command); localError = running_ ? running_->localFault.value_or("") : ""; break;
        case Verb::Put:
        case Verb::Append: StartPut(command); localError = running_ ? running_->localFault.value_or("") : ""; break;
        default:
            break;
        }
    } catch (const AutomationError& e) {
        if (phase_ != Phase::Running || !running_) return;  // the connection ended meanwhile
        const std::string subject = running_->subject;
        const bool mayFail = running_->command && running_->command->mayFail;
        running_.reset();
        phase_ = Phase::Ready;
        (void)download_.Finish(false);
        upload_.Close();
        if (!mayFail) Fail(Fault::Local, "", subject, ToUtf8(e.Description()));
        return;
    }
    if (!localError.empty() && running_) {
        running_.reset();
        phase_ = Phase::Ready;
        (void)download_.Finish(false);
        upload_.Close();
        Fail(Fault::Local, "", "", localError);
    }
}

}  // namespace tarselftp
