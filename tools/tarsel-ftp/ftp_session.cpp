#include "ftp_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include <fnmatch.h>
#include <glob.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/post.hpp>

#include "ascii_case.h"
#include "type_once.h"
#include "confined_directory.h"
#include "ftp_url.h"
#include "netrc_file.h"
#include "remote_listing.h"
#include "terminal_text.h"
#include "well_formed_utf8.h"

extern char** environ;

namespace tarselftp {

namespace fs = std::filesystem;
using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

namespace {

// A server that never answers QUIT must not keep the program alive.
constexpr auto kQuitGrace = std::chrono::seconds(10);
// Some servers (pure-ftpd) send no final reply at all when the data connection of a running
// download is closed under them; without it the control would stay busy for good.
constexpr auto kAbortGrace = std::chrono::seconds(5);
// A listing kept for mget or mirror is held until it ends; a server that never stops
// sending must not take all memory.
constexpr std::size_t kMaxCapturedListing = 256u << 20;
// Reply lines kept for quote and site: a long HELP is fine, an endless one is cut.
constexpr std::size_t kMaxKeptReplies = 10000;

std::string OperationName(Verb verb) {
    if (const CommandInfo* info = FindCommand(verb)) return std::string(info->operation);
    switch (verb) {
    case Verb::MgetList: return "Ls";
    case Verb::MirrorStart: case Verb::ParallelStart: return "Pwd";
    case Verb::MirrorList:
    case Verb::MirrorUpList: return "Dir";
    default: return "?";
    }
}

bool IsTransfer(Verb verb) {
    if (const CommandInfo* info = FindCommand(verb)) return info->transfers;
    return verb == Verb::MgetList || verb == Verb::MirrorList || verb == Verb::MirrorUpList;
}

// "Op>>LINE" is a line the control sent, "---" a diagnostic; anything else was received.
bool IsReceivedLine(std::string_view line) {
    if (line.rfind("---", 0) == 0) return false;
    std::size_t i = 0;
    while (i < line.size() && std::isalpha(static_cast<unsigned char>(line[i]))) ++i;
    return !(i > 0 && line.substr(i, 2) == ">>");
}

// "226 Transfer complete." or "226": the line that ends a reply.
bool IsFinalReplyLine(std::string_view line) {
    if (line.size() < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    return line.size() == 3 || line[3] == ' ';
}

// The directory of a 257 reply's text: "/a ""b""" is the current directory -> /a "b".
std::optional<std::string> QuotedDirectory(std::string_view text) {
    const auto open = text.find('"');
    if (open == std::string_view::npos) return std::nullopt;
    std::string dir;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            dir += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            dir += '"';
            ++i;
        } else {
            return dir;
        }
    }
    return std::nullopt;
}

std::string JoinRemote(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string Subject(const std::string& operation, const std::vector<std::string>& args) {
    std::string subject = operation;
    for (const std::string& a : args) subject += " " + a;
    return subject;
}

bool HasWildcard(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

// Typed arguments and local file names are bytes, the control takes UTF-16. Malformed UTF-8
// would turn into U+FFFD, which a UTF-8 server takes as written: two local names that differ
// only in their bad bytes would reach the server as one name and overwrite each other. Such
// text is refused as the control refuses a character the server's code cannot write.
tarselctl::String ExactText(std::string_view text, std::u16string_view operation) {
    if (!IsWellFormedUtf8(text))
        throw AutomationError(5, tarselctl::String(operation), u"Invalid Argument");
    return FromUtf8(text);
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

}  // namespace

FtpSession::FtpSession(asio::io_context& io, tarselctl::tarsel& control, const Options& options,
                       SessionOutput& output)
    : io_(io), control_(control), options_(options), output_(output), quitGuard_(io),
      abortGuard_(io), childSignal_(io) {
    cookie_ = control_.Advise(*this);
}

FtpSession::~FtpSession() { control_.Unadvise(cookie_); }

bool FtpSession::WaitingForLine() const {
    return (phase_ == Phase::Ready || phase_ == Phase::Closed) && !running_ && queue_.empty() &&
           !inputEnded_;
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
        if (options_.tls) control_.put_TlsMode(FromUtf8(*options_.tls));
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
    auto connect = [this] {
        try {
            control_.Connect(ExactText(options_.host, u"Connect"), ExactText(options_.user, u"Connect"),
                             ExactText(options_.password, u"Connect"));
        } catch (const AutomationError& e) {
            running_.reset();
            phase_ = Phase::Closed;
            Fail(Fault::Local, "", "Connect", ToUtf8(e.Description()));
            if (!interactive_) Finish();
            else StartNext();
        }
    };
    if (options_.userGiven && !options_.passwordGiven && askSecret_) {
        askSecret_("Password for " + options_.user + "@" + options_.host + ": ",
                   [this, connect](std::optional<std::string> secret) {
                       if (phase_ != Phase::Connecting) return;
                       if (!secret) {
                           running_.reset();
                           phase_ = Phase::Closed;
                           Fail(Fault::Local, "", "Connect", "no password given");
                           if (!interactive_) Finish();
                           else StartNext();
                           return;
                       }
                       options_.password = *secret;
                       connect();
                   });
        return;
    }
    connect();
}

void FtpSession::AddLine(const std::string& line) {
    if (phase_ == Phase::Finished || inputEnded_) return;
    ParsedLine parsed = ParseCommand(line);
    if (std::holds_alternative<NoCommand>(parsed)) return;
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
    if (command.verb == Verb::Abort) {
        // abort is meant for the transfer just before it: the running one, or one that is
        // still waiting its turn, which then never starts.
        if (!queue_.empty()) {
            Command& last = queue_.back();
            if (IsTransfer(last.verb) && last.offset == 0) {
                std::string subject = OperationName(last.verb);
                if (!last.args.empty()) subject += " " + (last.verb == Verb::Put || last.verb == Verb::Append ? last.args.back() : last.args[0]);
                last = Command{Verb::Noop, {subject, "aborted"}};
                last.offset = 1;
            }
        } else if (running_ && running_->isTransfer) {
            RequestAbort();
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
    if (parallel_) {
        // Everything of the run is cancelled; its end brings the prompt back.
        parallel_->Cancel();
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
        // The control's own keep-alive NOOP may be running; its CommandDone calls back here.
        if (connected_ && control_.IsIdle() == tarselctl::False) return;
        if (queue_.empty()) {
            if (inputEnded_) {
                if (connected_) StartQuit();
                else Finish();
            } else if (onWaiting_) {
                onWaiting_();
            }
            return;
        }
        Command next = std::move(queue_.front());
        queue_.pop_front();
        Execute(std::move(next));
    }
}

void FtpSession::Execute(Command command) {
    if (command.verb == Verb::Noop && command.offset == 1 && command.args.size() == 2) {
        // A line that did not parse, or a transfer aborted before it started.
        Fail(Fault::Local, "", command.args[0], command.args[1]);
        return;
    }
    if (ExecuteLocal(command)) return;
    if (!connected_) {
        Fail(Fault::Local, "", Subject(OperationName(command.verb), command.args),
             "not connected (open HOST connects)");
        return;
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
        ExpandMget(command);
        return;
    case Verb::Mirror: {
        if (command.reverse) {
            std::error_code ec;
            if (!fs::is_directory(command.args[0], ec)) {
                Fail(Fault::Local, "", "", "mirror -R: '" + command.args[0] + "' is not a directory");
                return;
            }
        }
        // The directory it starts from is learnt first: relative names are resolved against
        // it, and the listings change into each directory, so it is changed back at the end.
        Command start{Verb::MirrorStart, command.args};
        start.reverse = command.reverse;
        start.job = ++commandCount_;
        queue_.push_front(std::move(start));
        return;
    }
    default:
        StartControlCommand(command);
        return;
    }
}

bool FtpSession::ExecuteLocal(const Command& command) {
    const auto onOff = [&](bool current) {
        if (command.args.empty()) return !current;
        return EqualsIgnoreCase(command.args[0], "on");
    };
    switch (command.verb) {
    case Verb::Help: {
        const std::string text = command.args.empty() ? HelpText() : HelpText(command.args[0]);
        if (text.empty()) {
            Fail(Fault::Local, "", "help", "no command '" + command.args[0] + "'");
            return true;
        }
        Print(text);
        return true;
    }
    case Verb::Lcd: {
        const std::string dir = command.args.empty() ? HomeDirectory() : command.args[0];
        if (::chdir(dir.c_str()) != 0) {
            Fail(Fault::Local, "", "", "cannot change to '" + dir + "': " + std::strerror(errno));
            return true;
        }
        std::error_code ec;
        const fs::path here = fs::current_path(ec);
        if (interactive_ && !ec) Note("Local directory now " + here.string());
        return true;
    }
    case Verb::Lpwd: {
        std::error_code ec;
        const fs::path here = fs::current_path(ec);
        if (ec) Fail(Fault::Local, "", "", "cannot tell the local directory: " + ec.message());
        else Print(here.string() + "\n");
        return true;
    }
    case Verb::Shell:
        StartShell(command);
        return true;
    case Verb::Passive: {
        const bool on = onOff(control_.get_Passive() != tarselctl::False);
        control_.put_Passive(on ? tarselctl::True : tarselctl::False);
        if (interactive_) Note(std::string("Passive mode ") + (on ? "on." : "off."));
        return true;
    }
    case Verb::Verbose:
        options_.verbose = onOff(options_.verbose);
        if (interactive_) Note(std::string("Verbose mode ") + (options_.verbose ? "on." : "off."));
        return true;
    case Verb::Rest:
        pendingRest_ = command.offset;
        return true;
    case Verb::Abort:  // taken as it arrives (AddLine)
        return true;
    case Verb::Mput:
        if (!connected_) return false;
        ExpandMput(command);
        return true;
    case Verb::Open: {
        if (connected_) {
            Fail(Fault::Local, "", "open", "already connected to " + options_.host + " (close first)");
            return true;
        }
        const ParsedUrl url = ParseFtpUrl(command.args[0]);
        if (!url.error.empty()) {
            Fail(Fault::Local, "", "open", url.error);
            return true;
        }
        if (url.url) {
            options_.host = url.url->host;
            if (url.url->port) control_.put_port(FromUtf8(*url.url->port));
            options_.userGiven = !url.url->user.empty();
            options_.user = options_.userGiven ? url.url->user : "anonymous";
            options_.passwordGiven = url.url->password.has_value();
            options_.password = url.url->password ? *url.url->password
                                : options_.userGiven ? std::string() : std::string("tarsel@");
            if (!url.url->path.empty()) {
                Command cd{Verb::Cd, {url.url->path}};
                queue_.push_front(std::move(cd));
            }
        } else {
            options_.host = command.args[0];
            if (command.args.size() == 2) control_.put_port(FromUtf8(command.args[1]));
        }
        try {
            BeginConnect();
        } catch (const AutomationError& e) {
            Fail(Fault::Local, "", "open", ToUtf8(e.Description()));
        }
        return true;
    }
    case Verb::Quit:
        if (connected_) return false;
        queue_.clear();
        inputEnded_ = true;
        if (onInputUnwanted_) onInputUnwanted_();
        Finish();
        return true;
    default:
        return false;
    }
}

void FtpSession::StartShell(const Command& command) {
    std::string shell = "/bin/sh";
    if (const char* s = std::getenv("SHELL"); s && *s) shell = s;
    std::vector<std::string> argv = {shell};
    if (!command.args.empty()) {
        argv = {"/bin/sh", "-c", command.args[0]};
    }
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    output_.Flush();
    pid_t pid = -1;
    // Watched before the child exists, so its end cannot slip past.
    asio::error_code ec;
    childSignal_.add(SIGCHLD, ec);
    const int rc = ::posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ);
    if (rc != 0) {
        Fail(Fault::Local, "", "!", "cannot run " + argv[0] + ": " + std::strerror(rc));
        return;
    }
    shellPid_ = pid;
    phase_ = Phase::Shell;
    // The loop goes on serving the control (keep-alive, a server's close) while the
    // command runs; its end arrives as SIGCHLD.
    auto watch = std::make_shared<std::function<void()>>();
    *watch = [this, watch] {
        childSignal_.async_wait([this, watch](const asio::error_code& error, int) {
            if (error || shellPid_ < 0) return;
            int status = 0;
            const pid_t done = ::waitpid(shellPid_, &status, WNOHANG);
            if (done == 0) {
                (*watch)();
                return;
            }
            shellPid_ = -1;
            phase_ = connected_ ? Phase::Ready : Phase::Closed;
            if (done > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0)
                Fail(Fault::Local, "", "!", "the command exited with status " +
                                                std::to_string(WEXITSTATUS(status)));
            else if (done > 0 && WIFSIGNALED(status))
                Fail(Fault::Local, "", "!", std::string("the command was ended by signal ") +
                                                std::to_string(WTERMSIG(status)));
            StartNext();
        });
    };
    (*watch)();
}

void FtpSession::PushSteps(std::vector<Command> steps) {
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) queue_.push_front(std::move(*it));
}

void FtpSession::DropJob(std::uint64_t job) {
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [job](const Command& c) { return c.job == job; }),
                 queue_.end());
}

void FtpSession::ExpandMget(const Command& command) {
    const std::uint64_t job = ++commandCount_;
    std::vector<Command> steps;
    for (const std::string& pattern : command.args) {
        const std::string base = BaseName(pattern);
        if (!HasWildcard(base)) {
            Command get{Verb::Get, {pattern, LocalNameFromServer(base)}};
            get.job = job;
            get.parallel = command.parallel;
            steps.push_back(std::move(get));
            continue;
        }
        const auto slash = pattern.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash == 0 ? 1 : slash);
        Command list{Verb::MgetList, {dir, base}};
        list.job = job;
        list.parallel = command.parallel;
        steps.push_back(std::move(list));
    }
    PushSteps(std::move(steps));
}

void FtpSession::ExpandMgetList(const Running& r) {
    const std::string& dir = r.command->args[0];
    const std::string& pattern = r.command->args[1];
    std::vector<Command> steps;
    for (std::string name : r.lines) {
        while (!name.empty() && (name.back() == '\r' || name.back() == '\n')) name.pop_back();
        // Some servers answer NLST DIR with "DIR/name": the pattern is about the name.
        name = BaseName(name);
        if (!IsSafeEntryName(name)) continue;
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) != 0) continue;
        Command get{Verb::Get, {JoinRemote(dir, name), LocalNameFromServer(name)}};
        get.job = r.command->job;
        get.parallel = r.command->parallel;
        steps.push_back(std::move(get));
    }
    if (steps.empty()) {
        Fail(Fault::Local, "", "mget", "no remote file matches '" + JoinRemote(dir, pattern) + "'");
        return;
    }
    PushSteps(std::move(steps));
}

void FtpSession::ExpandMput(const Command& command) {
    const std::uint64_t job = ++commandCount_;
    std::vector<Command> steps;
    for (const std::string& pattern : command.args) {
        glob_t found{};
        const int rc = ::glob(pattern.c_str(), 0, nullptr, &found);
        std::size_t matched = 0;
        if (rc == 0) {
            for (std::size_t i = 0; i < found.gl_pathc; ++i) {
                // A local file called "-" is that file, not standard input.
                const std::string path =
                    std::string_view(found.gl_pathv[i]) == "-" ? "./-" : found.gl_pathv[i];
                struct stat st {};
                if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
                Command put{Verb::Put, {path, BaseName(path)}};
                put.job = job;
                put.parallel = command.parallel;
                put.knownSize = static_cast<std::uint64_t>(st.st_size);
                steps.push_back(std::move(put));
                ++matched;
            }
        }
        ::globfree(&found);
        if (matched == 0) Fail(Fault::Local, "", "mput", "no local file matches '" + pattern + "'");
    }
    PushSteps(std::move(steps));
    StartNext();
}

void FtpSession::ExpandMirrorStart(const Running& r, const std::string& pwdText) {
    const Command& c = *r.command;
    const std::optional<std::string> base = QuotedDirectory(pwdText);
    if (!base || base->empty() || (*base)[0] != '/') {
        Fail(Fault::Server, "257", "Pwd", "no directory in the reply: " + pwdText);
        return;
    }
    const std::string& remote = c.reverse ? c.args[1] : c.args[0];
    const std::string& local = c.reverse ? c.args[0] : c.args[1];
    const std::string root = remote[0] == '/' ? remote : JoinRemote(*base, remote);
    std::vector<Command> steps;
    if (c.reverse) {
        Command mkdir{Verb::MkDir, {root}};
        mkdir.mayFail = true;
        mkdir.job = c.job;
        steps.push_back(std::move(mkdir));
        Command list{Verb::MirrorUpList, {root, local}};
        list.job = c.job;
        steps.push_back(std::move(list));
    } else {
        Command list{Verb::MirrorList, {root, local}};
        list.job = c.job;
        list.localRoot = local;
        steps.push_back(std::move(list));
    }
    // Not part of the job: an interrupted mirror still goes back where it started.
    steps.emplace_back(Verb::Cwd, std::vector<std::string>{*base});
    PushSteps(std::move(steps));
}

void FtpSession::ExpandMirrorList(const Running& r) {
    const std::string& remote = r.command->args[0];
    const fs::path local = r.command->args[1];
    std::vector<Command> files;
    std::vector<Command> dirs;
    for (const std::string& line : r.lines) {
        const std::optional<RemoteEntry> entry = ParseUnixListLine(line);
        if (!entry) continue;
        if (!IsSafeEntryName(entry->name)) {
            PrintError("tarsel-ftp: mirror: skipping the unsafe name '" + entry->name + "' in " + remote);
            continue;
        }
        const std::string remotePath = JoinRemote(remote, entry->name);
        const fs::path localPath = local / entry->name;
        const std::string below = r.command->localBelow.empty()
                                      ? entry->name
                                      : r.command->localBelow + "/" + entry->name;
        if (entry->kind == RemoteEntry::Kind::Directory) {
            Command list{Verb::MirrorList, {remotePath, localPath.string()}};
            list.job = r.command->job;
            list.localRoot = r.command->localRoot;
            list.localBelow = below;
            dirs.push_back(std::move(list));
        } else if (entry->kind == RemoteEntry::Kind::File) {
            struct stat st {};
            if (entry->size && ::lstat(localPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<std::uint64_t>(st.st_size) == *entry->size)
                continue;  // name and size match: already here
            Command get{Verb::Get, {remotePath, localPath.string()}};
            get.job = r.command->job;
            get.knownSize = entry->size;
            get.localRoot = r.command->localRoot;
            get.localBelow = below;
            files.push_back(std::move(get));
        }
    }
    for (Command& d : dirs) files.push_back(std::move(d));
    PushSteps(std::move(files));
}

void FtpSession::ExpandMirrorUpList(const Running& r) {
    const std::string& remote = r.command->args[0];
    const fs::path local = r.command->args[1];
    std::map<std::string, RemoteEntry> there;
    for (const std::string& line : r.lines)
        if (std::optional<RemoteEntry> entry = ParseUnixListLine(line)) there[entry->name] = *entry;

    std::vector<fs::path> names;
    std::error_code ec;
    for (fs::directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path());
    if (ec) {
        Fail(Fault::Local, "", "", "cannot read '" + local.string() + "': " + ec.message());
        return;
    }
    std::sort(names.begin(), names.end());
    std::vector<Command> files;
    std::vector<Command> dirs;
    for (const fs::path& path : names) {
        const std::string name = path.filename().string();
        const std::string remotePath = JoinRemote(remote, name);
        struct stat st {};
        // Symbolic links are not followed: a link to a parent would never end.
        if (::lstat(path.c_str(), &st) != 0) continue;
        const auto found = there.find(name);
        if (S_ISREG(st.st_mode)) {
            if (found != there.end() && found->second.kind == RemoteEntry::Kind::File &&
                found->second.size == static_cast<std::uint64_t>(st.st_size))
                continue;
            Command put{Verb::Put, {path.string(), remotePath}};
            put.job = r.command->job;
            put.knownSize = static_cast<std::uint64_t>(st.st_size);
            files.push_back(std::move(put));
        } else if (S_ISDIR(st.st_mode)) {
            if (found == there.end() || found->second.kind != RemoteEntry::Kind::Directory) {
                Command mkdir{Verb::MkDir, {remotePath}};
                mkdir.job = r.command->job;
                dirs.push_back(std::move(mkdir));
            }
            Command list{Verb::MirrorUpList, {remotePath, path.string()}};
            list.job = r.command->job;
            dirs.push_back(std::move(list));
        }
    }
    for (Command& d : dirs) files.push_back(std::move(d));
    PushSteps(std::move(files));
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
    case Verb::Login: case Verb::User: case Verb::Get: case Verb::MirrorStart:
    case Verb::MgetList: case Verb::MirrorList: case Verb::MirrorUpList:
        named.resize(1);
        break;
    case Verb::Put: case Verb::Append:
        named = {a[1]};
        break;
    default:
        break;
    }
    running_->subject = Subject(running_->operation, named);
    running_->isTransfer = IsTransfer(command.verb);
    running_->capture = command.verb == Verb::MgetList || command.verb == Verb::MirrorList ||
                        command.verb == Verb::MirrorUpList;
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
            const TypeOnce type(control_, sentType_);
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
        case Verb::Dir: control_.Dir(a.empty() ? tarselctl::String() : arg(0)); break;
        case Verb::Ls: control_.Ls(a.empty() ? tarselctl::String() : arg(0)); break;
        case Verb::MgetList: control_.Ls(a[0].empty() ? tarselctl::String() : arg(0)); break;
        case Verb::MirrorList: {
            // Made, or checked, one level at a time below the target: a link already inside
            // it (m/sub -> /elsewhere) must not take the files somewhere else.
            const OpenedDirectory opened = OpenDirectoryBelow(command.localRoot, command.localBelow, true);
            if (opened.fd < 0) {
                localError = opened.error;
                break;
            }
            ::close(opened.fd);
            running_->listAfterCd = true;
            control_.Cwd(arg(0));
            break;
        }
        case Verb::MirrorUpList:
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

void FtpSession::StartGet(const Command& command) {
    const std::vector<std::string>& a = command.args;
    std::optional<std::uint64_t> rest = pendingRest_;
    pendingRest_.reset();
    if (command.resume) {
        // Resumed from what is already here; nothing here means a fresh download.
        struct stat st {};
        rest.reset();
        if (::stat(a[1].c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
            rest = static_cast<std::uint64_t>(st.st_size);
    }
    std::string error;
    if (!command.localRoot.empty()) {
        // mirror fetches whole files; a `rest` typed before it is for a get of the user's.
        rest.reset();
        // mirror: the file's directory is held open from here to the final rename, so the
        // download lands inside the target whatever is renamed or linked meanwhile.
        const std::size_t slash = command.localBelow.rfind('/');
        const std::string_view directory =
            slash == std::string::npos ? std::string_view() : std::string_view(command.localBelow).substr(0, slash);
        const OpenedDirectory opened = OpenDirectoryBelow(command.localRoot, directory, false);
        error = opened.fd < 0 ? opened.error
                              : download_.PrepareIn(opened.fd, command.localBelow.substr(slash + 1),
                                                    fs::path(a[1]).parent_path().string());
    } else {
        error = download_.Prepare(a[1], rest);
    }
    if (!error.empty()) {
        running_->localFault = error;
        return;
    }
    running_->offset = rest.value_or(0);
    if (command.resume && rest) {
        // A remote file that has become shorter than the local one takes a REST past its
        // end on most servers: nothing arrives, 226 follows, and the local file would pass
        // for complete. Its size is asked first.
        running_->sizeBeforeResume = true;
        const TypeOnce type(control_, sentType_);
        control_.FileSize(ExactText(a[0], u"GetFile"));
        return;
    }
    RequestDownload();
}

void FtpSession::RequestDownload() {
    const std::vector<std::string>& a = running_->command->args;
    const std::uint64_t rest = running_->offset;
    // Always written: a restart offset left from a refused download must not apply.
    control_.put_Rest(rest > 0 ? FromUtf8(std::to_string(rest)) : tarselctl::String());
    // The local name is only handed back in GetOpen; it never reaches the server.
    const TypeOnce type(control_, sentType_);
    control_.GetFile(ExactText(a[0], u"GetFile"), FromUtf8(a[1]));
}

void FtpSession::ResumeAfterSize(Running r, std::int32_t code, const std::string& text) {
    const std::string& local = r.command->args[1];
    std::optional<std::uint64_t> remoteSize;
    if (code == 0 && !text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        text.size() <= 19)
        remoteSize = std::stoull(text);
    if (remoteSize && *remoteSize < r.offset) {
        (void)download_.Finish(false);
        Fail(Fault::Local, "", r.subject,
             "cannot resume: '" + local + "' has " + std::to_string(r.offset) +
                 " bytes, the file on the server only " + std::to_string(*remoteSize) +
                 "; the local file is left as it is");
        return;
    }
    if (remoteSize && *remoteSize == r.offset) {
        (void)download_.Finish(false);
        if (interactive_)
            Note("'" + local + "' is complete already (" + std::to_string(r.offset) + " bytes)");
        output_.Flush();
        return;
    }
    if (remoteSize) {
        r.total = remoteSize;
    } else {
        // Servers without SIZE still resume; what cannot be checked now is checked by what
        // arrives (see Complete).
        r.resumeUnchecked = true;
        PrintError("tarsel-ftp: " + r.subject + ": the server did not tell the file's size (" +
                   (code > 0 ? std::to_string(code) + " " : std::string()) + text +
                   "); resuming unchecked");
    }
    r.sizeBeforeResume = false;
    r.replies.clear();
    running_ = std::move(r);
    phase_ = Phase::Running;
    try {
        RequestDownload();
    } catch (const AutomationError& e) {
        const std::string subject = running_->subject;
        running_.reset();
        phase_ = Phase::Ready;
        (void)download_.Finish(false);
        Fail(Fault::Local, "", subject, ToUtf8(e.Description()));
    }
}

void FtpSession::StartPut(const Command& command) {
    const std::vector<std::string>& a = command.args;
    std::string error;
    if (a[0] == "-") {
        if (commandsFromStdin_) {
            running_->localFault = "standard input carries the commands; put - works with -c";
            return;
        }
        error = upload_.OpenStandardInput(options_.chunk);
    } else {
        error = upload_.Open(a[0], options_.chunk);
        if (error.empty()) running_->total = upload_.Size();
    }
    if (!error.empty()) {
        running_->localFault = error;
        return;
    }
    const TypeOnce type(control_, sentType_);
    if (command.verb == Verb::Put) control_.PutFile(ExactText(a[1], u"PutFile"), FromUtf8(a[0]));
    else control_.AppendFile(ExactText(a[1], u"AppendFile"));
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

void FtpSession::Complete(std::int32_t code, const std::string& text) {
    abortGuard_.cancel();
    output_.Meter("");
    Running r = std::move(*running_);
    running_.reset();
    phase_ = Phase::Ready;
    if (r.setupStep != SetupStep::None) {
        // FEAT and OPTS are courtesies to the server: a refusal leaves the session as it is.
        if (r.setupStep == SetupStep::Features && code == 0 && featuresListUtf8_)
            StartSetupStep("OPTS UTF8 ON", SetupStep::Utf8On);
        return;
    }
    if (r.listAfterCd && code == 0 && !r.localFault) {
        // A mirror listing is read from inside its directory: LIST with a path argument
        // fails on servers that split it at blanks (pure-ftpd).
        r.listAfterCd = false;
        r.replies.clear();
        running_ = std::move(r);
        phase_ = Phase::Running;
        try {
            control_.Dir();
        } catch (const AutomationError& e) {
            const std::string subject = running_->subject;
            running_.reset();
            phase_ = Phase::Ready;
            Fail(Fault::Local, "", subject, ToUtf8(e.Description()));
        }
        return;
    }
    if (r.sizeBeforeResume && !r.localFault) {
        ResumeAfterSize(std::move(r), code, text);
        return;
    }
    if (!r.command && r.operation == "Connect") {
        if (code == 0) {
            connected_ = true;
            if (interactive_) Note(lastReply_);
            if (options_.sysCode && *options_.sysCode == "UTF8") {
                // Servers that speak UTF-8 only when asked say so in FEAT.
                featuresListUtf8_ = false;
                StartSetupStep("FEAT", SetupStep::Features);
            }
            return;
        }
        // Refused login: the control keeps the connection; without a login it is of no use.
        connected_ = true;
    }
    bool success = code == 0 && !r.localFault && !r.transErrorCode;
    const bool get = r.command && r.command->verb == Verb::Get;
    const bool put = r.command && (r.command->verb == Verb::Put || r.command->verb == Verb::Append);
    if (success && r.resumeUnchecked && r.bytes == 0) {
        // Nothing after the local file's end, with no size to compare: either it was
        // complete already or the remote file is shorter. Calling it complete could be wrong.
        r.localFault = "nothing arrived after byte " + std::to_string(r.offset) +
                       " and the server does not tell the size: '" + r.command->args[1] +
                       "' may be longer than the file on the server";
        success = false;
    }
    if (get) {
        const std::string error = download_.Finish(success);
        if (!error.empty() && !r.localFault) {
            r.localFault = error;
            success = false;
        }
    } else if (put) {
        upload_.Close();
    }
    if (success) {
        Succeeded(r, text);
        return;
    }
    if (r.command && r.command->mayFail && !r.localFault) return;
    FailRunning(r, code, text);
    if (!r.command && r.operation == "Connect" && !interactive_) StopAfterFailure();
}

void FtpSession::Succeeded(Running& r, const std::string& text) {
    const Verb verb = r.command ? r.command->verb : Verb::Noop;
    switch (verb) {
    case Verb::Pwd:
    case Verb::Size:
        Print(text + "\n");
        break;
    case Verb::Quote:
    case Verb::Site:
        if (!options_.verbose)
            for (const std::string& line : r.replies) Print(line + "\n");
        break;
    case Verb::Get:
    case Verb::Put:
    case Verb::Append:
        if (interactive_) {
            std::string reply = lastReply_;
            while (!reply.empty() && (reply.back() == '.' || reply.back() == ' ')) reply.pop_back();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - r.started).count();
            Note(reply + ": " + FormatTransferSummary(r.bytes, seconds));
        }
        break;
    case Verb::MgetList: ExpandMgetList(r); break;
    case Verb::MirrorStart: ExpandMirrorStart(r, text); break;
    case Verb::ParallelStart: StartParallel(QuotedDirectory(text)); break;
    case Verb::MirrorList: ExpandMirrorList(r); break;
    case Verb::MirrorUpList: ExpandMirrorUpList(r); break;
    case Verb::Dir:
    case Verb::Ls:
        break;
    default:
        if (interactive_ && !options_.verbose) Note(lastReply_);
        break;
    }
    output_.Flush();
}

void FtpSession::FailRunning(Running& r, std::int32_t code, const std::string& text) {
    if (r.localFault) {
        std::string detail = *r.localFault;
        if (code > 0) detail += " (server: " + std::to_string(code) + " " + text + ")";
        const bool namesFile = detail.find('\'') != std::string::npos;
        Fail(Fault::Local, "", namesFile ? "" : r.subject, detail);
    } else if (code > 0) {
        Fail(Fault::Server, std::to_string(code), r.subject, text);
    } else if (r.transErrorCode) {
        // A fault of the control connection (lost during the transfer) is named as such; the
        // data connection was not what failed.
        std::string detail =
            (r.transErrorWhere == "control" ? "" : "data connection: ") + r.transErrorText;
        if (r.transErrorWhere == "connect" || r.transErrorWhere == "listen" ||
            r.transErrorWhere == "accept" || r.transErrorWhere == "timer") {
            const bool passive = control_.get_Passive() != tarselctl::False;
            detail += interactive_ ? (passive ? " (try: passive off)" : " (try: passive on)")
                                   : (passive ? " (try --active)" : " (try --passive)");
        }
        Fail(Fault::Connection, "", r.subject, detail);
    } else if (r.isTransfer) {
        // The control gave up before a data connection stood; the text it passes on is the
        // server's last reply, which may well have been a success.
        const bool passive = control_.get_Passive() != tarselctl::False;
        Fail(Fault::Connection, "", r.subject,
             "no data connection could be set up (last reply: " + text + ")" +
                 (interactive_ ? (passive ? " (try: passive off)" : " (try: passive on)")
                               : (passive ? " (try --active)" : " (try --passive)")));
    } else {
        Fail(Fault::Connection, "", r.subject, text);
    }
}

void FtpSession::Fail(Fault fault, const std::string& code, const std::string& subject,
                      const std::string& text) {
    ++failures_;
    output_.Flush();
    std::string line = "tarsel-ftp: ";
    switch (fault) {
    case Fault::Server: line += "server " + code + ": "; break;
    case Fault::Connection: line += "connection: "; break;
    case Fault::Local: line += "local: "; break;
    }
    if (!subject.empty()) line += subject + ": ";
    PrintError(line + text);
    if (!options_.keepGoing && !interactive_) StopAfterFailure();
}

void FtpSession::NoteLocalFault(const std::string& text) {
    if (running_ && !running_->localFault) running_->localFault = text;
}

void FtpSession::RequestAbort() {
    if (!running_ || !running_->isTransfer || running_->abortRequested) return;
    running_->abortRequested = true;
    NoteLocalFault("aborted");
    // At once, also before the transfer opened: the control ends a data connection still
    // connecting or in its TLS handshake, and the grace below bounds a server that then says
    // nothing. An active-mode connection not made yet is ended by its open event instead.
    PostAbort();
}

void FtpSession::AbortForFault(const std::string& error) {
    NoteLocalFault(error);
    running_->abortRequested = true;
    if (running_->dataOpen) PostAbort();
}

void FtpSession::PostAbort() {
    // Abort closes the data connection, which raises the close events; that must not happen
    // in the middle of the handler that asked for it. The command may have ended (and another
    // begun) by the time this runs.
    const std::uint64_t id = running_->id;
    asio::post(io_, [this, id] {
        if (!running_ || running_->id != id) return;
        control_.Abort();
        if (!running_ || running_->id != id) return;
        abortGuard_.expires_after(kAbortGrace);
        abortGuard_.async_wait([this, id](const asio::error_code& ec) {
            if (ec || !running_ || running_->id != id) return;
            running_->localFault = *running_->localFault +
                                   "; the server did not answer, so the connection was closed";
            control_.Abend();
        });
    });
}

void FtpSession::StopAfterFailure() {
    queue_.clear();
    inputEnded_ = true;
    if (onInputUnwanted_) onInputUnwanted_();
}

void FtpSession::Finish() {
    if (phase_ == Phase::Finished) return;
    phase_ = Phase::Finished;
    quitGuard_.cancel();
    abortGuard_.cancel();
    asio::error_code ignored;
    childSignal_.cancel(ignored);
    running_.reset();
    queue_.clear();
    (void)download_.Finish(false);
    upload_.Close();
    output_.Meter("");
    output_.Flush();
    if (onInputUnwanted_) onInputUnwanted_();
    if (onFinished_) onFinished_();
}

bool FtpSession::ShowsProgress() const {
    return options_.progress.value_or(true) && output_.ErrIsTerminal();
}

void FtpSession::UpdateMeter(bool final) {
    if (!running_ || !ShowsProgress()) return;
    Running& r = *running_;
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - r.started).count();
    // The 150 reply that names the size may be read after the first data has arrived: the
    // meter then starts over once the size is known.
    if (!r.meter || (!r.meterKnowsTotal && r.total)) {
        const std::string name = r.command && !r.command->args.empty() ? BaseName(r.command->args[0]) : r.operation;
        r.meter.emplace(name, r.total);
        r.meterKnowsTotal = r.total.has_value();
    }
    const int width = output_.MeterWidth();
    if (final) {
        output_.Meter(r.meter->Final(r.offset + r.bytes, now, width));
        return;
    }
    if (std::optional<std::string> line = r.meter->Update(r.offset + r.bytes, now, width))
        output_.Meter(*line);
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

// ---- the control's events

void FtpSession::Trace(const tarselctl::String& msg) {
    sentType_.Observe(msg);
    const std::string line = ToUtf8(msg);
    if (options_.trace) PrintError(line);
    if (!IsReceivedLine(line)) return;
    if (options_.verbose && !options_.trace) Print(line + "\n");
    if (IsFinalReplyLine(line)) lastReply_ = line;
    if (!running_) return;
    if (running_->replies.size() < kMaxKeptReplies) running_->replies.push_back(line);
    if (!running_->total && line.rfind("150", 0) == 0) running_->total = SizeFromOpeningReply(line);
    // FEAT lists one feature per line, each indented by a space.
    if (running_->setupStep == SetupStep::Features && line.size() >= 5 && line[0] == ' ') {
        std::string feature = line.substr(1);
        while (!feature.empty() && (feature.back() == ' ' || feature.back() == '\r'))
            feature.pop_back();
        for (char& c : feature) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (feature == "UTF8") featuresListUtf8_ = true;
    }
}

void FtpSession::Connected() { TraceEvent("Connected"); }

void FtpSession::DisConnected(tarselctl::Long code, const tarselctl::String& msg) {
    TraceEvent("DisConnected " + std::to_string(code) + " " + ToUtf8(msg));
    sentType_.Reset();
    if (phase_ == Phase::Finished) return;
    output_.Meter("");
    const bool wasConnected = connected_;
    connected_ = false;
    if (phase_ == Phase::Quitting) {
        Finish();
        return;
    }
    if (phase_ == Phase::Closing) {
        running_.reset();
        phase_ = Phase::Closed;
        if (interactive_) Note(lastReply_.empty() ? "Connection closed." : lastReply_);
        StartNext();
        return;
    }
    // The socket layer says "text(where)": where = connect is a connection never made.
    std::string text = ToUtf8(msg);
    std::string where;
    if (!text.empty() && text.back() == ')') {
        if (const auto open = text.rfind('('); open != std::string::npos) {
            where = text.substr(open + 1, text.size() - open - 2);
            text.erase(open);
        }
    }
    std::string reason;
    if (where == "connect" || (phase_ == Phase::Connecting && !wasConnected && code > 0)) {
        std::string port = ToUtf8(control_.get_port());
        if (port.empty()) port = "21";
        const bool bareIpv6 = options_.host.find(':') != std::string::npos && options_.host.front() != '[';
        const std::string host = bareIpv6 ? "[" + options_.host + "]" : options_.host;
        reason = "could not connect to " + host + ":" + port + ": " + text;
    } else if (where == "tls") {
        reason = "TLS: " + text;
    } else if (text.empty()) {
        reason = "the server closed the connection";
    } else {
        reason = text + (where.empty() ? "" : " (" + where + ")");
    }
    if (phase_ == Phase::Shell) {
        Fail(Fault::Connection, "", "", reason);
        return;
    }
    if (running_) {
        Running r = std::move(*running_);
        running_.reset();
        (void)download_.Finish(false);
        upload_.Close();
        if (r.localFault) Fail(Fault::Local, "", r.subject, *r.localFault);
        else Fail(Fault::Connection, "", r.operation == "Connect" ? "" : r.subject, reason);
    } else if (!queue_.empty() || !inputEnded_) {
        // Commands were still to come and none of them can run now.
        Fail(Fault::Connection, "", "", reason);
    }
    if (interactive_) {
        phase_ = Phase::Closed;
        StartNext();
        return;
    }
    Finish();
}

void FtpSession::CommandDone(tarselctl::Integer code, const tarselctl::String& FtpCommand,
                             const tarselctl::String& msg) {
    TraceEvent("CommandDone " + std::to_string(code) + " " + ToUtf8(FtpCommand) + " " +
               ToUtf8(msg));
    if (phase_ == Phase::Finished) return;
    if (phase_ == Phase::Quitting || phase_ == Phase::Closing) {
        // The server refused QUIT: the connection is closed from this side instead.
        if (code != 0) control_.Abend();
        return;
    }
    if (!running_) {
        // The end of the control's own keep-alive NOOP: a waiting command may start now.
        if (phase_ == Phase::Ready) StartNext();
        return;
    }
    Complete(code, ToUtf8(msg));
    if (phase_ == Phase::Ready) StartNext();
}

void FtpSession::GetOpen(const tarselctl::String& SaveFileName) {
    TraceEvent("GetOpen " + ToUtf8(SaveFileName));
    if (!running_ || !running_->command || running_->command->verb != Verb::Get) return;
    running_->dataOpen = true;
    // The local file is opened by the first block: a server that opens the data connection
    // and then refuses the file leaves nothing behind.
    if (running_->abortRequested) PostAbort();
}

void FtpSession::GetData(tarselctl::ByteArray& Data) {
    if (options_.trace) TraceEvent("GetData " + std::to_string(Data.size()));
    if (!running_ || !running_->command || running_->command->verb != Verb::Get ||
        running_->localFault)
        return;
    const std::string error = download_.Write(Data.data(), Data.size());
    if (!error.empty()) {
        AbortForFault(error);
        return;
    }
    running_->bytes += Data.size();
    UpdateMeter(false);
}

void FtpSession::GetClose() {
    TraceEvent("GetClose");
    if (!running_) return;
    running_->dataOpen = false;
    if (!running_->localFault && running_->meter) UpdateMeter(true);
}

void FtpSession::PutOpen(const tarselctl::String& LoadFileName) {
    TraceEvent("PutOpen " + ToUtf8(LoadFileName));
    // An aborted upload ends at its first PutData, which hands over nothing.
    if (running_) running_->dataOpen = true;
}

void FtpSession::PutData(tarselctl::ByteArray& Data) {
    if (!running_ || !running_->command ||
        (running_->command->verb != Verb::Put && running_->command->verb != Verb::Append) ||
        running_->localFault) {
        // An empty block ends the upload.
        Data.clear();
        return;
    }
    const std::string error = upload_.Next(Data);
    if (!error.empty()) {
        NoteLocalFault(error);
        Data.clear();
        return;
    }
    running_->bytes += Data.size();
    UpdateMeter(false);
}

void FtpSession::PutClose() {
    TraceEvent("PutClose");
    if (!running_) return;
    running_->dataOpen = false;
    if (!running_->localFault && running_->meter) UpdateMeter(true);
}

void FtpSession::DirOpen() {
    TraceEvent("DirOpen");
    if (!running_) return;
    running_->dataOpen = true;
    if (running_->abortRequested) PostAbort();
}

void FtpSession::DirData(tarselctl::String& Data) {
    if (running_ && running_->capture) {
        std::string line = ToUtf8(Data);
        running_->capturedBytes += line.size() + 1;
        if (running_->capturedBytes > kMaxCapturedListing) {
            if (!running_->abortRequested)
                AbortForFault("the listing is larger than " +
                              std::to_string(kMaxCapturedListing >> 20) + " MiB");
            return;
        }
        running_->lines.push_back(std::move(line));
        return;
    }
    Print(ToUtf8(Data));
    Print("\n");
}

void FtpSession::DirClose() {
    TraceEvent("DirClose");
    if (running_) running_->dataOpen = false;
}

void FtpSession::TransError(tarselctl::Long Ecode, const tarselctl::String& Description,
                            const tarselctl::String& Where) {
    TraceEvent("TransError " + std::to_string(Ecode) + " " + ToUtf8(Description) + " " +
               ToUtf8(Where));
    if (running_ && !running_->transErrorCode) {
        running_->transErrorCode = std::to_string(Ecode);
        running_->transErrorText = ToUtf8(Description);
        running_->transErrorWhere = ToUtf8(Where);
    }
}

}  // namespace tarselftp
