// The queue's outbox: events wait here until the outermost step delivers them.
#include <tarsel/transfer_queue.h>

#include "queue/queue_step.h"

namespace tarselctl {

void TransferQueue::Raise(std::function<void()> event) { outbox_.push_back(std::move(event)); }

// Runs with the outermost step still open, so that a handler's calls are nested steps: they
// change the state at once and their events join the end of this same outbox.
void TransferQueue::Deliver() noexcept {
    while (!outbox_.empty()) {
        std::function<void()> event = std::move(outbox_.front());
        outbox_.pop_front();
        try {
            event();
        } catch (...) {
            // As with the control: the other events still come, and the host gets its
            // exception back outside the queue's work.
            platform_.ReportHandlerException(std::current_exception());
        }
    }
    if (deliveryTimer_) deliveryTimer_->put_Enabled(false);
}

void TransferQueue::LeaveHostCall() {
    if (outbox_.empty()) return;
    if (!deliveryTimer_) {
        deliveryTimer_ = platform_.CreateTimer();
        deliveryTimer_->SetTickHandler([this] {
            deliveryTimer_->put_Enabled(false);
            Step step(*this, Step::From::Loop);
        });
        deliveryTimer_->put_Interval(1);
    }
    deliveryTimer_->put_Enabled(true);
}

}  // namespace tarselctl
