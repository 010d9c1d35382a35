// The session's side of transfers over several connections: mget -P, mput -P, pget, and
// the files of mirror -P.
#include <asio/post.hpp>

#include "ftp_session.h"
#include "well_formed_utf8.h"

namespace tarselftp {

namespace {

/// Files a mirror's walk may have found ahead of those that have moved.
constexpr std::size_t kWalkAhead = 2000;
// Well inside the idle limits servers set by default (vsftpd 300 s, proftpd 600 s, pure-ftpd
// 15 min).
constexpr tarselctl::Long kRunKeepAliveSeconds = 60;

std::string Absolute(const std::string& directory, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    if (directory.empty() || directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

}  // namespace

void FtpSession::BeginParallel(Command command) {
    parallelBatch_.clear();
    if (platform_ == nullptr) {
        // Hosts without the platform (the session's tests) run the transfers one by one.
        command.parallel = 0;
        if (command.verb == Verb::Pget) command.verb = Verb::Get;
        StartControlCommand(command);
        return;
    }
    const std::uint64_t job = command.job;
    const int connections = command.parallel;
    parallelBatch_.push_back(std::move(command));
    // The files of an mget or mput are queued as steps of one job: they go together.
    while (job != 0 && !queue_.empty() && queue_.front().job == job && queue_.front().parallel > 1 &&
           (queue_.front().verb == Verb::Get || queue_.front().verb == Verb::Put)) {
        parallelBatch_.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    Command start{Verb::ParallelStart};
    start.job = job;
    start.parallel = connections;
    queue_.push_front(std::move(start));
}

void FtpSession::StartParallel(const std::optional<std::string>& directory) {
    if (!directory || directory->empty() || (*directory)[0] != '/') {
        parallelBatch_.clear();
        Fail(Fault::Server, "257", "Pwd", "no directory in the reply to PWD");
        return;
    }
    std::vector<Command> batch = std::move(parallelBatch_);
    parallelBatch_.clear();
    if (batch.empty()) return;
    const Command& first = batch.front();
    CreateParallelRun(first.verb == Verb::Pget ? first.parallel
                                                : std::min<int>(first.parallel, static_cast<int>(batch.size())));
    phase_ = Phase::Running;
    for (const Command& c : batch) {
        const std::string& remote = c.verb == Verb::Put ? c.args[1] : c.args[0];
        if (!IsWellFormedUtf8(remote)) {
            // As on one connection: a name that cannot be sent as written is refused, not
            // sent with replacement characters under a name another file may share.
            Fail(Fault::Local, "", (c.verb == Verb::Put ? "put " : "get ") + remote, "Invalid Argument");
            continue;
        }
        if (c.verb == Verb::Put) {
            parallel_->Upload(c.args[0], Absolute(*directory, c.args[1]), c.knownSize);
        } else if (c.verb == Verb::Pget) {
            parallel_->Segmented(Absolute(*directory, c.args[0]), UserNamedTarget(c.args[1]), c.parallel, c.resume);
        } else {
            // mget's local names come from the server: each is one name in the current
            // directory, written as mirror writes below its target.
            LocalTarget target;
            target.name = c.args[1].rfind("./", 0) == 0 ? c.args[1].substr(2) : c.args[1];
            target.shown = c.args[1];
            parallel_->Download(Absolute(*directory, c.args[0]), std::move(target), c.knownSize);
        }
    }
    parallel_->Seal();
}

void FtpSession::CreateParallelRun(int connections) {
    ParallelRun::Settings settings;
    settings.platform = platform_;
    settings.control = &control_;
    settings.server = tarselctl::QueueServer{tarselctl::FromUtf8(options_.host),
                                             tarselctl::FromUtf8(options_.user),
                                             tarselctl::FromUtf8(options_.password)};
    settings.connections = connections;
    settings.progress = ShowsProgress();
    settings.interactive = interactive_;
    settings.trace = options_.trace;
    parallelEnded_.reset();
    if (!options_.noopTime && control_.get_NoopTime() <= 0) {
        control_.put_NoopTime(kRunKeepAliveSeconds);
        keepAliveForRun_ = true;
    }
    // The run's end is reported from inside its queue's events (or from Seal); the session
    // carries on from the loop, where the run may be let go.
    parallel_ = std::make_unique<ParallelRun>(settings, output_, [this] {
        asio::post(io_, [this] { ParallelEnded(); });
    });
}

ParallelRun& FtpSession::MirrorRun(int connections, std::uint64_t job) {
    if (!parallel_) {
        CreateParallelRun(connections);
        parallelWalk_ = job;
    }
    return *parallel_;
}

bool FtpSession::AwaitParallelRun() {
    if (!parallel_) return false;
    // mirror walks its tree on this connection while the run moves the files it has found;
    // once no step of the walk is left, the run is told that nothing more will come.
    if (parallelWalk_ != 0 && !queue_.empty() && queue_.front().job == parallelWalk_) {
        if (parallel_->Backlog() < kWalkAhead) return false;
        // The walk waits while the run has plenty to do, so that a tree of any size is never
        // held whole.
        parallel_->WhenBacklogBelow(kWalkAhead / 2, [this] { asio::post(io_, [this] { StartNext(); }); });
        return true;
    }
    if (parallelWalk_ != 0) {
        parallelWalk_ = 0;
        parallel_->Seal();
    }
    return true;
}

void FtpSession::ParallelEnded() {
    if (!parallel_) return;
    const int failed = parallel_->Failed();
    failures_ += failed;
    if (mirror_) mirror_->RunEnded(static_cast<std::uint64_t>(failed), parallel_->Moved());
    parallelWalk_ = 0;
    parallelEnded_ = std::move(parallel_);
    if (keepAliveForRun_) {
        keepAliveForRun_ = false;
        control_.put_NoopTime(0);
    }
    output_.Flush();
    if (phase_ == Phase::Running) phase_ = Phase::Ready;
    if (finishAfterRun_) {
        // The session's connection was lost while the run went on.
        Finish();
        return;
    }
    if (failed > 0) {
        // As a file of the same command on one connection would have: the command failed, and
        // a script stops after it unless --keep-going.
        lastFailed_ = true;
        if (!options_.keepGoing && !interactive_) StopAfterFailure();
    }
    StartNext();
}

}  // namespace tarselftp
