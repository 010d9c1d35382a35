// What a host call raised, as one comparable line.
#pragma once

#include <string>

#include <tarsel/types.h>

namespace tarselctl {

/// Runs `call` and returns "number|source|description" of the AutomationError it raised, or
/// "none" when it returned normally. Other exceptions pass through and fail the test.
template <class F>
std::string RaisedError(F&& call) {
    try {
        call();
    } catch (const AutomationError& e) {
        return std::to_string(e.Number()) + "|" + ToUtf8(e.Source()) + "|" + ToUtf8(e.Description());
    }
    return "none";
}

}  // namespace tarselctl
