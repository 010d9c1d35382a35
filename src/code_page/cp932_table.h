// The CP932 (Windows Shift_JIS) character table, compiled in so that decoding needs no
// locale, no gconv module and no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarselctl::cp932 {

/// Lead bytes 0x81-0x9F and 0xE0-0xFC, in that order.
inline constexpr std::size_t kLeadCount = 60;
/// Trail bytes 0x40-0x7E and 0x80-0xFC, in that order.
inline constexpr std::size_t kTrailCount = 188;

/// Row of a lead byte in kDoubleByte, or -1 when the byte starts no two-byte character.
constexpr int LeadIndex(std::uint8_t b) {
    if (b >= 0x81 && b <= 0x9F) return b - 0x81;
    if (b >= 0xE0 && b <= 0xFC) return b - 0xE0 + 31;
    return -1;
}
/// Column of a trail byte in kDoubleByte, or -1 when the byte cannot end a character.
constexpr int TrailIndex(std::uint8_t b) {
    if (b >= 0x40 && b <= 0x7E) return b - 0x40;
    if (b >= 0x80 && b <= 0xFC) return b - 0x80 + 63;
    return -1;
}

/// UTF-16 of every well-formed two-byte code; 0 where CP932 assigns no character.
extern const char16_t kDoubleByte[kLeadCount][kTrailCount];

/// A character the encoder accepts although no code decodes to it (U+00A5 -> 0x5C, ...).
struct EncoderAddition {
    char16_t unicode;
    std::uint16_t code;  ///< one byte (< 0x100) or lead << 8 | trail
};
inline constexpr std::size_t kEncoderAdditionCount = 9;
extern const EncoderAddition kEncoderAdditions[kEncoderAdditionCount];

}  // namespace tarselctl::cp932
