// How a command ends: the control's events that end it (CommandDone, DisConnected), what a
// success prints or starts next, the one error line a failure gives, and aborting a transfer.
#include "ftp_session.h"

#include <cctype>
#include <utility>

#include <asio/post.hpp>

#include "tree_walk.h"

namespace tarselftp {

using tarselctl::AutomationError;
using tarselctl::ToUtf8;

namespace {

// Some servers (pure-ftpd) send no final reply at all when the data connection of a running
// download is closed under them; without it the control would stay busy for good.
constexpr auto kAbortGrace = std::chrono::seconds(5);
// Reply lines kept for quote and site: a long HELP is fine, an endless one is cut.
constexpr std::size_t kMaxKeptReplies = 10000;

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

}  // namespace

void FtpSession::Complete(std::int32_t code, const std::string& text) {
    abortGuard_.cancel();
    output_.Meter("");
    Running r = std::move(*running_);
    running_.reset();
    phase_ = Phase::Ready;
    if (r.setupStep != SetupStep::None) {
        EndSetupStep(r, code);
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
            StartMachineListing("");
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
    if (r.command && r.command->verb == Verb::CompletionList) {
        // The session's own listing: no output, and its failure is nobody's.
        const bool other = !r.command->args.empty();
        if (other && otherNames_.size() > 64) otherNames_.clear();
        std::vector<std::string>& names = other ? otherNames_[{remoteDirectory_, r.command->args[0]}] : remoteNames_;
        if (code == 0 && !r.localFault && !r.transErrorCode) {
            names.clear();
            const std::int64_t now = std::time(nullptr);
            for (const std::string& line : r.lines)
                if (auto e = ParseRemoteListingLine(line, r.mlsd, now); e && IsSafeEntryName(e->name))
                    names.push_back(e->name + (e->type == RemoteType::Directory ? "/" : ""));
            std::sort(names.begin(), names.end());
            if (!other) {
                namesDirectory_ = remoteDirectory_;
                namesListed_ = std::chrono::steady_clock::now();
            }
        }
        return;
    }
    if (r.sizeBeforeUpload && !r.localFault) {
        ResumeUploadAfterSize(std::move(r), code, text);
        return;
    }
    if (r.command && r.command->verb == Verb::MirrorTime && !r.localFault) {
        // A refused MDTM only means the time is unknown; the file is decided without it.
        MirrorTimeDone(*r.command, code == 0 ? MdtmTime(r.replies) : std::nullopt);
        return;
    }
    if (!r.command && r.operation == "Connect") {
        if (code == 0) {
            connected_ = true;
            if (interactive_) Note(lastReply_);
            BeginSessionSetup();
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
    if (success && get) {
        if (std::string mismatch = DownloadMismatch(r); !mismatch.empty()) {
            r.localFault = std::move(mismatch);
            success = false;
        }
    }
    if (get) {
        const std::string error = download_.Finish(success);
        if (!success) keptPartNote_ = download_.KeptPart();
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
    if (r.command && r.command->job != 0 && r.transErrorCode && r.transErrorWhere == "control" &&
        !r.localFault && !parallel_ && connected_ && options_.retries > 0) {
        // The connection went under a step of a many-file command: its end (DisConnected)
        // follows, and opens it again for the step and the rest of the job.
        lostStep_ = *r.command;
        lostSubject_ = r.subject;
        phase_ = Phase::Connecting;
        return;
    }
    if (r.command && r.command->checkMade && code > 0 && !r.localFault) {
        // Refused: perhaps because it exists, which its parent's listing tells.
        walk_.Refused(*r.command, code, text);
        return;
    }
    if (r.command && r.command->mayFail && !r.command->checkMade && !r.localFault) return;
    // The command that waited for the pattern's listing cannot run without it.
    if (r.command && r.command->verb == Verb::GlobList) DropJob(r.command->job);
    FailRunning(r, code, text);
    if (!r.command && r.operation == "Connect") HintEncryption(text);
    if (get && !keptPartNote_.empty()) {
        TellKeptPart();
        keptPartNote_.clear();
    }
    if (!r.command && r.operation == "Connect" && !interactive_) StopAfterFailure();
}

std::string FtpSession::DownloadMismatch(const Running& r) const {
    // In TYPE A the server counts its own line ends, not the bytes that travel.
    const tarselctl::String type = control_.get_Filetype();
    if (!type.empty() && (type[0] == u'A' || type[0] == u'a')) return {};
    // Counted as the server sent them, before any code conversion.
    const std::uint64_t arrived = control_.DataBytes();
    const std::uint64_t at = r.offset + arrived;
    const auto said = [&](std::uint64_t due, const char* what) {
        return std::to_string(at) + " of " + std::to_string(due) + " bytes arrived" + what;
    };
    if (r.sizeAsked && at != *r.sizeAsked) {
        // More than SIZE minus the offset: the server sent from another byte than REST asked
        // (or the file changed), and the local file would be a mix.
        return at < *r.sizeAsked ? said(*r.sizeAsked, " (the transfer was cut short)")
                                 : said(*r.sizeAsked, " (the server did not resume where asked, or the file changed)");
    }
    // A size from the listing may be older than the file; only a shortfall is certain.
    if (r.command && r.command->knownSize && at < *r.command->knownSize)
        return said(*r.command->knownSize, " of the size listed (the transfer was cut short)");
    // What the 150 announced the control compares itself.
    return {};
}

void FtpSession::Succeeded(Running& r, const std::string& text) {
    const Verb verb = r.command ? r.command->verb : Verb::Noop;
    if (r.command && r.command->job != 0 && r.command->job == reconnectJob_) {
        reconnectJob_ = 0;  // the connection works again: a later loss starts a new count
        reconnects_ = 0;
    }
    if (verb == Verb::Cd || verb == Verb::Cwd || verb == Verb::Pwd) {
        // Cd asks PWD after CWD: its text names the new directory. Cwd's does not, unless
        // it was absolute (mirror going back where it started).
        if (verb == Verb::Cwd) remoteDirectory_ = r.command->args[0].rfind('/', 0) == 0 ? r.command->args[0] : "";
        else if (auto dir = QuotedDirectory(text)) remoteDirectory_ = *dir;
    }
    switch (verb) {
    case Verb::Pwd:
    case Verb::Size:
        Print(text + "\n");
        break;
    case Verb::Quote:
    case Verb::Site:
        // A mirror's own MFMT is no output of the user's.
        if (!options_.verbose && r.command->job == 0)
            for (const std::string& line : r.replies) Print(line + "\n");
        break;
    case Verb::Get:
    case Verb::Put:
    case Verb::Append:
        if (mirrorJob_ != 0 && r.command->job == mirrorJob_) tally_.bytes += r.bytes;
        if (interactive_) {
            std::string reply = lastReply_;
            while (!reply.empty() && (reply.back() == '.' || reply.back() == ' ')) reply.pop_back();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - r.started).count();
            Note(reply + ": " + FormatTransferSummary(r.bytes, seconds));
        }
        break;
    case Verb::MgetList: ExpandMgetList(r); break;
    case Verb::GlobList: GlobListed(r); break;
    case Verb::ClsList: ClsListed(r); break;
    case Verb::WalkList: TakeWalkOutput(walk_.Listed(r.lines, r.mlsd)); break;
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

void FtpSession::PrintMirrorSummary() {
    if (tally_.dryRun) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tally_.started).count();
    Print("mirror: " + std::to_string(tally_.fresh) + " new, " + std::to_string(tally_.updated) + " updated, " +
          std::to_string(tally_.removed) + " removed, " + std::to_string(tally_.failed) + " failed; " +
          FormatTransferSummary(tally_.bytes, seconds) + "\n");
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
    lastFailed_ = true;
    output_.Flush();
    std::string line = "tarsel-ftp: ";
    switch (fault) {
    case Fault::Server: line += "server " + code + ": "; break;
    case Fault::Connection: line += "connection: "; break;
    case Fault::Local: line += "local: "; break;
    }
    if (!subject.empty()) line += subject + ": ";
    PrintError(line + text);
    if (mirrorJob_ != 0 && activeJob_ == mirrorJob_ &&
        std::any_of(queue_.begin(), queue_.end(), [](const Command& c) { return c.endsMirror; })) {
        mirrorFailed_ = true;  // the mirror goes on to its other files (see Execute)
        ++tally_.failed;
        return;
    }
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

void FtpSession::FinishFailedDownload() {
    (void)download_.Finish(false);
    TellKeptPart();
}

void FtpSession::TellKeptPart() {
    // Told once: a script that stops after the failure finishes the download again.
    if (download_.KeptPart().empty() || download_.KeptPart() == toldKeptPart_) return;
    toldKeptPart_ = download_.KeptPart();
    PrintError("tarsel-ftp: what arrived is kept in '" + download_.KeptPart() + "'; get -c continues it");
}

void FtpSession::StopAfterFailure() {
    // A mirror cut short still says what it did.
    if (std::exchange(mirrorJob_, 0) != 0) PrintMirrorSummary();
    queue_.clear();
    inputEnded_ = true;
    if (onInputUnwanted_) onInputUnwanted_();
}

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
}

void FtpSession::Connected() { TraceEvent("Connected"); }

void FtpSession::DisConnected(tarselctl::Long code, const tarselctl::String& msg) {
    TraceEvent("DisConnected " + std::to_string(code) + " " + ToUtf8(msg));
    sentType_.Reset();
    if (phase_ == Phase::Finished) return;
    output_.Meter("");
    const bool wasConnected = connected_;
    const std::string lostDirectory = std::move(remoteDirectory_);
    connected_ = false;
    remoteDirectory_.clear();
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
    if (code == -12 && GoPlainAfterRefusedAuth(ToUtf8(msg))) return;
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
    reason = ExplainTlsFailure(code, std::move(reason));
    if (ReconnectForJob(wasConnected, lostDirectory, reason)) return;
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
        TellKeptPart();
    } else if (!queue_.empty() || !inputEnded_) {
        // Commands were still to come and none of them can run now.
        Fail(Fault::Connection, "", "", reason);
    }
    if (parallel_) {
        // The run's own connections go on (a server may close an idle connection while the
        // files move over the others); the walk of a mirror cannot, and a script ends once
        // the run has.
        if (parallelWalk_ != 0) DropJob(parallelWalk_);
        finishAfterRun_ = !interactive_;
        phase_ = Phase::Closed;
        StartNext();
        return;
    }
    if (interactive_) {
        phase_ = Phase::Closed;
        StartNext();
        return;
    }
    Finish();
}

bool FtpSession::ReconnectForJob(bool wasConnected, const std::string& lostDirectory, const std::string& reason) {
    std::optional<Command> lost = std::exchange(lostStep_, std::nullopt);
    std::string subject = std::move(lostSubject_);
    if (!lost && wasConnected && phase_ == Phase::Running && running_ && running_->command &&
        running_->command->job != 0 && !running_->abortRequested && !parallel_ && options_.retries > 0) {
        lost = *running_->command;
        subject = running_->subject;
        running_.reset();
        (void)download_.Finish(false);
        upload_.Close();
    }
    const bool again = !lost && reconnectJob_ != 0 && phase_ == Phase::Connecting;
    if (!again && !lost) return false;
    if (lost && lost->job != reconnectJob_) reconnects_ = 0;
    if (reconnects_ >= options_.retries) {
        // Given up: the job's other steps would only fail for want of a connection.
        DropJob(lost ? lost->job : reconnectJob_);
        reconnectJob_ = 0;
        reconnects_ = 0;
        running_.reset();
        if (lost) Fail(Fault::Connection, "", subject, reason);
        return false;
    }
    running_.reset();
    if (lost) {
        // Tried again whole once the connection stands.
        reconnectJob_ = lost->job;
        reconnectDirectory_ = lostDirectory;
        queue_.push_front(std::move(*lost));
    }
    ++reconnects_;
    const std::int32_t pause = options_.reconnectInterval << std::min(reconnects_ - 1, 10);
    PrintError("tarsel-ftp: connection: " + reason + "; connecting again in " + std::to_string(pause) + " s (" +
               std::to_string(reconnects_) + " of " + std::to_string(options_.retries) + ")");
    phase_ = Phase::Connecting;
    reconnectTimer_.expires_after(std::chrono::seconds(pause));
    reconnectTimer_.async_wait([this](const asio::error_code& ec) {
        if (ec || phase_ != Phase::Connecting || reconnectJob_ == 0) return;
        // Back where the job worked before its steps go on (a new login starts at home).
        if (!reconnectDirectory_.empty()) queue_.push_front(Command{Verb::Cwd, {std::move(reconnectDirectory_)}});
        reconnectDirectory_.clear();
        BeginConnect();
    });
    return true;
}

void FtpSession::GiveUpReconnect() {
    reconnectTimer_.cancel();
    DropJob(reconnectJob_);
    reconnectJob_ = 0;
    reconnects_ = 0;
    phase_ = Phase::Closed;
    Fail(Fault::Local, "", "", "interrupted");
    if (!interactive_) Finish();
    else StartNext();
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

}  // namespace tarselftp
