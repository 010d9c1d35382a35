// What one byte can be in Shift_JIS and EUC-JP, and the word-at-a-time ASCII test.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarselctl::jcode {

inline bool IsSjisLead(std::uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool IsSjisKatakana(std::uint8_t b) { return b >= 0xA1 && b <= 0xDF; }
/// A byte of an EUC two-byte character, and each row/cell byte after 0x8F.
inline bool IsEucByte(std::uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

/// Eight bytes at p, as one word.
inline std::uint64_t LoadWord(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline bool IsAsciiWord(std::uint64_t w) { return (w & 0x8080808080808080ULL) == 0; }

}  // namespace tarselctl::jcode
