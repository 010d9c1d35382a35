// One entry into the transfer queue.
#pragma once

#include <tarsel/transfer_queue.h>

namespace tarselctl {

// Every way into the queue opens a step: a host call, a control's event, a tick. State
// changes happen at once; the events they cause wait in the outbox. The outermost step
// hands them to the host when it ends, if it came from the loop (a control's event, a
// timer): a host call made outside the queue's events must return first, so its events are
// left for the loop, which delivers them with the next control event or, if none comes, by
// the delivery timer. Steps opened by handlers are nested and deliver nothing themselves.
class TransferQueue::Step {
public:
    enum class From { Host, Loop };
    Step(TransferQueue& queue, From from) : q_(queue), from_(from) { ++q_.depth_; }
    ~Step() {
        if (q_.depth_ == 1) {
            if (from_ == From::Loop) q_.Deliver();
            else q_.LeaveHostCall();
        }
        --q_.depth_;
    }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

private:
    TransferQueue& q_;
    From from_;
};

}  // namespace tarselctl
