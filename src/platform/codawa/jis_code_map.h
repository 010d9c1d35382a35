// Where every two-byte Shift_JIS code lands in EUC-JP and JIS, and back.
//
// One mapping serves EUC and JIS: a JIS code is the EUC code with the high bits cleared,
// the two-byte EUC plane being written after ESC $ B and the 0x8F plane after ESC $ ( D.
//
// Shift_JIS rows (lead, trail -> JIS row/cell by the usual arithmetic, rows 1-120):
//
//   Shift_JIS         rows      EUC-JP                          JIS
//   81-9F, E0-EA      1-84      A1-F4 two-byte, same row/cell    ESC $ B, same row/cell
//                               (JIS X 0208 and NEC row 13, which keeps its own row)
//   F0-F4             95-104    F5-FE two-byte (rows 85-94)      ESC $ B rows 85-94
//   F5-F9             105-114   8F F5-FE (rows 85-94)            ESC $ ( D rows 85-94
//   FA40-FC4B                   the 8F code EUC-JP-MS gives      ESC $ ( D
//                               (IBM extension kanji)
//   the rest of FA-FC, EB-EF    8F plane, a row of its own:      ESC $ ( D
//     row  85 86 87 88 89 90 91 92 93 94 115 119 120
//     8F    1  3  4  5 78 79 80 81  8 12  13  14  15
//
// The first three lines and the IBM extension kanji are what EUC-JP-MS does. What EUC-JP-MS
// cannot keep apart is given rows that neither JIS X 0212 nor EUC-JP-MS uses: the
// NEC-selected IBM extensions (ED, EE), which duplicate the IBM extension kanji; the 15
// IBM extension codes that duplicate NEC row 13 and row 2 (FA4A-FA54, FA58-FA5B); and the
// codes no vendor assigned. So every well-formed two-byte Shift_JIS code has its own EUC
// and JIS code and comes back unchanged, and no EUC reader mistakes one of those for a
// different character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarselctl::jcode {

/// Rows and cells per JIS plane.
inline constexpr std::size_t kCells = 94;

/// The conversion tables, built once. The pair tables are indexed by two bytes as they
/// stand (first << 8 | second), so one lookup both checks and converts a character.
struct JisCodeMap {
    /// Shift_JIS pair -> 0: not a character (no lead byte, or a bad trail). High bit set:
    /// the two-byte EUC code. High bit clear: the 0x8F-plane code in its seven-bit JIS
    /// form (row + 0x20) << 8 | (cell + 0x20).
    std::uint16_t sjis_to_euc[0x10000];
    /// Two-byte EUC pair (both bytes A1-FE) or JIS X 0208 pair (both 21-7E) -> the
    /// Shift_JIS code; 0 for every other pair.
    std::uint16_t pair_to_sjis[0x10000];
    /// 0x8F plane, index (row - 1) * 94 + (cell - 1): the Shift_JIS code, or 0 where none
    /// maps there.
    std::uint16_t plane2_to_sjis[kCells * kCells];
};

/// The shared tables; safe to call from any thread.
const JisCodeMap& CodeMap();

/// Converts the run of two-byte-plane pairs at p, reading pairs while one starts before
/// `limit` (which must leave the pair's second byte readable), and writes each pair's EUC
/// code with `mask` applied: 0xFFFF for EUC, 0x7F7F for its seven-bit JIS form. Returns the
/// bytes read, which equal the bytes written. Two-byte text comes in runs, and this is where
/// the converters out of Shift_JIS spend most of their time: two pairs are looked up per
/// step, so that their table loads overlap, and each is stored as one 16-bit word.
inline std::size_t ConvertPairRun(const std::uint16_t* map, const std::uint8_t* p,
                                  const std::uint8_t* limit, char* o, std::uint16_t mask) {
    const std::uint8_t* const start = p;
    auto put = [](char* to, std::uint16_t code) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(code >> 8),
                                        static_cast<unsigned char>(code)};
        std::memcpy(to, bytes, 2);
    };
    while (limit - p > 2) {
        const std::uint16_t a = map[p[0] << 8 | p[1]];
        const std::uint16_t b = map[p[2] << 8 | p[3]];
        if (!(a & b & 0x8000)) break;
        put(o, a & mask);
        put(o + 2, b & mask);
        p += 4;
        o += 4;
    }
    while (p < limit) {
        const std::uint16_t v = map[p[0] << 8 | p[1]];
        if (!(v & 0x8000)) break;
        put(o, v & mask);
        p += 2;
        o += 2;
    }
    return static_cast<std::size_t>(p - start);
}

}  // namespace tarselctl::jcode
