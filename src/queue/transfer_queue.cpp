#include <tarsel/transfer_queue.h>

#include <charconv>
#include <optional>
#include <string>

#include "queue/queue_connection.h"

namespace tarselctl {

namespace {

bool FirstLetterIs(const String& text, char16_t upper) {
    return !text.empty() && (text[0] == upper || text[0] == upper + (u'a' - u'A'));
}

/// Faults that another attempt may not meet: a lost or failed connection, a time-out, data
/// cut short. Not a conversion that replaced characters, an overlong listing line, a
/// refused certificate or the host's own abort.
bool TransientTransError(Long code) {
    return code == -1 || code == -2 || code == -7 || code == -8 || code == -9 || code > 0;
}

std::optional<std::uint64_t> ParseSize(const String& text) {
    const std::string digits = ToUtf8(text);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end == digits.data()) return std::nullopt;
    return value;
}

}  // namespace

TransferQueue::TransferQueue(Platform& platform, const tarsel& settings, QueueServer server, int connections,
                             TransferQueueEvents& events)
    : platform_(platform), settings_(settings), server_(std::move(server)), events_(events),
      limit_(connections < 1 ? 1 : connections) {}

TransferQueue::~TransferQueue() {
    if (timer_) timer_->put_Enabled(false);
}

void TransferQueue::Configure(tarsel& control) const {
    const tarsel& s = settings_;
    control.TraceOn = s.TraceOn;
    control.put_port(s.get_port());
    control.put_Passive(s.get_Passive());
    control.put_Account(s.get_Account());
    control.put_PreCommand(s.get_PreCommand());
    control.put_Filetype(s.get_Filetype());
    control.put_FileCode(s.get_FileCode());
    control.put_SysCode(s.get_SysCode());
    control.put_HostCode(s.get_HostCode());
    control.put_NoopTime(s.get_NoopTime());
    control.put_ConnectTimeout(s.get_ConnectTimeout());
    control.put_TransTimeout(s.get_TransTimeout());
    control.put_ReplyTimeout(s.get_ReplyTimeout());
    control.put_DataPeerCheck(s.get_DataPeerCheck());
    control.put_TlsMode(s.get_TlsMode());
    control.put_TlsCaFile(s.get_TlsCaFile());
    control.put_TlsVerify(s.get_TlsVerify());
    control.put_TlsAllowClearData(s.get_TlsAllowClearData());
}

bool TransferQueue::ResumesBytes() const {
    // Offsets count the server's bytes; once FileCode converts them or TYPE A rewrites line
    // ends, the host's count no longer matches and an attempt must start over.
    return FirstLetterIs(settings_.get_FileCode(), u'B') && !FirstLetterIs(settings_.get_Filetype(), u'A');
}

std::size_t TransferQueue::Running() const {
    std::size_t n = 0;
    for (const auto& c : connections_) n += c->job_.has_value() ? 1 : 0;
    return n;
}

std::size_t TransferQueue::Connections() const {
    std::size_t n = 0;
    for (const auto& c : connections_) n += c->state_ != Connection::State::Closed ? 1 : 0;
    return n;
}

JobId TransferQueue::Add(QueueJob job) {
    Job entry;
    entry.id = nextId_++;
    entry.request = std::move(job);
    waiting_.push_back(std::move(entry));
    closing_ = false;
    const JobId id = waiting_.back().id;
    Dispatch();
    CheckEmpty();
    return id;
}

bool TransferQueue::Cancel(JobId id) {
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->id != id) continue;
        const Job job = std::move(*it);
        waiting_.erase(it);
        QueueJobError error;
        error.cancelled = true;
        error.attempts = job.attempts;
        error.message = u"cancelled";
        FailJob(job, error);
        CheckEmpty();
        return true;
    }
    for (auto& c : connections_) {
        if (!c->job_ || c->job_->id != id || c->job_->cancelRequested) continue;
        c->job_->cancelRequested = true;
        c->Abort();
        return true;
    }
    return false;
}

void TransferQueue::CancelAll() {
    while (!waiting_.empty()) Cancel(waiting_.front().id);
    std::vector<JobId> running;
    for (auto& c : connections_)
        if (c->job_) running.push_back(c->job_->id);
    for (JobId id : running) Cancel(id);
}

void TransferQueue::Close() {
    closing_ = true;
    for (auto& c : connections_) c->Quit();
}

void TransferQueue::Dispatch() {
    // A handler inside a step of Dispatch may add or end jobs: that nested call only asks
    // for another round, so that one loop alone hands out jobs and opens connections.
    if (dispatching_) {
        dispatchAgain_ = true;
        return;
    }
    dispatching_ = true;
    do {
        dispatchAgain_ = false;
        while (!waiting_.empty()) {
            Connection* idle = nullptr;
            for (auto& c : connections_)
                if (c->Idle() && !c->job_) idle = idle ? idle : c.get();
            if (idle == nullptr) break;
            Job job = std::move(waiting_.front());
            waiting_.pop_front();
            StartJob(*idle, std::move(job));
        }
        if (waiting_.empty()) continue;
        std::size_t live = 0, connecting = 0;
        for (const auto& c : connections_) {
            // A connection on its way out still counts until its end has been reported, so
            // that a lost one is replaced by itself rather than by one more.
            live += c->state_ != Connection::State::Closed ? 1 : 0;
            connecting += c->state_ == Connection::State::Connecting ? 1 : 0;
        }
        // After a refused login, connections are tried one at a time until one gets in, so
        // that a server which refuses them all sees no more than a few.
        while (live < static_cast<std::size_t>(limit_) && connecting < waiting_.size() &&
               !(loginFailures_ > 0 && connecting > 0)) {
            Connection* slot = nullptr;
            for (auto& c : connections_)
                if (c->state_ == Connection::State::Closed && !slot) slot = c.get();
            if (slot == nullptr) {
                connections_.push_back(std::make_unique<Connection>(*this, static_cast<int>(connections_.size())));
                slot = connections_.back().get();
            }
            QueueJobError error;
            if (!slot->Open(error)) {
                // The settings themselves are refused: no connection will do better.
                while (!waiting_.empty()) {
                    Job job = std::move(waiting_.front());
                    waiting_.pop_front();
                    FailJob(job, error);
                }
                break;
            }
            ++live;
            ++connecting;
        }
    } while (dispatchAgain_);
    dispatching_ = false;
}

void TransferQueue::StartJob(Connection& connection, Job job) {
    ++job.attempts;
    const JobId id = job.id;
    const int attempt = job.attempts;
    connection.job_ = std::move(job);
    connection.state_ = Connection::State::Busy;
    connection.lost_ = false;
    events_.JobStarted(id, attempt);
    if (!connection.job_ || connection.job_->id != id) return;
    QueueJobError error;
    if (connection.job_->cancelRequested) {
        error.cancelled = true;
        error.message = u"cancelled";
    } else if (connection.Begin(error)) {
        return;
    }
    Job failed = std::move(*connection.job_);
    connection.job_.reset();
    connection.state_ = Connection::State::Ready;
    error.attempts = failed.attempts;
    FailJob(failed, error);
}

void TransferQueue::EndJob(Connection& connection, Integer code, const String& operation, const String& message) {
    Job& running = *connection.job_;
    const bool lost = connection.lost_ || connection.state_ == Connection::State::Closed ||
                      connection.state_ == Connection::State::Quitting;

    // The SIZE before a resumed upload is a step of the same attempt: on to APPE from the
    // server's size, or to STOR from the start when the server could not tell.
    if (operation == u"Size" && running.request.kind == QueueJob::Kind::Upload && running.askSize && !lost &&
        !running.cancelRequested) {
        running.askSize = false;
        const auto size = code == 0 ? ParseSize(message) : std::nullopt;
        if (size && *size >= running.request.offset) running.done = *size - running.request.offset;
        else running.restart = true;
        QueueJobError error;
        if (connection.Begin(error)) return;
        Job failed = std::move(*connection.job_);
        connection.job_.reset();
        error.attempts = failed.attempts;
        FailJob(failed, error);
        Dispatch();
        CheckEmpty();
        return;
    }

    Job job = std::move(running);
    connection.job_.reset();
    if (!lost) connection.state_ = Connection::State::Ready;

    QueueJobError error;
    error.code = code;
    error.operation = operation;
    error.message = message;
    error.transError = connection.transError_;
    error.transDescription = connection.transDescription_;
    error.transWhere = connection.transWhere_;
    error.attempts = job.attempts;

    const bool restRefused = job.request.kind == QueueJob::Kind::Download && code > 0 &&
                             connection.restAt_ > 0 && connection.lastSent_ == u"REST";
    if (connection.rangeComplete_) {
        // The range has arrived whole; the reply only tells of the cut that ended it.
        Finished(job, message);
    } else if (connection.unsendable_) {
        error.code = -1;
        error.message = u"an upload that ends in a lone zero byte cannot be sent";
        FailJob(job, error);
    } else if (job.cancelRequested && !(code == 0 && connection.transError_ == 0)) {
        error.cancelled = true;
        FailJob(job, error);
    } else if (code == 0 && connection.transError_ == 0) {
        Finished(job, message);
    } else if (restRefused && connection.restAt_ > job.request.offset) {
        // Only a resume asked for this offset: the server cannot resume, so every later
        // attempt starts from the job's own offset. Not counted as a failed try.
        restRefused_ = true;
        job.restart = true;
        --job.attempts;
        waiting_.push_front(std::move(job));
    } else if (restRefused) {
        error.restRefused = true;
        FailJob(job, error);
    } else if ((code == -1 || (code >= 400 && code < 500) || TransientTransError(connection.transError_)) &&
               job.attempts <= maxRetries) {
        Retry(std::move(job));
    } else {
        FailJob(job, error);
    }
    if (closing_ && waiting_.empty()) connection.Quit();
    Dispatch();
    CheckEmpty();
}

void TransferQueue::RangeArrived(Connection& connection) {
    // The host has every byte it asked for: the job ends now, not when the server has
    // answered the cut, which some servers never do.
    Job job = std::move(*connection.job_);
    connection.job_.reset();
    connection.draining_ = kDrainTicks;
    if (!timer_) {
        timer_ = platform_.CreateTimer();
        timer_->SetTickHandler([this] { Tick(); });
        timer_->put_Interval(1000);
    }
    timer_->put_Enabled(true);
    Finished(job, String());
    Dispatch();
    CheckEmpty();
}

void TransferQueue::Drained(Connection& connection) {
    if (closing_ && waiting_.empty()) connection.Quit();
    Dispatch();
    CheckEmpty();
}

void TransferQueue::Tick() {
    bool waiting = false;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        connections_[i]->GiveUpDraining();
        waiting = waiting || connections_[i]->draining_ >= 0;
    }
    if (!waiting && timer_) timer_->put_Enabled(false);
}

void TransferQueue::Retry(Job job) {
    const bool resumable = ResumesBytes() && job.done > 0;
    if (job.request.kind == QueueJob::Kind::Download) {
        job.restart = !resumable || restRefused_;
    } else if (job.request.kind == QueueJob::Kind::Upload) {
        // What the server kept of the lost attempt is known only from its size.
        job.askSize = resumable;
        job.restart = !resumable;
    }
    waiting_.push_front(std::move(job));
}

void TransferQueue::LoginEnded(Connection& connection, Integer code, const String& message, Long disconnectCode) {
    if (code == 0) {
        connection.state_ = Connection::State::Ready;
        loginFailures_ = 0;
        if (closing_ && waiting_.empty()) connection.Quit();
        Dispatch();
        CheckEmpty();
        return;
    }
    if (connection.state_ != Connection::State::Closed) {
        // The login was refused on an open connection: it is of no use any more.
        connection.Drop();
    }
    ++loginFailures_;
    std::size_t loggedIn = 0, connecting = 0;
    for (const auto& c : connections_) {
        loggedIn += c->state_ == Connection::State::Ready || c->state_ == Connection::State::Busy ? 1 : 0;
        connecting += c->state_ == Connection::State::Connecting ? 1 : 0;
    }
    if (loggedIn > 0) {
        // Others got in: the server allows no more than those.
        limit_ = static_cast<int>(loggedIn + connecting);
    } else if (connecting == 0 && (code >= 500 || loginFailures_ > maxRetries)) {
        QueueJobError error;
        error.code = code;
        error.operation = u"Connect";
        error.message = message;
        error.transError = disconnectCode;
        while (!waiting_.empty()) {
            Job job = std::move(waiting_.front());
            waiting_.pop_front();
            error.attempts = job.attempts;
            FailJob(job, error);
        }
        loginFailures_ = 0;
    }
    Dispatch();
    CheckEmpty();
}

void TransferQueue::ConnectionLost(Connection& connection, const String& message) {
    if (connection.job_) {
        // The control ends an operation before DisConnected; should one still be open, the
        // loss ends it here.
        connection.lost_ = true;
        EndJob(connection, -1, String(), message);
        return;
    }
    Dispatch();
    CheckEmpty();
}

void TransferQueue::FailJob(const Job& job, QueueJobError error) {
    owesEmpty_ = true;
    events_.JobFailed(job.id, error);
}

void TransferQueue::Finished(const Job& job, const String& message) {
    owesEmpty_ = true;
    events_.JobFinished(job.id, message);
}

void TransferQueue::CheckEmpty() {
    if (!owesEmpty_ || dispatching_ || !waiting_.empty() || Running() != 0) return;
    owesEmpty_ = false;
    events_.QueueEmpty();
}

}  // namespace tarselctl
