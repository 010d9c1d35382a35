// Cutting CR LF terminated lines out of a receive buffer.
#pragma once

#include <string>
#include <vector>

namespace tarselctl {

// Moves every complete line (without its CR LF) out of the front of `buffer`; the unfinished
// last line stays. Taking all lines at once keeps the work linear in the buffer's size, and
// leaves the buffer consistent while each line is handed to a host that may re-enter.
template <class Str>
std::vector<Str> TakeCrLfLines(Str& buffer) {
    std::vector<Str> lines;
    using Ch = typename Str::value_type;
    const Ch crlf[] = {Ch('\r'), Ch('\n'), Ch(0)};
    std::size_t start = 0;
    for (;;) {
        std::size_t pos = buffer.find(crlf, start, 2);
        if (pos == Str::npos) break;
        lines.emplace_back(buffer, start, pos - start);
        start = pos + 2;
    }
    if (start != 0) buffer.erase(0, start);
    return lines;
}

}  // namespace tarselctl
