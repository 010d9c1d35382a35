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
#include "code_converters/byte_classes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
/// Converts the eight two-byte characters at p to their EUC codes (`base` 0xA0) or JIS codes
/// (`base` 0x20) by arithmetic and stores the 16 bytes at o, all of them; returns a mask with
/// both bits of each byte pair set where the arithmetic covers the character: a lead byte
/// 81-9F or E0-EA (rows 1-84, which map by row and cell alone) and a valid trail byte. The
/// rest of the table (rows 85 and up, vendor codes) is left to lookups.
[[gnu::always_inline]] inline unsigned ConvertPlainRows16(const std::uint8_t* p, char* o, std::uint16_t base) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i lead = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
    const __m128i trail = _mm_srli_epi16(v, 8);
    auto in = [](__m128i x, int low, int high) {  // low <= x <= high, per 16-bit lane
        return _mm_and_si128(_mm_cmpgt_epi16(x, _mm_set1_epi16(static_cast<short>(low - 1))),
                             _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<short>(high + 1)), x));
    };
    const __m128i ok = _mm_and_si128(
        _mm_or_si128(in(lead, 0x81, 0x9F), in(lead, 0xE0, 0xEA)),
        _mm_andnot_si128(_mm_cmpeq_epi16(trail, _mm_set1_epi16(0x7F)), in(trail, 0x40, 0xFC)));
    const __m128i upper_leads = _mm_cmpgt_epi16(lead, _mm_set1_epi16(0xDF));
    const __m128i past_7f = _mm_cmpgt_epi16(trail, _mm_set1_epi16(0x7F));
    const __m128i even_row = _mm_cmpgt_epi16(trail, _mm_set1_epi16(0x9E));
    // row = 2 * lead index + 1, + 1 for trails 9F-FC (the masks are -1 where they hold).
    const __m128i lead_index =
        _mm_sub_epi16(_mm_sub_epi16(lead, _mm_set1_epi16(0x81)), _mm_and_si128(upper_leads, _mm_set1_epi16(0x40)));
    const __m128i row = _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(lead_index, lead_index), _mm_set1_epi16(1)), even_row);
    // cell = trail - 3F, one less past 7F (which is no trail), and counted from 9F in even rows.
    const __m128i cell = _mm_sub_epi16(_mm_add_epi16(_mm_sub_epi16(trail, _mm_set1_epi16(0x3F)), past_7f),
                                       _mm_and_si128(even_row, _mm_set1_epi16(0x5E)));
    const __m128i offset = _mm_set1_epi16(static_cast<short>(base));
    const __m128i code = _mm_or_si128(_mm_add_epi16(row, offset), _mm_slli_epi16(_mm_add_epi16(cell, offset), 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), code);
    return static_cast<unsigned>(_mm_movemask_epi8(ok));
}
#endif

#if defined(__SSE2__)
/// Converts the eight two-byte characters at p, in their JIS form (`base` 0x20) or EUC form
/// (`base` 0xA0), to Shift_JIS by arithmetic, which rows 1-84 follow exactly; `covered` gets
/// both bits of each pair set where the pair is one of those rows with a valid second byte.
[[gnu::always_inline]] inline __m128i PlainRowsToSjis16(__m128i v, short base, unsigned& covered) {
    const __m128i first = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
    const __m128i second = _mm_srli_epi16(v, 8);
    auto in = [](__m128i x, int low, int high) {  // low <= x <= high, per 16-bit lane
        return _mm_and_si128(_mm_cmpgt_epi16(x, _mm_set1_epi16(static_cast<short>(low - 1))),
                             _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<short>(high + 1)), x));
    };
    covered = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(in(first, base + 1, base + 84), in(second, base + 1, base + 94))));
    const __m128i row = _mm_sub_epi16(first, _mm_set1_epi16(base));
    const __m128i cell = _mm_sub_epi16(second, _mm_set1_epi16(base));
    // Two rows share a lead byte: 81-9F for rows 1-62, E0 on after them.
    const __m128i lead = _mm_add_epi16(
        _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(row, _mm_set1_epi16(1)), 1), _mm_set1_epi16(0x80)),
        _mm_and_si128(_mm_cmpgt_epi16(row, _mm_set1_epi16(62)), _mm_set1_epi16(0x40)));
    // Odd rows take trail bytes 40-9E, skipping 7F; even rows 9F-FC.
    const __m128i odd = _mm_cmpeq_epi16(_mm_and_si128(row, _mm_set1_epi16(1)), _mm_set1_epi16(1));
    const __m128i odd_trail =
        _mm_sub_epi16(_mm_add_epi16(cell, _mm_set1_epi16(0x3F)), _mm_cmpgt_epi16(cell, _mm_set1_epi16(63)));
    const __m128i even_trail = _mm_add_epi16(cell, _mm_set1_epi16(0x9E));
    const __m128i trail = _mm_or_si128(_mm_and_si128(odd, odd_trail), _mm_andnot_si128(odd, even_trail));
    return _mm_or_si128(lead, _mm_slli_epi16(trail, 8));
}
#endif

/// Converts whole blocks of eight rows-1-84 characters at p, in their JIS form (`base` 0x20)
/// or EUC form (0xA0), to Shift_JIS, up to the first other character, and returns the bytes
/// read, which equal the bytes written. For decoding in place: every block is read before
/// it is written, and where the output is the input itself only the converted pairs are
/// stored, so o may be p or 16 bytes or more behind it (it stops at once otherwise).
[[gnu::always_inline]] inline std::size_t PlainRowBlocksToSjis(const std::uint8_t* p, const std::uint8_t* end,
                                                               char* o, short base) {
    const std::uint8_t* const start = p;
#if defined(__SSE2__)
    const auto* w = reinterpret_cast<const std::uint8_t*>(o);
    const bool in_place = w == p;
    if (!in_place && p - w < 16) return 0;
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned covered;
        const __m128i code = PlainRowsToSjis16(v, base, covered);
        if (covered != 0xFFFF) {
            // Only the pairs before the first one not covered; the rest stay as read.
            const std::size_t n = static_cast<std::size_t>(__builtin_ctz(~covered)) & ~std::size_t{1};
            const __m128i index = _mm_set_epi16(7, 6, 5, 4, 3, 2, 1, 0);
            const __m128i take = _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<short>(n / 2)), index);
            const __m128i kept = _mm_or_si128(_mm_and_si128(take, code), _mm_andnot_si128(take, v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), kept);
            p += n;
            break;
        }
        // A whole block advances by a constant, so that the next block's loads need not
        // wait for this one's result.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), code);
        p += 16;
        o += 16;
    }
#else
    (void)end, (void)o, (void)base;
#endif
    return static_cast<std::size_t>(p - start);
}

/// Converts the run of two-byte-plane pairs at p, reading pairs while one starts before
/// `limit` (which must leave the pair's second byte readable), and writes each pair's EUC
/// code with `mask` applied: 0xFFFF for EUC, 0x7F7F for its seven-bit JIS form. Returns the
/// bytes read, which equal the bytes written; up to 16 bytes past them may be written too.
/// Two-byte text comes in runs, and this is where the converters out of Shift_JIS spend
/// most of their time: pairs are looked up two per step, so that their table loads overlap,
/// and once a run is under way, eight characters of rows 1-84 are converted per step by
/// arithmetic.
[[gnu::always_inline]] inline std::size_t ConvertPairRun(const std::uint16_t* map, const std::uint8_t* p,
                                  const std::uint8_t* limit, char* o, std::uint16_t mask) {
    const std::uint8_t* const start = p;
    auto put = [](char* to, std::uint16_t code) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(code >> 8),
                                        static_cast<unsigned char>(code)};
        std::memcpy(to, bytes, 2);
    };
#if defined(__SSE2__)
    const std::uint16_t base = (mask & 0x80) ? 0xA0 : 0x20;
#endif
    while (limit - p > 2) {
        const std::uint16_t a = map[p[0] << 8 | p[1]];
        const std::uint16_t b = map[p[2] << 8 | p[3]];
        if (!(a & b & 0x8000)) break;
        put(o, a & mask);
        put(o + 2, b & mask);
        p += 4;
        o += 4;
#if defined(__SSE2__)
        // A run under way: on with eight at a time while all eight start before `limit`.
        // The lookups above go first so that text with short runs, or none, pays nothing.
        // A whole block advances by a constant, so that the next block's loads need not
        // wait for this one's result.
        while (limit - p >= 16) {
            const unsigned covered = ConvertPlainRows16(p, o, base);
            if (covered != 0xFFFF) {
                const std::size_t n = static_cast<std::size_t>(__builtin_ctz(~covered)) & ~std::size_t{1};
                p += n;
                o += n;
                // The pair that stopped the block ends the run, mostly. A byte that cannot
                // lead a pair (ASCII, half-width katakana, a line end) ends it for sure, and
                // saying so needs no table load, whose latency would stall every run's end.
                if (!IsSjisLead(p[0])) return static_cast<std::size_t>(p - start);
                const std::uint16_t v = map[p[0] << 8 | p[1]];
                if (!(v & 0x8000)) return static_cast<std::size_t>(p - start);
                put(o, v & mask);
                p += 2;
                o += 2;
                continue;
            }
            p += 16;
            o += 16;
        }
#endif
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
