// Cutting the control connection's text into reply lines and telling which lines complete a
// reply. Pure functions: no socket, no control state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <tarsel/types.h>

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

/// Moves every complete line out of the front of `buffer`. A line ends at LF; a CR right
/// before that LF is not part of the line, so both CR LF and a bare LF end a line, while a
/// bare CR does not. `scanned` counts the characters at the front of `buffer` already known
/// to hold no LF: a line that arrives in many small pieces is then searched once, not once
/// per piece. The unfinished last line stays in `buffer`.
template <class Str>
std::vector<Str> TakeReplyLines(Str& buffer, std::size_t& scanned) {
    using Ch = typename Str::value_type;
    std::vector<Str> lines;
    std::size_t start = 0;
    std::size_t from = scanned < buffer.size() ? scanned : buffer.size();
    for (;;) {
        const std::size_t lf = buffer.find(Ch('\n'), from);
        if (lf == Str::npos) break;
        std::size_t end = lf;
        if (end > start && buffer[end - 1] == Ch('\r')) --end;
        lines.emplace_back(buffer, start, end - start);
        start = lf + 1;
        from = start;
    }
    if (start != 0) buffer.erase(0, start);
    scanned = buffer.size();
    return lines;
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
