// The judge of a transfer queue's events: it sits between the queue and the host's handler
// and records every break of the order the queue promises.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <tarsel/transfer_queue.h>

namespace tarselctl {

class QueueOrderRules final : public TransferQueueEvents {
public:
    explicit QueueOrderRules(TransferQueueEvents& host) : host_(host) {}

    /// The host's Add returned `job`: events of it are allowed from now on.
    void Added(JobId job) { added_.insert(job); }
    /// The host's Cancel of `job` returned `result`.
    void CancelReturned(JobId job, bool result) {
        if (result) cancelled_.insert(job);
    }
    /// Every added job has ended.
    bool AllEnded() const { return ended_.size() == added_.size(); }
    const std::vector<std::string>& Violations() const { return violations_; }
    std::size_t Empties() const { return empties_; }

    void JobStarted(JobId job, int attempt) override;
    void JobRewind(JobId job, std::uint64_t offset) override;
    void JobData(JobId job, std::uint64_t offset, ByteArray& data) override;
    void JobPutData(JobId job, std::uint64_t offset, ByteArray& data) override;
    void JobLine(JobId job, const String& line) override;
    void JobProgress(JobId job, std::uint64_t bytes) override;
    void JobFinished(JobId job, const String& message) override;
    void JobFailed(JobId job, const QueueJobError& error) override;
    void QueueEmpty() override;
    void Trace(int connection, const String& msg) override;

private:
    class Entered;
    /// Checks an event of `job` that belongs between its start and its end.
    void During(JobId job, const char* event);
    void Ended(JobId job, const char* event);
    void Violation(std::string text) { violations_.push_back(std::move(text)); }

    TransferQueueEvents& host_;
    std::set<JobId> added_, started_, ended_, cancelled_;
    std::vector<std::string> violations_;
    int depth_ = 0;
    std::size_t empties_ = 0;
};

}  // namespace tarselctl
