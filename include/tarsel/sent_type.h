// Which TYPE a control connection is in, read from the control's Trace.
#pragma once

#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// Follows the TYPE lines a control sends and the server's replies to them, so that a host
/// can leave Filetype empty for a transfer whose type the connection already has: one round
/// trip less per file. Feed it every Trace of the control and call Reset on DisConnected.
/// tarsel::TypeInForce() gives the same from the control itself, without reading the trace.
class TARSEL_API SentType {
public:
    /// One Trace message: a line sent ("Operation>>TYPE I") or a reply line.
    void Observe(const String& traceMessage);
    /// The connection is gone: its type is unknown again.
    void Reset();
    /// The Filetype to set before GetFile, PutFile, AppendFile or FileSize when the host
    /// wants `wanted`: "" when the server has accepted that type already, else `wanted`.
    String FiletypeFor(const String& wanted) const;
    /// The type the server accepted last ("I", "A"), or "" when unknown.
    const String& Current() const { return current_; }

private:
    String current_;
    /// The type of a TYPE line whose reply has not come yet.
    String pending_;
};

}  // namespace tarselctl

TARSEL_API_END
