#include "support/queue_order_rules.h"

namespace tarselctl {

class QueueOrderRules::Entered {
public:
    Entered(QueueOrderRules& rules, const char* event) : r_(rules) {
        if (r_.depth_++ > 0) r_.Violation(std::string(event) + " entered inside another handler");
    }
    ~Entered() { --r_.depth_; }

private:
    QueueOrderRules& r_;
};

void QueueOrderRules::During(JobId job, const char* event) {
    const std::string name = std::string(event) + " of job " + std::to_string(job);
    if (!added_.count(job)) Violation(name + " before Add returned its id");
    if (ended_.count(job)) Violation(name + " after its end");
    if (!started_.count(job)) Violation(name + " before JobStarted");
}

void QueueOrderRules::Ended(JobId job, const char* event) {
    const std::string name = std::string(event) + " of job " + std::to_string(job);
    if (!added_.count(job)) Violation(name + " before Add returned its id");
    if (!ended_.insert(job).second) Violation(name + ": a second end");
}

void QueueOrderRules::JobStarted(JobId job, int attempt) {
    Entered entered(*this, "JobStarted");
    if (!added_.count(job)) Violation("JobStarted of job " + std::to_string(job) + " before Add returned its id");
    if (ended_.count(job)) Violation("JobStarted of job " + std::to_string(job) + " after its end");
    started_.insert(job);
    host_.JobStarted(job, attempt);
}

void QueueOrderRules::JobRewind(JobId job, std::uint64_t offset) {
    Entered entered(*this, "JobRewind");
    During(job, "JobRewind");
    host_.JobRewind(job, offset);
}

void QueueOrderRules::JobData(JobId job, std::uint64_t offset, ByteArray& data) {
    Entered entered(*this, "JobData");
    During(job, "JobData");
    host_.JobData(job, offset, data);
}

void QueueOrderRules::JobPutData(JobId job, std::uint64_t offset, ByteArray& data) {
    Entered entered(*this, "JobPutData");
    During(job, "JobPutData");
    host_.JobPutData(job, offset, data);
}

void QueueOrderRules::JobLine(JobId job, const String& line) {
    Entered entered(*this, "JobLine");
    During(job, "JobLine");
    host_.JobLine(job, line);
}

void QueueOrderRules::JobProgress(JobId job, std::uint64_t bytes) {
    Entered entered(*this, "JobProgress");
    During(job, "JobProgress");
    host_.JobProgress(job, bytes);
}

void QueueOrderRules::JobFinished(JobId job, const String& message) {
    Entered entered(*this, "JobFinished");
    Ended(job, "JobFinished");
    if (cancelled_.count(job)) Violation("JobFinished of job " + std::to_string(job) + " after Cancel returned true");
    host_.JobFinished(job, message);
}

void QueueOrderRules::JobFailed(JobId job, const QueueJobError& error) {
    Entered entered(*this, "JobFailed");
    Ended(job, "JobFailed");
    if (cancelled_.count(job) && !error.cancelled)
        Violation("JobFailed of job " + std::to_string(job) + " without `cancelled` after Cancel returned true");
    host_.JobFailed(job, error);
}

void QueueOrderRules::QueueEmpty() {
    Entered entered(*this, "QueueEmpty");
    ++empties_;
    for (JobId job : added_)
        if (!ended_.count(job)) Violation("QueueEmpty while job " + std::to_string(job) + " has not ended");
    host_.QueueEmpty();
}

void QueueOrderRules::Trace(int connection, const String& msg) {
    Entered entered(*this, "Trace");
    host_.Trace(connection, msg);
}

}  // namespace tarselctl
