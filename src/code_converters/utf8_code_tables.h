// The lookup tables of the UTF-8 stream converters: every character goes through one entry
// of a table built once (see utf8_stream_converter.cpp for how the loops use them).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "code_converters/jis_code_map.h"

namespace tarselctl::utf8_tables {

using jcode::kCells;

// A table entry: the bytes to write in bits 0-23 (first byte lowest), their number (1-3)
// in bits 24-25, and bit 31 set when they stand for a character that could not be written.
// 0 marks "no entry": the slow path decides.
constexpr std::uint32_t kSubstituted = 0x8000'0000u;
constexpr std::uint32_t kQuestion = '?' | 1u << 24 | kSubstituted;

constexpr std::uint32_t Entry(std::uint32_t b0) { return b0 | 1u << 24; }
constexpr std::uint32_t Entry(std::uint32_t b0, std::uint32_t b1) { return b0 | b1 << 8 | 2u << 24; }
constexpr std::uint32_t Entry(std::uint32_t b0, std::uint32_t b1, std::uint32_t b2) {
    return b0 | b1 << 8 | b2 << 16 | 3u << 24;
}
constexpr unsigned Length(std::uint32_t e) { return (e >> 24) & 3; }
constexpr std::uint8_t Byte(std::uint32_t e, int i) { return static_cast<std::uint8_t>(e >> (8 * i)); }

// The UTF-8 form of a BMP character.
constexpr std::uint32_t Utf8Entry(char32_t c) {
    if (c < 0x80) return Entry(c);
    if (c < 0x800) return Entry(0xC0 | c >> 6, 0x80 | (c & 0x3F));
    return Entry(0xE0 | c >> 12, 0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
}

// A pair of bytes as the pair tables index it, first byte high: the codes of one row (one
// first byte) then lie side by side, a few cache lines for all the kana of a row, where
// indexing by the native 16-bit load on a little-endian machine would spread them 1 KiB apart.
inline unsigned PairAt(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap16(v);
    return v;
}
constexpr unsigned PairIndex(unsigned first, unsigned second) { return first << 8 | second; }

// An entry the fast loops take as it is: a character, written without substitution. One
// signed test rejects both "no entry" (0) and a substitution (bit 31), which go to the
// checking code; what passes moves the output on by e >> 24, its length.
inline bool IsPlain(std::uint32_t e) { return static_cast<std::int32_t>(e) > 0; }

// Stores a plain entry's bytes and returns the cursor after them.
inline char* PutPlain(char* o, std::uint32_t e) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(o, &e, sizeof e);
    } else {
        o[0] = static_cast<char>(Byte(e, 0));
        o[1] = static_cast<char>(Byte(e, 1));
        o[2] = static_cast<char>(Byte(e, 2));
    }
    return o + (e >> 24);
}

// Writes any entry, a substitution included, which it counts.
inline char* Put(char* o, std::uint32_t e, std::uint64_t& substitutions) {
    substitutions += e >> 31;
    return PutPlain(o, e & ~kSubstituted);
}

struct Tables {
    /// Shift_JIS lead << 8 | trail -> UTF-8. A well-formed code without a character is '?'
    /// when its trail is >= 0x80; with an ASCII trail it is 0, so that the trail is read again
    /// by itself (as the reply-line decoder does) and a cut code never hides punctuation.
    std::uint32_t sjis_pair[0x10000];
    /// One Shift_JIS byte that is a character by itself: ASCII and half-width katakana; '?'
    /// for every other byte (lead bytes reach this table only when they start nothing).
    std::uint32_t sjis_single[0x100];
    /// Two-byte EUC code (both bytes A1-FE) -> UTF-8; 0 for every other pair.
    std::uint32_t euc_pair[0x10000];
    /// 0x8F plane of EUC (ESC $ ( D in JIS), index (row - 1) * 94 + (cell - 1) -> UTF-8.
    std::uint32_t plane2[kCells * kCells];
    /// BMP character -> its Shift_JIS bytes, or '?'.
    std::uint32_t to_sjis[0x10000];
    /// BMP character -> its EUC-JP bytes, or '?'.
    std::uint32_t to_euc[0x10000];
    /// BMP character -> its JIS X 0208 code in seven bits, as written after ESC $ B (first
    /// byte at the lower address); 0 for every character written in another mode or not at all.
    std::uint16_t to_jis_kanji[0x10000];
};

/// The tables, built at the first call.
const Tables& GetTables();

}  // namespace tarselctl::utf8_tables
