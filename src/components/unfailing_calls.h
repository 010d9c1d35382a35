// Component calls that the control's own sequences treat as unable to fail.
#pragma once

#include <tarsel/platform.h>
#include <tarsel/soquet.h>

namespace tarselctl {

// Closing a connection, marking a data connection's set-up phase and switching a timer are
// steps in the middle of the control's sequences (ending an operation, a close, a time-out).
// An error there has nothing left to undo, while letting it escape would skip the steps after
// it: the operation would never end and the host would never be told. So it is dropped.

inline void CloseQuietly(Soquet& socket) noexcept {
    try {
        socket.CloseSocket();
    } catch (...) {
    }
}

inline void SetSetupPhaseQuietly(Soquet& socket, Boolean value) noexcept {
    try {
        socket.put_SetupPhase(value);
    } catch (...) {
    }
}

inline void EnableQuietly(Timer& timer, bool enabled) noexcept {
    try {
        timer.put_Enabled(enabled);
    } catch (...) {
    }
}

}  // namespace tarselctl
