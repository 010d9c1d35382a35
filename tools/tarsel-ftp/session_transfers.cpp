// get and put on the session's connection: the local file prepared, a resume checked against
// the server's size, the data events written to or read from the file, and the meter.
#include "ftp_session.h"

#include <algorithm>
#include <utility>
#include <filesystem>

#include <sys/stat.h>

#include "confined_directory.h"
#include "type_once.h"

namespace tarselftp {

namespace fs = std::filesystem;
using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

namespace {

// A listing kept for mget or mirror is held until it ends; a server that never stops
// sending must not take all memory.
constexpr std::size_t kMaxCapturedListing = 256u << 20;

}  // namespace

void FtpSession::StartGet(const Command& command) {
    const std::vector<std::string>& a = command.args;
    toldKeptPart_.clear();
    std::optional<std::uint64_t> rest = pendingRest_;
    pendingRest_.reset();
    bool fromPart = false;
    if (command.resume) {
        // Resumed from what an interrupted download kept (LOCAL.part), else from LOCAL
        // itself; nothing here means a fresh download.
        struct stat st {};
        rest.reset();
        if (::lstat(PartialDownloadPath(a[1]).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (st.st_nlink > 1) {
                // Another name of the same file: appending would change that file too.
                running_->localFault = "'" + PartialDownloadPath(a[1]) +
                                       "' has other names (a hard link); it is not written into";
                return;
            }
            rest = static_cast<std::uint64_t>(st.st_size);
            fromPart = true;
        } else if (::stat(a[1].c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            rest = static_cast<std::uint64_t>(st.st_size);
        }
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
        error = download_.Prepare(a[1], rest, fromPart);
    }
    download_.SetModifiedOnSuccess(command.sourceTime);
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
    if (!running_->total && a[1] != "-" && ShowsProgress()) {
        // Many servers' 150 names no size (pyftpdlib): without SIZE the meter could show
        // neither percent nor ETA.
        running_->sizeBeforeResume = running_->sizeForMeter = true;
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
    // Asked only for the meter: a refusal changes nothing, and nothing is to be checked.
    const bool meterOnly = std::exchange(r.sizeForMeter, false);
    if (meterOnly) {
        r.total = remoteSize;
    } else if (remoteSize && *remoteSize < r.offset) {
        (void)download_.Finish(false);
        Fail(Fault::Local, "", r.subject,
             "cannot resume: '" + local + "' has " + std::to_string(r.offset) +
                 " bytes, the file on the server only " + std::to_string(*remoteSize) +
                 "; the local file is left as it is");
        return;
    }
    if (!meterOnly && remoteSize && *remoteSize == r.offset) {
        // A kept part that is whole takes its final name now.
        if (const std::string error = download_.Finish(true); !error.empty()) {
            Fail(Fault::Local, "", r.subject, error);
            return;
        }
        if (interactive_)
            Note("'" + local + "' is complete already (" + std::to_string(r.offset) + " bytes)");
        output_.Flush();
        return;
    }
    if (remoteSize) {
        r.total = remoteSize;
        // Only a resume's SIZE judges the bytes that arrive: a plain get must not fail or
        // pass differently because a meter is shown.
        if (!meterOnly) r.sizeAsked = remoteSize;
    } else if (!meterOnly) {
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
    if (command.verb == Verb::Put && command.resume) {
        // Continued after what the server holds: its size first, then APPE of the rest.
        running_->sizeBeforeUpload = true;
        control_.FileSize(ExactText(a[1], u"PutFile"));
        return;
    }
    if (command.verb == Verb::Put) control_.PutFile(ExactText(a[1], u"PutFile"), FromUtf8(a[0]));
    else control_.AppendFile(ExactText(a[1], u"AppendFile"));
}

void FtpSession::ResumeUploadAfterSize(Running r, std::int32_t code, const std::string& text) {
    const std::string& local = r.command->args[0];
    const std::string& remote = r.command->args[1];
    std::optional<std::uint64_t> remoteSize;
    if (code == 0 && !text.empty() && text.size() <= 19 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        remoteSize = std::stoull(text);
    const std::uint64_t localSize = upload_.Size();
    if (remoteSize && *remoteSize > localSize) {
        upload_.Close();
        Fail(Fault::Local, "", r.subject,
             "cannot resume: '" + remote + "' on the server has " + std::to_string(*remoteSize) +
                 " bytes, '" + local + "' only " + std::to_string(localSize) + "; nothing is sent");
        return;
    }
    if (remoteSize && *remoteSize == localSize) {
        upload_.Close();
        if (interactive_) Note("'" + remote + "' is complete already (" + std::to_string(localSize) + " bytes)");
        return;
    }
    // A server that knows no such file (or no SIZE) gets the whole file.
    const std::uint64_t offset = remoteSize.value_or(0);
    if (offset > 0) {
        if (const std::string error = upload_.SkipTo(offset); !error.empty()) {
            upload_.Close();
            Fail(Fault::Local, "", r.subject, error);
            return;
        }
    }
    r.sizeBeforeUpload = false;
    r.offset = offset;
    r.replies.clear();
    running_ = std::move(r);
    phase_ = Phase::Running;
    try {
        const TypeOnce type(control_, sentType_);
        if (offset > 0) control_.AppendFile(ExactText(remote, u"AppendFile"));
        else control_.PutFile(ExactText(remote, u"PutFile"), FromUtf8(local));
    } catch (const AutomationError& e) {
        const std::string subject = running_->subject;
        running_.reset();
        phase_ = Phase::Ready;
        upload_.Close();
        Fail(Fault::Local, "", subject, ToUtf8(e.Description()));
    }
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
        r.meter.emplace(name, r.total, r.offset);
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
    if (upload_.AtEnd()) control_.EndUpload();
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
    ObserveNames(Data);
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
    ApplyNameVerdict();
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
