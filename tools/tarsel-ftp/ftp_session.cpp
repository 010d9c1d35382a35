#include "ftp_session.h"

#include <cctype>
#include <chrono>
#include <cstdio>

#include <unistd.h>

#include <asio/post.hpp>

#include "terminal_text.h"

namespace tarselftp {

using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

namespace {

// The operation names the control reports, so that a command that fails before it reaches
// the control is named the same way as one the server refused.
std::string OperationName(Verb verb) {
    switch (verb) {
    case Verb::Cd: return "Cd";
    case Verb::Cwd: return "Cwd";
    case Verb::Pwd: return "Pwd";
    case Verb::Size: return "Size";
    case Verb::Noop: return "Noop";
    case Verb::Delete: return "Delete";
    case Verb::MkDir: return "MkDir";
    case Verb::RmDir: return "RmDir";
    case Verb::Rename: return "Rename";
    case Verb::Site: return "Site";
    case Verb::Quote: return "Quote";
    case Verb::Dir: return "Dir";
    case Verb::Ls: return "Ls";
    case Verb::Get: return "GetFile";
    case Verb::Put: return "PutFile";
    case Verb::Append: return "AppendFile";
    case Verb::Rest: return "Rest";
    case Verb::Login: return "User";
    case Verb::Abort: return "Abort";
    case Verb::Quit: return "DisConnect";
    }
    return "?";
}

bool IsTransfer(Verb verb) {
    return verb == Verb::Get || verb == Verb::Put || verb == Verb::Append || verb == Verb::Dir ||
           verb == Verb::Ls;
}

// A server that never answers QUIT must not keep the program alive.
constexpr auto kQuitGrace = std::chrono::seconds(10);
// Some servers (pure-ftpd) send no final reply at all when the data connection of a running
// download is closed under them; without it the control would stay busy for good.
constexpr auto kAbortGrace = std::chrono::seconds(5);

}  // namespace

FtpSession::FtpSession(asio::io_context& io, tarselctl::tarsel& control, const Options& options)
    : io_(io), control_(control), options_(options), quitGuard_(io), abortGuard_(io) {
    cookie_ = control_.Advise(*this);
    stdoutIsTerminal_ = ::isatty(STDOUT_FILENO) == 1;
    stderrIsTerminal_ = ::isatty(STDERR_FILENO) == 1;
}

FtpSession::~FtpSession() { control_.Unadvise(cookie_); }

bool FtpSession::Start() {
    try {
        control_.InitProperties();
        // Diagnostics cost text formatting on every socket event; only --trace shows them.
        control_.TraceOn = options_.trace ? tarselctl::True : tarselctl::False;
        if (options_.port) control_.put_port(FromUtf8(*options_.port));
        if (options_.passive)
            control_.put_Passive(*options_.passive ? tarselctl::True : tarselctl::False);
        if (options_.type) control_.put_Filetype(FromUtf8(*options_.type));
        if (options_.fileCode) control_.put_FileCode(FromUtf8(*options_.fileCode));
        if (options_.sysCode) control_.put_SysCode(FromUtf8(*options_.sysCode));
        if (options_.hostCode) control_.put_HostCode(FromUtf8(*options_.hostCode));
        if (options_.tls) control_.put_TlsMode(FromUtf8(*options_.tls));
        if (options_.caFile) control_.put_TlsCaFile(FromUtf8(*options_.caFile));
        if (options_.insecure) control_.put_TlsVerify(tarselctl::False);
        if (options_.account) control_.put_Account(FromUtf8(*options_.account));
        if (!options_.preCommands.empty())
            control_.put_PreCommand(FromUtf8(JoinPreCommands(options_.preCommands)));
        if (options_.connectTimeout) control_.put_ConnectTimeout(*options_.connectTimeout);
        if (options_.transTimeout) control_.put_TransTimeout(*options_.transTimeout);
        if (options_.noopTime) control_.put_NoopTime(*options_.noopTime);
        control_.put_ReplyTimeout(options_.replyTimeout);
    } catch (const AutomationError& e) {
        Fail(std::to_string(e.Number()), ToUtf8(e.Source()), ToUtf8(e.Description()));
        Finish();
        return false;
    }

    running_ = Running{};
    running_->operation = "Connect";
    phase_ = Phase::Connecting;
    try {
        control_.Connect(FromUtf8(options_.host), FromUtf8(options_.user),
                         FromUtf8(options_.password));
    } catch (const AutomationError& e) {
        running_.reset();
        Fail(std::to_string(e.Number()), "Connect", ToUtf8(e.Description()));
        Finish();
        return false;
    }
    return true;
}

void FtpSession::AddLine(const std::string& line) {
    if (phase_ == Phase::Finished || inputEnded_) return;
    ParsedLine parsed = ParseCommand(line);
    if (std::holds_alternative<NoCommand>(parsed)) return;
    if (const auto* command = std::get_if<Command>(&parsed); command && command->verb == Verb::Abort) {
        // abort is meant for the transfer just before it: the running one, or one that is
        // still waiting its turn, which then never starts.
        if (!queue_.empty()) {
            const auto* last = std::get_if<Command>(&queue_.back());
            if (last && IsTransfer(last->verb))
                queue_.back() = CommandError{OperationName(last->verb), "aborted"};
        } else if (running_ && running_->isTransfer) {
            RequestAbort();
        }
        return;
    }
    queue_.push_back(std::move(parsed));
    if (phase_ == Phase::Ready) StartNext();
}

void FtpSession::EndOfInput() {
    if (inputEnded_) return;
    inputEnded_ = true;
    if (phase_ == Phase::Ready) StartNext();
}

void FtpSession::Interrupt() {
    if (phase_ == Phase::Finished) return;
    if (running_ && running_->isTransfer && !running_->abortRequested) {
        RequestAbort();
        return;
    }
    // Nothing left to abort (or a second interrupt): the user wants to stop.
    queue_.clear();
    inputEnded_ = true;
    if (onInputUnwanted_) onInputUnwanted_();
    if (phase_ == Phase::Ready) {
        Fail("local", "Interrupt", "interrupted");
        StartNext();
        return;
    }
    // A command, the login or the QUIT is waiting for a server that may never answer.
    NoteLocalFault("interrupted");
    control_.Abend();
}

void FtpSession::StartNext() {
    while (phase_ == Phase::Ready) {
        // The control's own keep-alive NOOP may be running; its CommandDone calls back here.
        if (control_.IsIdle() == tarselctl::False) return;
        if (queue_.empty()) {
            if (inputEnded_) StartQuit();
            return;
        }
        ParsedLine next = std::move(queue_.front());
        queue_.pop_front();
        Execute(next);
    }
}

void FtpSession::Execute(const ParsedLine& parsed) {
    if (const auto* error = std::get_if<CommandError>(&parsed)) {
        Fail("local", error->word, error->message);
        return;
    }
    const Command& command = std::get<Command>(parsed);
    switch (command.verb) {
    case Verb::Rest:
        pendingRest_ = command.offset;
        return;
    case Verb::Abort:  // taken as it arrives (AddLine)
        return;
    case Verb::Quit:
        queue_.clear();
        inputEnded_ = true;
        if (onInputUnwanted_) onInputUnwanted_();
        StartQuit();
        return;
    default:
        StartControlCommand(command);
        return;
    }
}

void FtpSession::StartControlCommand(const Command& command) {
    const std::vector<std::string>& a = command.args;
    auto arg = [&](std::size_t i) { return FromUtf8(a[i]); };
    running_ = Running{};
    running_->id = ++commandCount_;
    running_->verb = command.verb;
    running_->operation = OperationName(command.verb);
    running_->isTransfer = IsTransfer(command.verb);
    phase_ = Phase::Running;

    std::string localError;
    try {
        switch (command.verb) {
        case Verb::Cd: control_.Cd(arg(0)); break;
        case Verb::Cwd: control_.Cwd(arg(0)); break;
        case Verb::Pwd: control_.Pwd(); break;
        case Verb::Size: control_.FileSize(arg(0)); break;
        case Verb::Noop: control_.Noop(); break;
        case Verb::Delete: control_.Delete(arg(0)); break;
        case Verb::MkDir: control_.MkDir(arg(0)); break;
        case Verb::RmDir: control_.RmDir(arg(0)); break;
        case Verb::Rename: control_.Rename(arg(0), arg(1)); break;
        case Verb::Site: control_.SiteCommand(arg(0)); break;
        case Verb::Quote: control_.QuoteCommand(arg(0)); break;
        case Verb::Dir: control_.Dir(a.empty() ? tarselctl::String() : arg(0)); break;
        case Verb::Ls: control_.Ls(a.empty() ? tarselctl::String() : arg(0)); break;
        case Verb::Login: control_.Login(arg(0), arg(1)); break;
        case Verb::Get: {
            const std::optional<std::uint64_t> rest = pendingRest_;
            pendingRest_.reset();
            localError = download_.Prepare(a[1], rest);
            if (!localError.empty()) break;
            // Always written: a restart offset left from a refused download must not apply.
            control_.put_Rest(rest ? FromUtf8(std::to_string(*rest)) : tarselctl::String());
            control_.GetFile(arg(0), arg(1));
            break;
        }
        case Verb::Put:
            localError = upload_.Open(a[0], options_.chunk);
            if (localError.empty()) control_.PutFile(arg(1), arg(0));
            break;
        case Verb::Append:
            localError = upload_.Open(a[0], options_.chunk);
            if (localError.empty()) control_.AppendFile(arg(1));
            break;
        case Verb::Rest:
        case Verb::Abort:
        case Verb::Quit:
            break;
        }
    } catch (const AutomationError& e) {
        if (phase_ != Phase::Running || !running_) return;  // the connection ended meanwhile
        const std::string operation = running_->operation;
        running_.reset();
        phase_ = Phase::Ready;
        (void)download_.Finish(false);
        upload_.Close();
        Fail(std::to_string(e.Number()), operation, ToUtf8(e.Description()));
        return;
    }
    if (!localError.empty() && running_) {
        const std::string operation = running_->operation;
        running_.reset();
        phase_ = Phase::Ready;
        (void)download_.Finish(false);
        upload_.Close();
        Fail("local", operation, localError);
    }
}

void FtpSession::StartQuit() {
    running_ = Running{};
    running_->verb = Verb::Quit;
    running_->operation = "DisConnect";
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
    Running r = std::move(*running_);
    running_.reset();
    phase_ = Phase::Ready;
    if (r.setupStep != SetupStep::None) {
        // FEAT and OPTS are courtesies to the server: a refusal leaves the session as it is.
        if (r.setupStep == SetupStep::Features && code == 0 && featuresListUtf8_)
            StartSetupStep("OPTS UTF8 ON", SetupStep::Utf8On);
        return;
    }
    if (code == 0 && !r.verb && r.operation == "Connect" && options_.sysCode &&
        *options_.sysCode == "UTF8") {
        // Servers that speak UTF-8 only when asked say so in FEAT.
        featuresListUtf8_ = false;
        StartSetupStep("FEAT", SetupStep::Features);
        return;
    }
    bool success = code == 0 && !r.localFault && !r.transErrorCode;
    if (r.verb == Verb::Get) {
        const std::string error = download_.Finish(success);
        if (!error.empty() && !r.localFault) {
            r.localFault = error;
            success = false;
        }
    } else if (r.verb == Verb::Put || r.verb == Verb::Append) {
        upload_.Close();
    }
    if (success) {
        if (r.verb == Verb::Pwd || r.verb == Verb::Size) Print(text + "\n");
        std::fflush(stdout);
        return;
    }
    if (r.localFault) {
        std::string detail = *r.localFault;
        if (code != 0) detail += " (server: " + std::to_string(code) + " " + text + ")";
        Fail("local", r.operation, detail);
    } else if (code != 0) {
        Fail(std::to_string(code), r.operation, text);
    } else {
        Fail(*r.transErrorCode, r.operation, r.transErrorText);
    }
}

void FtpSession::Fail(const std::string& code, const std::string& operation,
                      const std::string& text) {
    ++failures_;
    std::fflush(stdout);
    PrintError("tarsel-ftp: " + code + " " + operation + ": " + text);
    if (!options_.keepGoing) StopAfterFailure();
}

void FtpSession::NoteLocalFault(const std::string& text) {
    if (running_ && !running_->localFault) running_->localFault = text;
}

void FtpSession::RequestAbort() {
    if (!running_ || !running_->isTransfer || running_->abortRequested) return;
    running_->abortRequested = true;
    NoteLocalFault("aborted");
    // Before the data connection is up there is nothing to close yet; its open event does it.
    if (running_->dataOpen) PostAbort();
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
        if (!running_ || running_->id != id || !running_->dataOpen) return;
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
    running_.reset();
    queue_.clear();
    (void)download_.Finish(false);
    upload_.Close();
    std::fflush(stdout);
    if (onInputUnwanted_) onInputUnwanted_();
    if (onFinished_) onFinished_();
}

void FtpSession::TraceEvent(const std::string& text) {
    if (options_.trace) PrintError("event: " + text);
}

void FtpSession::Print(const std::string& text) {
    const std::string shown = stdoutIsTerminal_ ? ShowControlCharacters(text) : text;
    std::fwrite(shown.data(), 1, shown.size(), stdout);
}

void FtpSession::PrintError(const std::string& line) {
    const std::string shown = (stderrIsTerminal_ ? ShowControlCharacters(line) : line) + "\n";
    std::fwrite(shown.data(), 1, shown.size(), stderr);
}

// ---- the control's events

void FtpSession::Trace(const tarselctl::String& msg) {
    if (options_.trace) PrintError(ToUtf8(msg));
    // FEAT lists one feature per line, each indented by a space.
    if (running_ && running_->setupStep == SetupStep::Features && msg.size() >= 5 &&
        msg[0] == u' ') {
        std::string feature = ToUtf8(msg.substr(1));
        while (!feature.empty() && (feature.back() == ' ' || feature.back() == '\r'))
            feature.pop_back();
        for (char& c : feature) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (feature == "UTF8") featuresListUtf8_ = true;
    }
}

void FtpSession::Connected() { TraceEvent("Connected"); }

void FtpSession::DisConnected(tarselctl::Long code, const tarselctl::String& msg) {
    TraceEvent("DisConnected " + std::to_string(code) + " " + ToUtf8(msg));
    if (phase_ == Phase::Finished) return;
    if (phase_ == Phase::Quitting) {
        Finish();
        return;
    }
    const std::string reason = msg.empty() ? std::string("connection closed")
                                           : "connection closed: " + ToUtf8(msg);
    if (running_) {
        const Running r = std::move(*running_);
        running_.reset();
        (void)download_.Finish(false);
        upload_.Close();
        if (r.localFault) Fail("local", r.operation, *r.localFault);
        else Fail(std::to_string(code), r.operation, reason);
    } else if (!queue_.empty() || !inputEnded_) {
        // Commands were still to come and none of them can run now.
        Fail(std::to_string(code), "Connection", reason);
    }
    Finish();
}

void FtpSession::CommandDone(tarselctl::Integer code, const tarselctl::String& FtpCommand,
                             const tarselctl::String& msg) {
    TraceEvent("CommandDone " + std::to_string(code) + " " + ToUtf8(FtpCommand) + " " +
               ToUtf8(msg));
    if (phase_ == Phase::Finished) return;
    if (phase_ == Phase::Quitting) {
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
    if (!running_ || running_->verb != Verb::Get) return;
    running_->dataOpen = true;
    // The local file is opened by the first block: a server that opens the data connection
    // and then refuses the file leaves nothing behind.
    if (running_->abortRequested) PostAbort();
}

void FtpSession::GetData(tarselctl::ByteArray& Data) {
    if (options_.trace) TraceEvent("GetData " + std::to_string(Data.size()));
    if (!running_ || running_->verb != Verb::Get || running_->localFault) return;
    const std::string error = download_.Write(Data.data(), Data.size());
    if (!error.empty()) AbortForFault(error);
}

void FtpSession::GetClose() {
    TraceEvent("GetClose");
    if (running_) running_->dataOpen = false;
}

void FtpSession::PutOpen(const tarselctl::String& LoadFileName) {
    TraceEvent("PutOpen " + ToUtf8(LoadFileName));
    // An aborted upload ends at its first PutData, which hands over nothing.
    if (running_) running_->dataOpen = true;
}

void FtpSession::PutData(tarselctl::ByteArray& Data) {
    if (!running_ || (running_->verb != Verb::Put && running_->verb != Verb::Append) ||
        running_->localFault) {
        // An empty block ends the upload.
        Data.clear();
        return;
    }
    const std::string error = upload_.Next(Data);
    if (!error.empty()) {
        NoteLocalFault(error);
        Data.clear();
    }
}

void FtpSession::PutClose() {
    TraceEvent("PutClose");
    if (running_) running_->dataOpen = false;
}

void FtpSession::DirOpen() {
    TraceEvent("DirOpen");
    if (!running_) return;
    running_->dataOpen = true;
    if (running_->abortRequested) PostAbort();
}

void FtpSession::DirData(tarselctl::String& Data) {
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
        running_->transErrorText = ToUtf8(Description) + " (" + ToUtf8(Where) + ")";
    }
}

}  // namespace tarselftp
