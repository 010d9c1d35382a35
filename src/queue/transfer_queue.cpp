#include <tarsel/transfer_queue.h>

#include "control/template_settings.h"
#include "queue/queue_connection.h"
#include "queue/queue_step.h"
#include "queue/transfer_ledger.h"

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

}  // namespace

TransferQueue::TransferQueue(Platform& platform, const tarsel& settings, QueueServer server, int connections,
                             TransferQueueEvents& events)
    : platform_(platform), settings_(settings), server_(std::move(server)), events_(events),
      limit_(connections < 1 ? 1 : connections) {}

TransferQueue::~TransferQueue() {
    if (timer_) timer_->put_Enabled(false);
    if (deliveryTimer_) deliveryTimer_->put_Enabled(false);
}

void TransferQueue::Configure(tarsel& control) const {
    // The property table says what a template gives: a property added there reaches the
    // queue's connections without a list kept here.
    CopyTemplateSettings(settings_, control);
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
    Step step(*this, Step::From::Host);
    Job entry;
    entry.id = nextId_++;
    entry.request = std::move(job);
    const JobId id = entry.id;
    closing_ = false;
    const bool ranged = entry.request.offset > 0 || entry.request.length != QueueJob::kToEnd;
    if (entry.request.kind == QueueJob::Kind::Download && ranged && !ResumesBytes()) {
        // Offsets and lengths count the server's bytes, which a conversion does not deliver.
        QueueJobError error;
        error.integrity = QueueIntegrity::Converted;
        error.message = u"a converted file cannot be fetched from an offset or in ranges";
        FailJob(entry, error);
        CheckEmpty();
        return id;
    }
    waiting_.push_back(std::move(entry));
    Dispatch();
    CheckEmpty();
    return id;
}

bool TransferQueue::Cancel(JobId id) {
    Step step(*this, Step::From::Host);
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
    Step step(*this, Step::From::Host);
    while (!waiting_.empty()) Cancel(waiting_.front().id);
    std::vector<JobId> running;
    for (auto& c : connections_)
        if (c->job_) running.push_back(c->job_->id);
    for (JobId id : running) Cancel(id);
}

void TransferQueue::Close() {
    Step step(*this, Step::From::Host);
    closing_ = true;
    for (auto& c : connections_) c->Quit();
}

void TransferQueue::Dispatch() {
    // A control event inside a step of Dispatch may add or end jobs: that nested call only
    // asks for another round, so that one loop alone hands out jobs and opens connections.
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
    const bool rewind = job.restart && (job.done > 0 || job.delivered > 0);
    connection.job_ = std::move(job);
    connection.state_ = Connection::State::Busy;
    connection.lost_ = false;
    Raise([this, id, attempt] { events_.JobStarted(id, attempt); });
    if (rewind && connection.job_->request.kind == QueueJob::Kind::Download) {
        const std::uint64_t offset = connection.job_->request.offset;
        Raise([this, id, offset] { events_.JobRewind(id, offset); });
    }
    QueueJobError error;
    if (connection.Begin(error)) return;
    Job failed = std::move(*connection.job_);
    connection.job_.reset();
    connection.state_ = Connection::State::Ready;
    error.attempts = failed.attempts;
    FailJob(failed, error);
}

void TransferQueue::EndJob(Connection& connection, Integer code, const String& operation, const String& message) {
    const bool lost = connection.lost_ || connection.state_ == Connection::State::Closed ||
                      connection.state_ == Connection::State::Quitting;
    if (!lost && !connection.job_->cancelRequested && ContinueJob(connection, code, operation, message)) return;

    Job job = std::move(*connection.job_);
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

    const bool succeeded = code == 0 && connection.transError_ == 0;
    const bool restRefused = job.request.kind == QueueJob::Kind::Download && code > 0 &&
                             connection.restAt_ > 0 && connection.LastSent() == u"REST";
    if (job.cancelRequested) {
        // Cancel returned true: whatever the server said of the cut, the job did not finish.
        error.cancelled = true;
        if (succeeded) error.message = u"cancelled";
        FailJob(job, error);
    } else if (connection.integrity_ != QueueIntegrity::None) {
        error.code = 0;
        error.integrity = connection.integrity_;
        error.message = connection.integrityText_;
        // A cut is what another attempt may mend; too many bytes or a changed file is not.
        const bool whole = job.request.length == QueueJob::kToEnd;
        if (connection.integrity_ == QueueIntegrity::Short && job.attempts <= maxRetries) {
            Retry(std::move(job));
        } else if (connection.integrity_ == QueueIntegrity::Changed && whole && job.attempts <= maxRetries) {
            // What came before the offset is not what the job has: a whole file starts over.
            job.restart = true;
            job.tail.clear();
            waiting_.push_front(std::move(job));
        } else {
            FailJob(job, error);
        }
    } else if (succeeded) {
        Finished(job, message);
    } else if (restRefused && connection.restAt_ > job.request.offset) {
        // Only a resume asked for this offset: the server cannot resume, so every later
        // attempt starts from the job's own offset. Not counted as a failed try.
        restRefused_ = true;
        job.restart = true;
        job.checkBeforeResume = false;
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
    Step step(*this, Step::From::Loop);
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
        // The file must still be the one the earlier attempts read before its rest is added.
        job.checkBeforeResume = !job.restart;
    } else if (job.request.kind == QueueJob::Kind::Upload) {
        // What the server kept of the lost attempt is known only from its size.
        job.askSize = ResumesBytes();
        job.restart = !job.askSize;
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
    const JobId id = job.id;
    ++endsPending_;
    Raise([this, id, error = std::move(error)] {
        --endsPending_;
        events_.JobFailed(id, error);
    });
}

void TransferQueue::Finished(const Job& job, const String& message) {
    owesEmpty_ = true;
    const JobId id = job.id;
    ++endsPending_;
    Raise([this, id, message] {
        --endsPending_;
        events_.JobFinished(id, message);
    });
}

void TransferQueue::CheckEmpty() {
    if (!owesEmpty_ || dispatching_ || !waiting_.empty() || Running() != 0) return;
    owesEmpty_ = false;
    // Whether the queue is still empty is decided when the event's turn comes: a handler of
    // an end before it may have added work, and the end of that work raises it again.
    Raise([this] {
        if (waiting_.empty() && Running() == 0 && endsPending_ == 0) events_.QueueEmpty();
    });
}

}  // namespace tarselctl
