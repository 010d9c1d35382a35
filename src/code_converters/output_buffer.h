// Growing output of a converter, written through a raw pointer.
//
// Converters work on segments of input: before each segment they ask for room for its
// worst-case output, so the inner loop stores without bounds checks. The whole output's
// worst case (or, where that is far more than text ever needs, its expected size) is reserved
// once, which touches no memory, and the string grows into it one segment's room at a time:
// the zero fill that growing a string costs then lands on bytes about to be written anyway,
// while they are in the cache, instead of sweeping the whole output once more beforehand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarselctl::jcode {

/// Input bytes handled between two checks of the output's room.
inline constexpr std::size_t kSegment = 16 * 1024;

class OutputBuffer {
public:
    /// Appends to `out`, which can take `expected` more bytes without moving. An output that
    /// grows past them moves once more; the cursor Reserve returns follows it.
    OutputBuffer(std::string& out, std::size_t expected) : out_(out), used_(out.size()) {
        out_.reserve(used_ + expected);
        AskForHugePages();
    }

    /// Write cursor with at least `room` bytes free behind it.
    char* Reserve(char* cursor, std::size_t room) {
        const std::size_t used = cursor ? static_cast<std::size_t>(cursor - out_.data()) : used_;
        if (out_.size() - used < room) out_.resize(used + room);
        return out_.data() + used;
    }

    /// Ends the output at `cursor`.
    void Finish(char* cursor) {
        out_.resize(cursor ? static_cast<std::size_t>(cursor - out_.data()) : used_);
    }

private:
    /// A large output is fresh memory from the system, and faulting it in one 4 KiB page at
    /// a time costs about as much as the conversion itself; in 2 MiB pages it costs next to
    /// nothing. Only a hint: the system may ignore it, and smaller outputs come from the heap.
    void AskForHugePages() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::uintptr_t kHuge = 2u << 20;
        if (out_.capacity() - used_ < 2 * kHuge) return;
        const auto from = reinterpret_cast<std::uintptr_t>(out_.data() + used_);
        const auto to = reinterpret_cast<std::uintptr_t>(out_.data() + out_.capacity());
        const std::uintptr_t first = (from + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t last = to & ~(kHuge - 1);
        if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
    }

    std::string& out_;
    std::size_t used_;
};

}  // namespace tarselctl::jcode
