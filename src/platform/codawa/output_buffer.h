// Growing output of a converter, written through a raw pointer.
//
// Converters work on segments of input: before each segment they ask for room for its
// worst-case output, so the inner loop stores without bounds checks and the string is
// zero-filled only about once over, not for the worst case of the whole input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

namespace tarselctl::jcode {

/// Input bytes handled between two checks of the output's room.
inline constexpr std::size_t kSegment = 16 * 1024;

class OutputBuffer {
public:
    /// Appends to `out`, starting with room for `expected` bytes.
    OutputBuffer(std::string& out, std::size_t expected) : out_(out), used_(out.size()) {
        out_.resize(used_ + expected);
    }

    /// Write cursor with at least `room` bytes free behind it.
    char* Reserve(char* cursor, std::size_t room) {
        const std::size_t used = cursor ? static_cast<std::size_t>(cursor - out_.data()) : used_;
        if (out_.size() - used < room) out_.resize(std::max(out_.size() * 2, used + room));
        return out_.data() + used;
    }

    /// Ends the output at `cursor`.
    void Finish(char* cursor) {
        out_.resize(cursor ? static_cast<std::size_t>(cursor - out_.data()) : used_);
    }

private:
    std::string& out_;
    std::size_t used_;
};

}  // namespace tarselctl::jcode
