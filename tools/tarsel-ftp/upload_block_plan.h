// How an upload cuts a file into blocks. Pure arithmetic, kept apart from the file reads so
// that the one rule that matters can be checked on its own.
#pragma once

#include <cstdint>

namespace tarselftp {

/// Size of the next block to read when `remaining` bytes of the file are still to be sent
/// and blocks are normally `chunk` bytes (chunk >= 2).
///
/// The upload protocol takes a block of fewer than two bytes as the end of the upload, so a
/// block of one byte must never be handed over while data remains: when a normal block would
/// leave exactly one byte behind, that byte is folded into this block. The only answer of 1
/// is for a remainder of exactly one byte, which is a 1-byte file: it cannot be uploaded at
/// all. 0 means the file is done.
constexpr std::uint64_t NextBlockSize(std::uint64_t remaining, std::uint32_t chunk) {
    if (remaining <= chunk) return remaining;
    if (remaining - chunk == 1) return static_cast<std::uint64_t>(chunk) + 1;
    return chunk;
}

}  // namespace tarselftp
