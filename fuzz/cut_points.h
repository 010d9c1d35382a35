// Where a fuzz target cuts its input into pieces: points chosen by a seed from the input
// itself, so that a finding replays the same cuts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarselctl::fuzzing {

/// Ascending points inside [1, size), each 1 to maxStep past the one before.
inline std::vector<std::size_t> CutPoints(std::size_t size, std::uint8_t seed, std::uint32_t maxStep) {
    std::vector<std::size_t> cuts;
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t at = 0;;) {
        state = state * 1664525u + 1013904223u;
        at += 1 + (state >> 24) % maxStep;
        if (at >= size) return cuts;
        cuts.push_back(at);
    }
}

}  // namespace tarselctl::fuzzing
