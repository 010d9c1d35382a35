#include "ftp_session.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include <asio/post.hpp>

#include "netrc_file.h"
#include "step_names.h"
#include "terminal_text.h"
#include "well_formed_utf8.h"

namespace tarselftp {

namespace fs = std::filesystem;
using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

namespace {

// A server that never answers QUIT must not keep the program alive.
constexpr auto kQuitGrace = std::chrono::seconds(10);
// The names Tab completes to are listed again once they are this old.
constexpr auto kNamesFresh = std::chrono::seconds(30);

}  // namespace

// Typed arguments and local file names are bytes, the control takes UTF-16. Malformed UTF-8
// would turn into U+FFFD, which a UTF-8 server takes as written: two local names that differ
// only in their bad bytes would reach the server as one name and overwrite each other. Such
// text is refused as the control refuses a character the server's code cannot write.
tarselctl::String FtpSession::ExactText(std::string_view text, std::u16string_view operation) {
    if (!IsWellFormedUtf8(text))
        throw AutomationError(5, tarselctl::String(operation), u"Invalid Argument");
    return FromUtf8(text);
}

std::string FtpSession::HomeDirectory() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

FtpSession::FtpSession(asio::io_context& io, tarselctl::tarsel& control, const Options& options,
                       SessionOutput& output)
    : io_(io), control_(control), options_(options), output_(output), quitGuard_(io),
      abortGuard_(io), childSignal_(io), reconnectTimer_(io) {
    cookie_ = control_.Advise(*this);
}

FtpSession::~FtpSession() { control_.Unadvise(cookie_); }

bool FtpSession::WaitingForLine() const {
    return (phase_ == Phase::Ready || phase_ == Phase::Closed) && !running_ && queue_.empty() &&
           !inputEnded_ && !parallel_;
}

bool FtpSession::Start() {
    try {
        control_.InitProperties();
        // Diagnostics cost text formatting on every socket event; only --trace shows them.
        control_.TraceOn = options_.trace ? tarselctl::True : tarselctl::False;
        if (options_.port) control_.put_port(FromUtf8(*options_.port));
        // Passive by default, as firewalls and NAT expect; a stored setting keeps its mode.
        if (options_.passive)
            control_.put_Passive(*options_.passive ? tarselctl::True : tarselctl::False);
        else if (!options_.settingsFile)
            control_.put_Passive(tarselctl::True);
        if (options_.type) control_.put_Filetype(FromUtf8(*options_.type));
        if (options_.fileCode) control_.put_FileCode(FromUtf8(*options_.fileCode));
        if (options_.sysCode) control_.put_SysCode(FromUtf8(*options_.sysCode));
        if (options_.hostCode) control_.put_HostCode(FromUtf8(*options_.hostCode));
        // TLS by default: none asked for, and none stored, means AUTH TLS is tried.
        if (!options_.tls) options_.tls = control_.get_TlsMode().empty() ? "auto" : ToUtf8(control_.get_TlsMode());
        if (options_.caFile) control_.put_TlsCaFile(FromUtf8(*options_.caFile));
        if (options_.insecure) control_.put_TlsVerify(tarselctl::False);
        if (options_.account) control_.put_Account(ExactText(*options_.account, u"Account"));
        if (!options_.preCommands.empty())
            control_.put_PreCommand(ExactText(JoinPreCommands(options_.preCommands), u"PreCommand"));
        if (options_.connectTimeout) control_.put_ConnectTimeout(*options_.connectTimeout);
        if (options_.transTimeout) control_.put_TransTimeout(*options_.transTimeout);
        if (options_.noopTime) control_.put_NoopTime(*options_.noopTime);
        control_.put_ReplyTimeout(options_.replyTimeout);
    } catch (const AutomationError& e) {
        Fail(Fault::Local, std::to_string(e.Number()), ToUtf8(e.Source()), ToUtf8(e.Description()));
        Finish();
        return false;
    }
    if (options_.host.empty()) {
        phase_ = Phase::Closed;
        return true;
    }
    BeginConnect();
    return phase_ != Phase::Finished;
}

void FtpSession::BeginConnect() {
    // The password: given, else ~/.netrc's, else asked for on a terminal.
    if (!options_.passwordGiven) {
        const std::string home = HomeDirectory();
        if (!home.empty()) {
            const NetrcLookup netrc =
                LookUpNetrc(home + "/.netrc", options_.host,
                            options_.userGiven ? std::optional<std::string_view>(options_.user)
                                               : std::nullopt);
            if (!netrc.error.empty()) PrintError("tarsel-ftp: local: " + netrc.error);
            if (netrc.entry && !netrc.entry->login.empty()) {
                options_.user = netrc.entry->login;
                options_.userGiven = true;
                options_.password.clear();
                if (netrc.entry->password) {
                    options_.password = *netrc.entry->password;
                    options_.passwordGiven = true;
                }
                if (netrc.entry->account && !options_.account) {
                    std::string refused;
                    try {
                        control_.put_Account(ExactText(*netrc.entry->account, u"Account"));
                    } catch (const AutomationError& e) {
                        refused = ToUtf8(e.Description());
                    }
                    if (!refused.empty()) {
                        // Logging in without it would hide the reason a server that asks
                        // for an account then refuses the login.
                        phase_ = Phase::Closed;
                        Fail(Fault::Local, "", "Connect",
                             home + "/.netrc: the account for " + options_.host +
                                 " cannot be sent in the server's code (" + refused + ")");
                        if (!interactive_) Finish();
                        return;
                    }
                }
            }
        }
    }
    running_ = Running{};
    running_->operation = "Connect";
    running_->subject = "Connect";
    phase_ = Phase::Connecting;
    auto connect = [this] { ConnectControl(true); };
    if (options_.userGiven && !options_.passwordGiven && askSecret_) {
        askSecret_("Password for " + options_.user + "@" + options_.host + ": ",
                   [this, connect](std::optional<std::string> secret) {
                       if (phase_ != Phase::Connecting) return;
                       if (!secret) return ConnectFailed("no password given");
                       options_.password = *secret;
                       connect();
                   });
        return;
    }
    connect();
}

void FtpSession::ConnectControl(bool chooseTls) {
    try {
        if (chooseTls) ChooseTls();
        control_.Connect(ExactText(options_.host, u"Connect"), ExactText(options_.user, u"Connect"),
                         ExactText(options_.password, u"Connect"));
    } catch (const AutomationError& e) {
        ConnectFailed(ToUtf8(e.Description()));
    }
}

void FtpSession::ConnectFailed(const std::string& why) {
    running_.reset();
    phase_ = Phase::Closed;
    Fail(Fault::Local, "", "Connect", why);
    if (!interactive_) Finish();
    else StartNext();
}

void FtpSession::AddLine(const std::string& line) {
    if (phase_ == Phase::Finished || inputEnded_) return;
    // A command may change any directory: names Tab found in others are asked again.
    otherNames_.clear();
    ParsedLine parsed = ParseCommand(ExpandAlias(line));
    if (std::holds_alternative<NoCommand>(parsed)) {
        // An empty line at the prompt is answered with the prompt again.
        if (phase_ == Phase::Ready || phase_ == Phase::Closed) StartNext();
        return;
    }
    if (const auto* error = std::get_if<CommandError>(&parsed)) {
        // Refused at once, in the order it came: a script stops here unless --keep-going.
        Command marker{Verb::Noop, {error->word, error->message}};
        marker.mayFail = false;
        marker.offset = 1;  // marks a parse error (see Execute)
        queue_.push_back(std::move(marker));
        if (phase_ == Phase::Ready || phase_ == Phase::Closed) StartNext();
        return;
    }
    Command command = std::get<Command>(std::move(parsed));
    if (command.verb != Verb::Quit) lastFailed_ = false;
    if (command.verb == Verb::Alias && command.args.size() >= 2) {
        // Lines are parsed as they arrive: the next line already reads the new word.
        ExecuteAlias(command);
        if (phase_ == Phase::Ready || phase_ == Phase::Closed) StartNext();
        return;
    }
    if (command.verb == Verb::Abort) {
        // abort is meant for the transfer just before it: the running one, or one that is
        // still waiting its turn, which then never starts.
        if (!queue_.empty()) {
            Command& last = queue_.back();
            if (IsTransfer(last.verb) && last.offset == 0) {
                std::string subject = TypedName(last.verb);
                if (!last.args.empty()) subject += " " + (last.verb == Verb::Put || last.verb == Verb::Append ? last.args.back() : last.args[0]);
                last = Command{Verb::Noop, {subject, "aborted"}};
                last.offset = 1;
            }
        } else if (running_ && running_->isTransfer) {
            RequestAbort();
        } else if (phase_ == Phase::Ready || phase_ == Phase::Closed) {
            StartNext();  // nothing to abort: the prompt comes back
        }
        return;
    }
    queue_.push_back(std::move(command));
    if (phase_ == Phase::Ready || phase_ == Phase::Closed) StartNext();
}

void FtpSession::EndOfInput() {
    if (inputEnded_) return;
    inputEnded_ = true;
    if (phase_ == Phase::Ready || phase_ == Phase::Closed) StartNext();
}

void FtpSession::Interrupt() {
    if (phase_ == Phase::Finished || phase_ == Phase::Shell) return;
    if (reconnectJob_ != 0 && !running_) {
        GiveUpReconnect();
        return;
    }
    if (parallel_) {
        // Everything of the run is cancelled; its end brings the prompt back. A mirror still
        // walking its tree walks no further.
        parallel_->Cancel();
        if (parallelWalk_ != 0) {
            DropJob(parallelWalk_);
            if (running_ && running_->isTransfer) RequestAbort();
        }
        if (!interactive_) {
            queue_.clear();
            inputEnded_ = true;
            if (onInputUnwanted_) onInputUnwanted_();
        }
        return;
    }
    if (running_ && running_->isTransfer && !running_->abortRequested) {
        if (running_->command && running_->command->job != 0) DropJob(running_->command->job);
        RequestAbort();
        return;
    }
    if (interactive_) {
        queue_.clear();
        if (phase_ == Phase::Ready || phase_ == Phase::Closed) return;
        // A command, the login or the QUIT waits for a server that may never answer; the
        // connection is given up, the session is not.
        NoteLocalFault("interrupted");
        control_.Abend();
        return;
    }
    // Nothing left to abort (or a second interrupt): the user wants to stop.
    queue_.clear();
    inputEnded_ = true;
    if (onInputUnwanted_) onInputUnwanted_();
    if (phase_ == Phase::Ready || phase_ == Phase::Closed) {
        Fail(Fault::Local, "", "", "interrupted");
        StartNext();
        return;
    }
    NoteLocalFault("interrupted");
    control_.Abend();
}

void FtpSession::StartNext() {
    while (phase_ == Phase::Ready || phase_ == Phase::Closed) {
        if (AwaitParallelRun()) return;
        // The control's own keep-alive NOOP may be running; its CommandDone calls back here.
        if (connected_ && control_.IsIdle() == tarselctl::False) return;
        if (queue_.empty()) {
            if (inputEnded_) {
                if (connected_) StartQuit();
                else Finish();
            } else if (onWaiting_) {
                onWaiting_();
                // While the prompt waits, the names Tab completes to are fetched.
                const bool stale = namesDirectory_ != remoteDirectory_ ||
                                   std::chrono::steady_clock::now() - namesListed_ > kNamesFresh;
                // Not with --type none: the listing's TYPE A would then stay for the next get.
                if (remoteCompletion_ && connected_ && !options_.verbose && !remoteDirectory_.empty() &&
                    !control_.get_Filetype().empty() &&
                    stale && phase_ == Phase::Ready && queue_.empty() && control_.IsIdle() != tarselctl::False)
                    StartControlCommand(Command{Verb::CompletionList});
            }
            return;
        }
        Command next = std::move(queue_.front());
        queue_.pop_front();
        Execute(std::move(next));
    }
}

void FtpSession::Execute(Command command) {
    activeJob_ = command.job;
    if (command.endsJob != 0 && mirror_ && mirror_->Id() == command.endsJob) {
        // The mirror has walked its tree: a script that is not to keep going stops now, with
        // every file tried (as interactive mode and mirror -P do), and only after going back.
        if (EndMirror() && !options_.keepGoing && !interactive_) StopAfterFailure();
    }
    if (command.verb == Verb::Noop && command.offset == 1 && command.args.size() == 2) {
        // A line that did not parse, or a transfer aborted before it started.
        Fail(Fault::Local, "", command.args[0], command.args[1]);
        return;
    }
    // set parallel N: what -P would say, where it was not given.
    if (command.parallel == 0 && options_.defaultParallel > 1 && command.job == 0 &&
        (command.verb == Verb::Mget || command.verb == Verb::Mput || command.verb == Verb::Mirror))
        command.parallel = options_.defaultParallel;
    if (ExecuteLocal(command)) return;
    if (!connected_) {
        Fail(Fault::Local, "", Subject(TypedName(command.verb), command.args),
             "not connected (open HOST connects)");
        return;
    }
    if (ExpandPatterns(command)) return;
    if (!command.intoDirectory.empty() &&
        (command.verb == Verb::Get || command.verb == Verb::Pget || command.verb == Verb::Mget)) {
        // get -O DIR, get FILE DIR/: the directory is made as lftp makes it; a failure shows
        // in the download's own error line.
        std::error_code ec;
        fs::create_directories(command.intoDirectory, ec);
    }
    if ((command.verb == Verb::Get || command.verb == Verb::Pget) && command.localRoot.empty() &&
        command.args.size() == 2 && command.args[1] != "-") {
        // get FILE DIR: into the directory, as cp does.
        std::error_code ec;
        if (fs::is_directory(command.args[1], ec))
            command.args[1] = (fs::path(command.args[1]) / BaseName(command.args[0])).string();
    }
    if (command.parallel > 1 && (command.verb == Verb::Get || command.verb == Verb::Put ||
                                 command.verb == Verb::Pget)) {
        BeginParallel(std::move(command));
        return;
    }
    switch (command.verb) {
    case Verb::Quit:
        queue_.clear();
        inputEnded_ = true;
        if (onInputUnwanted_) onInputUnwanted_();
        StartQuit();
        return;
    case Verb::Close:
        StartClose();
        return;
    case Verb::Mget:
        StartMget(command);
        return;
    case Verb::Cls:
        StartCls(command);
        return;
    case Verb::Cat:
    case Verb::Chmod:
    case Verb::Rm:
    case Verb::Find:
    case Verb::Du:
        ExpandDailyCommand(command);
        return;
    case Verb::MkDir:
        if (command.recursive || command.args.size() > 1) {
            ExpandDailyCommand(command);
            return;
        }
        StartControlCommand(command);
        return;
    case Verb::Mirror: {
        if (command.reverse) {
            std::error_code ec;
            if (!fs::is_directory(command.args[0], ec)) {
                Fail(Fault::Local, "", "", "mirror -R: '" + command.args[0] + "' is not a directory");
                return;
            }
        }
        StartMirror(command);
        return;
    }
    default:
        StartControlCommand(command);
        return;
    }
}

void FtpSession::PushSteps(std::vector<Command> steps) {
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) queue_.push_front(std::move(*it));
}

void FtpSession::DropJob(std::uint64_t job) {
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [job](const Command& c) { return c.job == job; }),
                 queue_.end());
}

void FtpSession::StartQuit() {
    running_ = Running{};
    running_->operation = "DisConnect";
    running_->subject = "DisConnect";
    phase_ = Phase::Quitting;
    quitGuard_.expires_after(kQuitGrace);
    quitGuard_.async_wait([this](const asio::error_code& ec) {
        if (!ec && phase_ == Phase::Quitting) control_.Abend();
    });
    try {
        control_.DisConnect();
    } catch (const AutomationError&) {
        // Busy beyond recovery: close the connection without QUIT.
        if (phase_ == Phase::Quitting) control_.Abend();
    }
}

void FtpSession::StartClose() {
    StartQuit();
    phase_ = Phase::Closing;
    quitGuard_.cancel();
    quitGuard_.expires_after(kQuitGrace);
    quitGuard_.async_wait([this](const asio::error_code& ec) {
        if (!ec && phase_ == Phase::Closing) control_.Abend();
    });
}

std::vector<std::string> FtpSession::RemoteNames() const {
    if (namesDirectory_ != remoteDirectory_ || remoteDirectory_.empty()) return {};
    return remoteNames_;
}

std::vector<std::string> FtpSession::RemoteNames(const std::string& directory) {
    if (directory.empty()) return RemoteNames();
    if (const auto it = otherNames_.find({remoteDirectory_, directory}); it != otherNames_.end()) return it->second;
    if (otherNamesWanted_.empty() && remoteCompletion_ && connected_) {
        // Listed from the loop, not from inside the terminal's completion.
        otherNamesWanted_ = directory;
        asio::post(io_, [this] {
            const std::string wanted = std::exchange(otherNamesWanted_, std::string());
            if (wanted.empty() || !WaitingForLine() || !connected_ || phase_ != Phase::Ready ||
                control_.IsIdle() == tarselctl::False || control_.get_Filetype().empty())
                return;
            StartControlCommand(Command{Verb::CompletionList, {wanted}});
        });
    }
    return {};
}

std::string FtpSession::PromptText() const {
    if (!connected_ || remoteDirectory_.empty()) return "tarsel> ";
    // Shown as text on a terminal: control characters from the server are not obeyed.
    return "tarsel:" + ShowControlCharacters(remoteDirectory_) + "> ";
}

void FtpSession::Finish() {
    if (phase_ == Phase::Finished) return;
    phase_ = Phase::Finished;
    quitGuard_.cancel();
    abortGuard_.cancel();
    reconnectTimer_.cancel();
    asio::error_code ignored;
    childSignal_.cancel(ignored);
    running_.reset();
    queue_.clear();
    FinishFailedDownload();
    upload_.Close();
    output_.Meter("");
    output_.Flush();
    if (onInputUnwanted_) onInputUnwanted_();
    if (onFinished_) onFinished_();
}

void FtpSession::TraceEvent(const std::string& text) {
    if (options_.trace) PrintError("event: " + text);
}

void FtpSession::Print(const std::string& text) {
    output_.Out(output_.OutIsTerminal() ? ShowControlCharacters(text) : text);
}

void FtpSession::PrintError(const std::string& line) {
    // Escaped even when standard error is a file or a pipe: a log that keeps a server's
    // escape sequences replays them on the terminal of whoever reads it.
    output_.Err(ShowControlCharacters(line) + "\n");
}

void FtpSession::Note(const std::string& line) {
    if (!line.empty()) Print(line + "\n");
}

}  // namespace tarselftp
