// One entry into the control.
#pragma once

#include <initializer_list>

#include "control/control_core.h"

namespace tarselctl {

// Every way into the control opens a step: a host call, a socket event, a timer tick. State
// changes happen at once; their events wait in the outbox until the outermost step ends and
// delivers them. A host call made from inside an event is a nested step: it changes the state
// at once, and its events queue behind the one being handled. So the control never sees its
// state change under its feet while it works (no event runs host code in the middle of a
// step), and the events a host sees are in the order of the state changes that raised them.
class ControlCore::Step {
public:
    explicit Step(ControlCore& control) : c_(control) { ++c_.m_StepDepth; }
    ~Step() {
        if (c_.m_StepDepth == 1) c_.DeliverOutbox();
        --c_.m_StepDepth;
    }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

private:
    ControlCore& c_;
};

// The one way in for a host call. Opens the call's step and, for an operation, does what every
// operation checks before it changes anything, in this order: the control is idle (error 17),
// its data would be protected when it needs a data connection (error 70), and the text it
// would send reaches the server as written (error 5); each error names the operation. A call
// refused here leaves the control as it was.
class ControlCore::Entry : private Step {
public:
    /// A call that is no operation of its own (Connect, DisConnect, Abend, Abort, EndUpload)
    /// or an event of a socket or a timer.
    explicit Entry(ControlCore& control) : Step(control) {}
    /// An operation; `texts` go into its command lines.
    Entry(ControlCore& control, Operation operation, std::initializer_list<const String*> texts = {});
};

}  // namespace tarselctl
