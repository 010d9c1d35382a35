// The one line cutter of the control: replies on the control connection and listings on the
// data connection are cut here, each by its own line-end rule. Pure: no socket, no state but
// the caller's buffer and scan mark.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarselctl {

/// What ends a line.
enum class LineEnd {
    /// LF, with a CR right before it dropped: CR LF and a bare LF end a line, a bare CR does
    /// not. Replies: servers that write bare LF are common enough to accept.
    Lf,
    /// CR LF only; a bare LF stays inside the line. Listings: a file name may hold an LF.
    CrLf,
};

/// Moves every complete line (without its line end) out of the front of `buffer`; the
/// unfinished last line stays. `scanned` counts the characters at the front of `buffer`
/// already known to hold no line end (0 for a new buffer): a line that arrives in many small
/// pieces is then searched once, not once per piece. Every line is taken before any is
/// handed on, so the buffer is consistent while a host that re-enters sees the lines.
template <class Str>
std::vector<Str> TakeLines(Str& buffer, std::size_t& scanned, LineEnd end) {
    using Ch = typename Str::value_type;
    std::vector<Str> lines;
    std::size_t start = 0;
    // Every line end is found at its LF, so a CR at the end of one piece and the LF at the
    // start of the next make one line end; only the LF's position has to be searched for.
    std::size_t from = scanned < buffer.size() ? scanned : buffer.size();
    for (;;) {
        const std::size_t lf = buffer.find(Ch('\n'), from);
        if (lf == Str::npos) break;
        from = lf + 1;
        const bool crBefore = lf > start && buffer[lf - 1] == Ch('\r');
        if (end == LineEnd::CrLf && !crBefore) continue;
        lines.emplace_back(buffer, start, lf - start - (crBefore ? 1 : 0));
        start = lf + 1;
    }
    if (start != 0) buffer.erase(0, start);
    scanned = buffer.size();
    return lines;
}

/// Reply lines of the control connection (LineEnd::Lf).
template <class Str>
std::vector<Str> TakeReplyLines(Str& buffer, std::size_t& scanned) {
    return TakeLines(buffer, scanned, LineEnd::Lf);
}

/// Listing lines of the data connection (LineEnd::CrLf).
template <class Str>
std::vector<Str> TakeListingLines(Str& buffer, std::size_t& scanned) {
    return TakeLines(buffer, scanned, LineEnd::CrLf);
}

}  // namespace tarselctl
