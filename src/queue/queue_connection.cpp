#include "queue/queue_connection.h"

#include <string>

namespace tarselctl {

namespace {

String Upper(String text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

String Decimal(std::uint64_t value) { return FromUtf8(std::to_string(value)); }

// An upload block of exactly one zero byte reads to the control as the end of the upload, so
// no block may be that. Blocks are cut so that at least two bytes stay behind until the host
// has ended: then the last block has two bytes or more too.
constexpr std::size_t kHeldBack = 2;

}  // namespace

TransferQueue::Connection::Connection(TransferQueue& queue, int index)
    : queue_(queue), index_(index), control_(std::make_unique<tarsel>(queue.platform_)) {
    control_->InitProperties();
    cookie_ = control_->Advise(*this);
}

TransferQueue::Connection::~Connection() { control_->Unadvise(cookie_); }

bool TransferQueue::Connection::Open(QueueJobError& error) {
    queue_.Configure(*control_);
    type_.Reset();
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
    rangeComplete_ = false;
    unsendable_ = false;
    restAt_ = 0;
    pending_.clear();
    hostEnded_ = false;
}

bool TransferQueue::Connection::Begin(QueueJobError& error) {
    Job& job = *job_;
    ResetAttempt();
    state_ = State::Busy;
    if (job.restart) {
        job.done = 0;
        job.restart = false;
    }
    const String type = queue_.settings_.get_Filetype();
    const QueueJob& request = job.request;
    try {
        switch (request.kind) {
        case QueueJob::Kind::Download: {
            restAt_ = request.offset + job.done;
            control_->put_Filetype(type_.FiletypeFor(type));
            control_->put_Rest(restAt_ > 0 ? Decimal(restAt_) : String());
            control_->GetFile(request.remote);
            break;
        }
        case QueueJob::Kind::Upload:
            control_->put_Filetype(type_.FiletypeFor(type));
            if (job.askSize) control_->FileSize(request.remote);
            else if (request.offset + job.done > 0) control_->AppendFile(request.remote);
            else control_->PutFile(request.remote);
            break;
        case QueueJob::Kind::MakeDirectory: control_->MkDir(request.remote); break;
        case QueueJob::Kind::Remove: control_->Delete(request.remote); break;
        case QueueJob::Kind::RemoveDirectory: control_->RmDir(request.remote); break;
        case QueueJob::Kind::List: control_->Dir(request.remote); break;
        case QueueJob::Kind::NameList: control_->Ls(request.remote); break;
        case QueueJob::Kind::Size:
            control_->put_Filetype(type_.FiletypeFor(type));
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

void TransferQueue::Connection::Trace(const String& msg) {
    const std::size_t arrow = msg.find(u">>");
    if (arrow != String::npos && arrow > 0 && msg.find(u' ') > arrow) {
        const String line = msg.substr(arrow + 2);
        lastSent_ = Upper(line.substr(0, line.find(u' ')));
    }
    type_.Observe(msg);
    queue_.events_.Trace(index_, msg);
}

void TransferQueue::Connection::TransError(Long Ecode, const String& Description, const String& Where) {
    if (Ecode == -7) lost_ = true;
    if (transError_ != 0) return;
    transError_ = Ecode;
    transDescription_ = Description;
    transWhere_ = Where;
}

void TransferQueue::Connection::GetData(ByteArray& Data) {
    if (!job_ || rangeComplete_ || Data.empty()) return;
    Job& job = *job_;
    const std::uint64_t length = job.request.length;
    if (length != QueueJob::kToEnd && Data.size() > length - job.done)
        Data.resize(static_cast<std::size_t>(length - job.done));
    const std::uint64_t at = job.request.offset + job.done;
    const std::size_t count = Data.size();
    job.done += count;
    const JobId id = job.id;
    const bool complete = length != QueueJob::kToEnd && job.done >= length;
    if (complete) rangeComplete_ = true;
    queue_.events_.JobData(id, at, Data);
    if (!job_ || job_->id != id) return;
    queue_.events_.JobProgress(id, job_->done);
    if (!job_ || job_->id != id) return;
    if (complete) {
        control_->Abort();
        if (job_ && job_->id == id) queue_.RangeArrived(*this);
    } else if (job_->cancelRequested) {
        control_->Abort();
    }
}

void TransferQueue::Connection::PutData(ByteArray& Data) {
    Data.clear();
    if (!job_) return;
    const JobId id = job_->id;
    while (!hostEnded_ && pending_.size() < 2 * kHeldBack) {
        ByteArray block;
        queue_.events_.JobPutData(id, job_->request.offset + job_->done + pending_.size(), block);
        if (!job_ || job_->id != id) return;
        if (job_->cancelRequested) {
            control_->Abort();
            return;
        }
        if (block.empty()) hostEnded_ = true;
        else pending_.insert(pending_.end(), block.begin(), block.end());
    }
    std::size_t count = hostEnded_ ? pending_.size() : pending_.size() - kHeldBack;
    if (count == 1 && pending_[0] == 0) {
        // Only an upload whose whole rest is one zero byte gets here; sending it would end
        // the upload without it.
        unsendable_ = true;
        control_->Abort();
        return;
    }
    Data.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    if (count == 0) return;
    job_->done += count;
    queue_.events_.JobProgress(id, job_->done);
}

void TransferQueue::Connection::DirData(String& Data) {
    if (job_) queue_.events_.JobLine(job_->id, Data);
}

void TransferQueue::Connection::CommandDone(Integer code, const String& FtpCommand, const String& msg) {
    if (FtpCommand == u"Connect" && state_ == State::Connecting) {
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
    const State was = state_;
    state_ = State::Closed;
    lost_ = false;
    draining_ = -1;
    type_.Reset();
    if (was == State::Connecting) {
        queue_.LoginEnded(*this, -1, msg.empty() ? String(u"connection closed") : msg, code);
        return;
    }
    queue_.ConnectionLost(*this, msg.empty() ? String(u"connection closed") : msg);
}

}  // namespace tarselctl
