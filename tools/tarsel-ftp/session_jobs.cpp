// The session's side of its jobs: mget and mirror are made from their typed commands, their
// steps run on the session's connection, and what they ask of the session (output, failures,
// the features the server offered, the run of mirror -P) is answered here.
#include "ftp_session.h"

namespace tarselftp {

void FtpSession::StartMget(const Command& typed) {
    MgetJob::Host& host = *this;
    mget_ = std::make_unique<MgetJob>(typed, ++commandCount_, host);
    PushSteps(mget_->FirstSteps());
}

void FtpSession::MgetNote(const std::string& line) { Note(line); }

void FtpSession::MgetWarn(const std::string& line) { PrintError(line); }

void FtpSession::MgetFail(const std::string& text) { Fail(Fault::Local, "", "mget", text); }

void FtpSession::StartMirror(const Command& typed) {
    // A mirror that an interrupt cut short ends here, without its summary.
    if (mirror_) mirrorEnded_ = std::move(mirror_);
    MirrorJob::Host& host = *this;
    mirror_ = std::make_unique<MirrorJob>(typed, ++commandCount_, host);
    walk_ = TreeWalk();
    queue_.push_front(mirror_->FirstStep());
}

MirrorJob* FtpSession::MirrorOf(const Command& step) const {
    return mirror_ && step.job != 0 && mirror_->Id() == step.job ? mirror_.get() : nullptr;
}

bool FtpSession::EndMirror() {
    if (!mirror_) return false;
    Print(mirror_->End());
    const bool failed = mirror_->Failed();
    // The job may be the caller: it is let go with the next one.
    mirrorEnded_ = std::move(mirror_);
    return failed;
}

void FtpSession::MirrorOut(const std::string& text) { Print(text); }

void FtpSession::MirrorWarn(const std::string& line) { PrintError(line); }

void FtpSession::MirrorFail(const std::string& subject, const std::string& text) {
    Fail(Fault::Local, "", subject, text);
}

void FtpSession::MirrorTimeAnswered(std::uint64_t job, const Command& step, std::optional<std::int64_t> time) {
    if (mirror_ && mirror_->Id() == job) PushSteps(mirror_->TimeAnswered(step, time));
}

void FtpSession::MirrorRemoveDirectory(const std::string& parent, const std::string& name) {
    walk_.AddRemoval(parent, name);
}

}  // namespace tarselftp
