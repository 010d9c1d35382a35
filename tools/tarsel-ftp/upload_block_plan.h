// How an upload cuts a file into blocks. Pure arithmetic, kept apart from the file reads so
// that the one rule that matters can be checked on its own.
#pragma once

#include <cstdint>

namespace tarselftp {

/// Size of the next block to read when `remaining` bytes of the file are still to be sent
/// and blocks are normally `chunk` bytes (chunk >= 2).
///
/// The upload protocol takes an empty block, or a block of one zero byte, as the end of the
/// upload. So that no byte of the file can be mistaken for that signal, a block of one byte
/// is never handed over while more data remains: when a normal block would leave exactly one
/// byte behind, that byte is folded into this block. The only answer of 1 is for a remainder
/// of exactly one byte, which is a 1-byte file: it goes as it is unless that byte is zero
/// (UploadSource refuses such a file). 0 means the file is done.
constexpr std::uint64_t NextBlockSize(std::uint64_t remaining, std::uint32_t chunk) {
    if (remaining <= chunk) return remaining;
    if (remaining - chunk == 1) return static_cast<std::uint64_t>(chunk) + 1;
    return chunk;
}

}  // namespace tarselftp
