// Telling which lines of the control connection complete a reply (the lines are cut by
// command/line_cutter.h). Pure functions: no socket, no control state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <tarsel/types.h>

#include "command/line_cutter.h"

namespace tarselctl {

/// What one line of the control connection is, given the multi-line reply it may be part of.
enum class ReplyLineKind {
    /// Not a reply of its own: a middle line of a multi-line reply, or a line that does not
    /// start with three digits and a blank. Traced, never interpreted.
    Text,
    /// "xyz-...": opens a multi-line reply that only "xyz " (or "xyz" alone) ends.
    MultiLineStart,
    /// A complete reply: "xyz text" or "xyz" alone, or the line that ends a multi-line reply.
    Final,
};

/// Classifies `line` and keeps the state of a multi-line reply in `openCode`: empty outside
/// one, else the three digits that opened it. Inside a multi-line reply only a line that
/// begins with the same three digits followed by a blank (or nothing) ends it; whatever else
/// the server writes there is text, however much it looks like a reply ("230 users max"
/// inside a 220 greeting, "2 mirrors are available").
template <class Ch>
ReplyLineKind ClassifyReplyLine(std::basic_string_view<Ch> line, std::basic_string<Ch>& openCode) {
    auto isDigit = [](Ch c) { return c >= Ch('0') && c <= Ch('9'); };
    const bool codeShape = line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]);
    const bool endsCode = line.size() == 3 || (line.size() > 3 && line[3] == Ch(' '));
    if (!openCode.empty()) {
        if (codeShape && endsCode && line.substr(0, 3) == std::basic_string_view<Ch>(openCode)) {
            openCode.clear();
            return ReplyLineKind::Final;
        }
        return ReplyLineKind::Text;
    }
    if (!codeShape) return ReplyLineKind::Text;
    if (endsCode) return ReplyLineKind::Final;
    if (line[3] == Ch('-')) {
        openCode.assign(line.substr(0, 3));
        return ReplyLineKind::MultiLineStart;
    }
    return ReplyLineKind::Text;
}

/// The code of a final reply line: "226 Done" -> 226.
inline Integer ReplyCode(const String& line) {
    Integer code = 0;
    for (std::size_t i = 0; i < 3 && i < line.size() && line[i] >= u'0' && line[i] <= u'9'; ++i)
        code = static_cast<Integer>(code * 10 + (line[i] - u'0'));
    return code;
}

/// The text of a final reply line after its code and blank: what CommandDone reports.
inline String ReplyText(const String& line) { return line.size() > 4 ? line.substr(4) : String(); }

}  // namespace tarselctl
