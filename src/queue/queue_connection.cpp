#include "queue/queue_connection.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <string>

#include "queue/queue_step.h"
#include "queue/transfer_ledger.h"

namespace tarselctl {

namespace {

String Upper(String text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

String Decimal(std::uint64_t value) { return FromUtf8(std::to_string(value)); }

std::optional<std::uint64_t> ParseSize(const String& text) {
    const std::string digits = ToUtf8(text);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end == digits.data()) return std::nullopt;
    return value;
}

/// The time of an MDTM reply's text ("20260101120000" or with fractions), or "".
String MdtmTime(const String& text) {
    String digits;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') break;
        digits.push_back(c);
    }
    return digits.size() >= 14 ? digits.substr(0, 14) : String();
}

/// The Filetype to set for a transfer when the host wants `wanted`: none when the connection
/// is in that type already (one round trip less per file).
String FiletypeFor(const String& wanted, const String& inForce) {
    if (wanted.empty() || Upper(wanted) == inForce) return String();
    return wanted;
}

}  // namespace

TransferQueue::Connection::Connection(TransferQueue& queue, int index)
    : queue_(queue), index_(index), control_(std::make_unique<tarsel>(queue.platform_)) {
    control_->InitProperties();
    cookie_ = control_->Advise(*this);
}

TransferQueue::Connection::~Connection() { control_->Unadvise(cookie_); }

bool TransferQueue::Connection::Open(QueueJobError& error) {
    queue_.Configure(*control_);
    setup_ = Setup::None;
    utf8Offered_ = false;
    state_ = State::Connecting;
    try {
        control_->Connect(queue_.server_.host, queue_.server_.user, queue_.server_.password);
    } catch (const AutomationError& e) {
        state_ = State::Closed;
        error.code = -1;
        error.operation = u"Connect";
        error.message = e.Description();
        error.transError = e.Number();
        return false;
    }
    return true;
}

void TransferQueue::Connection::Quit() {
    if (state_ != State::Ready || control_->IsIdle() == False) return;
    state_ = State::Quitting;
    control_->DisConnect();
}

void TransferQueue::Connection::Drop() {
    state_ = State::Quitting;
    if (control_->IsIdle() != False) control_->DisConnect();
    else control_->Abend();
}

void TransferQueue::Connection::GiveUpDraining() {
    // Some servers send no reply at all when a download's data connection is closed under
    // them; the connection would stay busy for good.
    if (draining_ < 0 || --draining_ > 0) return;
    draining_ = -1;
    control_->Abend();
}

void TransferQueue::Connection::ResetAttempt() {
    transError_ = 0;
    transDescription_.clear();
    transWhere_.clear();
    integrity_ = QueueIntegrity::None;
    integrityText_.clear();
    rangeComplete_ = false;
    restAt_ = 0;
    overlap_ = 0;
}

bool TransferQueue::Connection::Begin(QueueJobError& error) {
    Job& job = *job_;
    ResetAttempt();
    state_ = State::Busy;
    if (job.restart) {
        job.done = 0;
        job.delivered = 0;
        job.tail.clear();
        job.restart = false;
        job.checkBeforeResume = false;
    }
    if (job.request.kind == QueueJob::Kind::Download && job.checkBeforeResume) return Send(Phase::ResumeSize, error);
    if (job.request.kind == QueueJob::Kind::Upload && job.askSize) return Send(Phase::UploadSize, error);
    return Send(Phase::Transfer, error);
}

bool TransferQueue::Connection::Send(Phase phase, QueueJobError& error) {
    Job& job = *job_;
    phase_ = phase;
    const String type = queue_.settings_.get_Filetype();
    const QueueJob& request = job.request;
    try {
        switch (phase) {
        case Phase::ResumeSize:
        case Phase::UploadSize:
        case Phase::UploadStored:
            control_->put_Filetype(FiletypeFor(type, control_->TypeInForce()));
            control_->FileSize(request.remote);
            return true;
        case Phase::ResumeModified: control_->QuoteCommand(u"MDTM " + request.remote); return true;
        case Phase::Transfer: break;
        }
        switch (request.kind) {
        case QueueJob::Kind::Download: {
            // A resumed attempt starts a little before its offset: the bytes it already has
            // come again and must be the same, or the server did not resume where asked.
            overlap_ = queue_.ResumesBytes() ? std::min<std::uint64_t>(job.tail.size(), job.done / 2) : 0;
            restAt_ = request.offset + job.done - overlap_;
            attemptStart_ = restAt_;
            doneBefore_ = job.done;
            control_->put_Filetype(FiletypeFor(type, control_->TypeInForce()));
            control_->put_Rest(restAt_ > 0 ? Decimal(restAt_) : String());
            control_->GetFile(request.remote);
            break;
        }
        case QueueJob::Kind::Upload:
            attemptStart_ = request.offset + job.done;
            doneBefore_ = job.done;
            control_->put_Filetype(FiletypeFor(type, control_->TypeInForce()));
            if (attemptStart_ > 0) control_->AppendFile(request.remote);
            else control_->PutFile(request.remote);
            break;
        case QueueJob::Kind::MakeDirectory: control_->MkDir(request.remote); break;
        case QueueJob::Kind::Remove: control_->Delete(request.remote); break;
        case QueueJob::Kind::RemoveDirectory: control_->RmDir(request.remote); break;
        case QueueJob::Kind::List: control_->Dir(request.remote); break;
        case QueueJob::Kind::NameList: control_->Ls(request.remote); break;
        case QueueJob::Kind::Size:
            control_->put_Filetype(FiletypeFor(type, control_->TypeInForce()));
            control_->FileSize(request.remote);
            break;
        case QueueJob::Kind::Quote: control_->QuoteCommand(request.remote); break;
        }
    } catch (const AutomationError& e) {
        state_ = State::Ready;
        error.code = -1;
        error.operation = e.Source();
        error.message = e.Description();
        error.transError = e.Number();
        return false;
    }
    return true;
}

TransferLedger TransferQueue::Connection::Ledger() const {
    const Job& job = *job_;
    TransferLedger ledger;
    ledger.offset = job.request.offset;
    ledger.length = job.request.length;
    ledger.fileSize = job.fileSize != QueueJob::kUnknown ? job.fileSize : job.request.size;
    ledger.attemptStart = attemptStart_;
    ledger.attemptBytes = control_->DataBytes();
    ledger.announced = control_->AnnouncedSize();
    const String type = queue_.settings_.get_Filetype();
    ledger.countable = type.empty() || (type[0] != u'A' && type[0] != u'a');
    return ledger;
}

void TransferQueue::Connection::Trace(const String& msg) {
    Step step(queue_, Step::From::Loop);
    const int index = index_;
    queue_.Raise([q = &queue_, index, msg] { q->events_.Trace(index, msg); });
}

void TransferQueue::Connection::TransError(Long Ecode, const String& Description, const String& Where) {
    Step step(queue_, Step::From::Loop);
    if (Ecode == -7) lost_ = true;
    if (transError_ != 0) return;
    transError_ = Ecode;
    transDescription_ = Description;
    transWhere_ = Where;
}

void TransferQueue::Connection::GetData(ByteArray& Data) {
    Step step(queue_, Step::From::Loop);
    if (!job_ || rangeComplete_ || integrity_ != QueueIntegrity::None || Data.empty()) return;
    Job& job = *job_;
    const JobId id = job.id;
    const QueueJob& request = job.request;
    const bool converted = !queue_.ResumesBytes();
    if (overlap_ > 0) {
        const std::size_t compare = std::min(overlap_, Data.size());
        const std::size_t from = job.tail.size() - overlap_;
        if (!std::equal(Data.begin(), Data.begin() + static_cast<std::ptrdiff_t>(compare), job.tail.begin() + static_cast<std::ptrdiff_t>(from))) {
            integrity_ = QueueIntegrity::Changed;
            integrityText_ = u"the bytes before the restart offset came back different: the server did not resume "
                             u"where asked, or the file changed";
            control_->Abort();
            return;
        }
        overlap_ -= compare;
        Data.erase(Data.begin(), Data.begin() + static_cast<std::ptrdiff_t>(compare));
        if (Data.empty()) return;
    }
    TransferLedger ledger = Ledger();
    // A range that ends before the end of the file is cut there; the bytes past it belong
    // to the next range. The last range is not: what comes past the file's end is a fault.
    // (Only unconverted bytes come in ranges, so here the host's bytes are the server's.)
    const bool lastRange = ledger.fileSize != QueueJob::kUnknown && request.length != QueueJob::kToEnd &&
                           request.offset + request.length >= ledger.fileSize;
    std::uint64_t wanted = Data.size();
    if (request.length != QueueJob::kToEnd) {
        const std::uint64_t left = request.length - job.done;
        if (wanted > left) {
            wanted = left;
            if (!lastRange) ledger.attemptBytes -= Data.size() - left;
        }
    }
    if (const auto over = ledger.CheckArrived()) {
        // Nothing of it is passed on: bytes past the end mean the server sends another file
        // than the one asked for, or from another place.
        integrity_ = over.integrity;
        integrityText_ = FromUtf8(over.text);
        control_->Abort();
        return;
    }
    Data.resize(static_cast<std::size_t>(wanted));
    if (Data.empty()) return;
    const std::uint64_t at = converted ? job.delivered : request.offset + job.done;
    if (!converted) {
        job.tail.append(Data.begin() + static_cast<std::ptrdiff_t>(Data.size() - std::min(Data.size(), kOverlap)), Data.end());
        if (job.tail.size() > kOverlap) job.tail.erase(0, job.tail.size() - kOverlap);
    }
    job.delivered += Data.size();
    job.done = converted ? control_->DataBytes() : job.done + Data.size();
    const std::uint64_t progress = job.done;
    auto bytes = std::make_shared<ByteArray>(std::move(Data));
    Data.clear();
    queue_.Raise([q = &queue_, id, at, bytes] { q->events_.JobData(id, at, *bytes); });
    queue_.Raise([q = &queue_, id, progress] { q->events_.JobProgress(id, progress); });
    if (job.cancelRequested) {
        control_->Abort();
        return;
    }
    // The last range waits for the server's own end, so that more than the file holds is seen.
    if (request.length == QueueJob::kToEnd || job.done < request.length || lastRange) return;
    rangeComplete_ = true;
    control_->Abort();
    if (job_ && job_->id == id) queue_.RangeArrived(*this);
}

ByteArray TransferQueue::Connection::AskBlock(JobId id, std::uint64_t offset) {
    // The host's answer is needed before the control's PutData returns: the question is the
    // last event of this step and is delivered now, behind the events before it. (Inside a
    // step that delivers later, which no upload's PutData opens, the host is asked at once.)
    auto block = std::make_shared<ByteArray>();
    if (queue_.depth_ != 1) {
        queue_.events_.JobPutData(id, offset, *block);
        return std::move(*block);
    }
    queue_.Raise([q = &queue_, id, offset, block] { q->events_.JobPutData(id, offset, *block); });
    queue_.Deliver();
    return std::move(*block);
}

void TransferQueue::Connection::PutData(ByteArray& Data) {
    Step step(queue_, Step::From::Loop);
    Data.clear();
    if (!job_ || phase_ != Phase::Transfer) return;
    const JobId id = job_->id;
    const std::uint64_t at = job_->request.offset + job_->done;
    ByteArray block = AskBlock(id, at);
    bool last = block.empty();
    // A lone 0 byte would read to the control as the end: it goes with the next block, or,
    // when it is the last byte, with the explicit end.
    while (!last && block.size() == 1 && block[0] == 0 && job_ && job_->id == id && !job_->cancelRequested) {
        ByteArray more = AskBlock(id, at + 1);
        last = more.empty();
        block.insert(block.end(), more.begin(), more.end());
    }
    if (!job_ || job_->id != id) return;
    if (job_->cancelRequested) {
        control_->Abort();
        return;
    }
    if (last) control_->EndUpload();
    Data = std::move(block);
    if (Data.empty()) return;
    job_->done += Data.size();
    const std::uint64_t progress = job_->done;
    queue_.Raise([q = &queue_, id, progress] { q->events_.JobProgress(id, progress); });
}

void TransferQueue::Connection::DirData(String& Data) {
    Step step(queue_, Step::From::Loop);
    if (!job_) return;
    const JobId id = job_->id;
    queue_.Raise([q = &queue_, id, line = Data] { q->events_.JobLine(id, line); });
}

void TransferQueue::Connection::SetupDone(Integer code, const String& msg) {
    if (setup_ == Setup::Features) {
        utf8Offered_ = code == 0 && control_->HasFeature(u"UTF8");
        if (utf8Offered_) {
            setup_ = Setup::Utf8On;
            try {
                control_->QuoteCommand(u"OPTS UTF8 ON");
                return;
            } catch (const AutomationError&) {
            }
        }
    } else if (setup_ == Setup::Utf8On && utf8Offered_) {
        // Some servers speak UTF-8 without the OPTS (and refuse it); FEAT said they do.
        control_->put_SysCode(u"UTF8");
    }
    setup_ = Setup::None;
    queue_.LoginEnded(*this, 0, msg, 0);
}

void TransferQueue::Connection::CommandDone(Integer code, const String& FtpCommand, const String& msg) {
    Step step(queue_, Step::From::Loop);
    if (state_ == State::Connecting && setup_ != Setup::None && FtpCommand == u"Quote") {
        SetupDone(code, msg);
        return;
    }
    if (FtpCommand == u"Connect" && state_ == State::Connecting) {
        if (code == 0 && queue_.utf8WhenOffered) {
            setup_ = Setup::Features;
            try {
                control_->QuoteCommand(u"FEAT");
                return;
            } catch (const AutomationError&) {
                setup_ = Setup::None;
            }
        }
        queue_.LoginEnded(*this, code, msg, 0);
        return;
    }
    if (draining_ >= 0 && !job_ && state_ == State::Busy) {
        // The reply to the cut of a range that has been reported already.
        draining_ = -1;
        state_ = lost_ ? State::Quitting : State::Ready;
        queue_.Drained(*this);
        return;
    }
    if (FtpCommand == u"DisConnect" || FtpCommand == u"Noop" || !job_ || state_ != State::Busy) return;
    // DisConnected follows; until then the control cannot connect again.
    if (lost_) state_ = State::Quitting;
    queue_.EndJob(*this, code, FtpCommand, msg);
}

void TransferQueue::Connection::DisConnected(Long code, const String& msg) {
    Step step(queue_, Step::From::Loop);
    const State was = state_;
    state_ = State::Closed;
    lost_ = false;
    draining_ = -1;
    setup_ = Setup::None;
    if (was == State::Connecting) {
        queue_.LoginEnded(*this, -1, msg.empty() ? String(u"connection closed") : msg, code);
        return;
    }
    queue_.ConnectionLost(*this, msg.empty() ? String(u"connection closed") : msg);
}

// ---- the checks between the commands of one attempt

bool TransferQueue::ContinueJob(Connection& connection, Integer code, const String& operation,
                                const String& message) {
    using Phase = Connection::Phase;
    Job& job = *connection.job_;
    QueueJobError error;
    auto fail = [&](QueueIntegrity integrity, const String& text) {
        connection.integrity_ = integrity;
        connection.integrityText_ = text;
        return false;
    };
    auto next = [&](Phase phase) {
        if (connection.Send(phase, error)) return true;
        Job failed = std::move(*connection.job_);
        connection.job_.reset();
        error.attempts = failed.attempts;
        FailJob(failed, error);
        Dispatch();
        CheckEmpty();
        return true;
    };
    auto finish = [&] {
        Job done = std::move(*connection.job_);
        connection.job_.reset();
        connection.state_ = Connection::State::Ready;
        Finished(done, connection.transferReply_);
        if (closing_ && waiting_.empty()) connection.Quit();
        Dispatch();
        CheckEmpty();
        return true;
    };
    const bool whole = job.request.length == QueueJob::kToEnd;
    auto changed = [&](const String& what) {
        if (!whole) return fail(QueueIntegrity::Changed, what + u": the file changed since the other ranges");
        // A whole file starts over from its first byte; the host is told to drop what it has.
        job.request.offset = 0;
        job.done = 0;
        job.delivered = 0;
        job.tail.clear();
        job.checkBeforeResume = false;
        const JobId id = job.id;
        Raise([this, id] { events_.JobRewind(id, 0); });
        return next(Phase::Transfer);
    };
    switch (connection.phase_) {
    case Phase::ResumeSize: {
        job.checkBeforeResume = false;
        if (code == 550) return false;  // the file is gone: the job fails with the reply
        const auto size = code == 0 ? ParseSize(message) : std::nullopt;
        if (!size) return next(Phase::Transfer);  // the server cannot tell: resume on trust
        const std::uint64_t known = job.fileSize != QueueJob::kUnknown ? job.fileSize : job.request.size;
        if ((known != QueueJob::kUnknown && *size != known) || *size < job.request.offset + job.done) {
            job.fileSize = *size;
            return changed(u"SIZE " + Decimal(*size) + u" where " + Decimal(known) + u" was known");
        }
        job.fileSize = *size;
        return next(job.request.modified.empty() ? Phase::Transfer : Phase::ResumeModified);
    }
    case Phase::ResumeModified: {
        const String now = code == 0 ? MdtmTime(message) : String();
        if (!now.empty() && now != MdtmTime(job.request.modified)) {
            job.request.modified = now;
            return changed(u"MDTM " + now);
        }
        return next(Phase::Transfer);
    }
    case Phase::UploadSize: {
        job.askSize = false;
        const auto size = code == 0 ? ParseSize(message) : std::nullopt;
        const std::uint64_t local = job.request.size;
        // Appending is right only onto a prefix of the local file: a remote file larger than
        // the local one, or smaller than where the job began, is replaced from the start.
        if (size && *size >= job.request.offset && (local == QueueJob::kUnknown || *size <= local)) {
            job.done = *size - job.request.offset;
        } else {
            job.request.offset = 0;
            job.done = 0;
        }
        return next(Phase::Transfer);
    }
    case Phase::UploadStored: {
        const auto size = code == 0 ? ParseSize(message) : std::nullopt;
        if (!size) return finish();  // no SIZE here: the upload stands on the server's word
        if (const auto wrong = TransferLedger::CheckStored(job.request.offset, job.done, *size))
            return fail(wrong.integrity, FromUtf8(wrong.text));
        return finish();
    }
    case Phase::Transfer: break;
    }
    (void)operation;
    if (code != 0 || connection.transError_ != 0) return false;
    connection.transferReply_ = message;
    if (job.request.kind == QueueJob::Kind::Download) {
        if (const auto wrong = connection.Ledger().CheckComplete()) return fail(wrong.integrity, FromUtf8(wrong.text));
        return false;
    }
    if (job.request.kind == QueueJob::Kind::Upload && ResumesBytes()) return next(Phase::UploadStored);
    return false;
}

}  // namespace tarselctl
