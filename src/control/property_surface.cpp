// Property accessors with effects beyond storing their member.
#include "control/control_core.h"
#include "command/split_text.h"

namespace tarselctl {

void ControlCore::put_NoopTime(Long value) {
    m_NoopTime = value;
    // While an operation runs the new value waits for its completion to take effect.
    if (Idle()) StartNoopTimer();
}

// The properties below go into command lines (ACCT, REST, the pre-command lines), possibly
// long after they were written: a value written inside Connected reaches the server at the
// 332 reply without passing any method's check. So the write itself refuses unsafe text and
// keeps the old value. Values read from stored settings skip this and are checked by Connect.

void ControlCore::put_Account(const String& value) {
    RefuseUnsafeText(u"Account", {&value});
    m_Account = value;
}

void ControlCore::put_Rest(const String& value) {
    RefuseUnsafeText(u"Rest", {&value});
    m_Rest = value;
}

void ControlCore::put_PreCommand(const String& value) {
    // CR LF separates the lines; a CR or LF of its own inside a line is refused.
    for (const String& line : SplitText(value, u"\r\n", 0)) RefuseUnsafeText(u"PreCommand", {&line});
    m_PreCommand = value;
}

}  // namespace tarselctl
