// What one byte can be in Shift_JIS and EUC-JP, and the block-at-a-time ASCII run copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarselctl::jcode {

inline bool IsSjisLead(std::uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool IsSjisKatakana(std::uint8_t b) { return b >= 0xA1 && b <= 0xDF; }
/// A byte of an EUC two-byte character, and each row/cell byte after 0x8F.
inline bool IsEucByte(std::uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

/// Copies whole blocks of ASCII from p to o while p + block <= limit and returns the number
/// of bytes copied (0 when the first block holds a byte >= 0x80). Each block is loaded
/// before it is stored, so o may trail p in the same buffer.
inline std::size_t CopyAsciiRun(const std::uint8_t* p, const std::uint8_t* limit, char* o) {
    const std::uint8_t* const start = p;
#if defined(__SSE2__)
    while (limit - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(v) != 0) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        p += 16;
        o += 16;
    }
#endif
    while (limit - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        if (w & 0x8080808080808080ULL) break;
        std::memcpy(o, &w, sizeof w);
        p += 8;
        o += 8;
    }
    return static_cast<std::size_t>(p - start);
}

/// Copies the 16 bytes at p to o and returns how many of them, from the front, are ASCII
/// (1-16 when p[0] is ASCII). Needs 16 readable bytes at p and 16 writable at o. Bytes past
/// the ASCII ones are written too, to be overwritten by what follows, so in the input's own
/// buffer o must be p itself or at least 16 bytes behind it (see MayCopyBlocks).
inline std::size_t CopyAsciiPrefix16(const std::uint8_t* p, char* o) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v)) | 0x10000u;
    return static_cast<std::size_t>(__builtin_ctz(high));
#else
    std::memcpy(o, p, 16);
    std::size_t n = 0;
    while (n < 16 && p[n] < 0x80) ++n;
    return n;
#endif
}

/// Copies an ASCII stretch that starts at p: the 16-byte prefix, and when that is all ASCII,
/// the whole blocks after it up to `limit`. Returns how many bytes are ASCII and copied. The
/// needs of CopyAsciiPrefix16 apply.
inline std::size_t CopyAsciiStretch(const std::uint8_t* p, const std::uint8_t* limit, char* o) {
    std::size_t n = CopyAsciiPrefix16(p, o);
    if (n == 16) n += CopyAsciiRun(p + 16, limit, o + 16);
    return n;
}

/// Length of the run of half-width katakana (A1-DF) at the front of the 16 bytes at p, and
/// those bytes in v. A byte in A1-DF where a character starts is always katakana, so the
/// run needs no look at what came before.
#if defined(__SSE2__)
inline std::size_t KatakanaPrefix16(const std::uint8_t* p, __m128i& v) {
    v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xA1)));
    const __m128i in_range = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(0xDF - 0xA1)), offset);
    const unsigned stop = ~static_cast<unsigned>(_mm_movemask_epi8(in_range));
    return static_cast<std::size_t>(__builtin_ctz(stop));  // bit 16 and up are set
}
#endif

/// Converts the run of half-width katakana at p, up to 16 of them, to EUC (8E xx each) and
/// returns how many. Needs 16 readable bytes at p and 32 writable at o; the bytes written
/// past the run are overwritten by what follows.
inline std::size_t KatakanaToEuc16(const std::uint8_t* p, char* o) {
#if defined(__SSE2__)
    __m128i v;
    const std::size_t n = KatakanaPrefix16(p, v);
    const __m128i single_shift = _mm_set1_epi8(static_cast<char>(0x8E));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(single_shift, v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(single_shift, v));
    return n;
#else
    std::size_t n = 0;
    for (; n < 16 && IsSjisKatakana(p[n]); ++n) {
        o[2 * n] = static_cast<char>(0x8E);
        o[2 * n + 1] = static_cast<char>(p[n]);
    }
    return n;
#endif
}

/// Converts the run of half-width katakana at p, up to 16 of them, to their seven-bit JIS
/// bytes (21-5F) and returns how many. Needs 16 readable bytes at p and 16 writable at o.
inline std::size_t KatakanaToJis16(const std::uint8_t* p, char* o) {
#if defined(__SSE2__)
    __m128i v;
    const std::size_t n = KatakanaPrefix16(p, v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80))));
    return n;
#else
    std::size_t n = 0;
    for (; n < 16 && IsSjisKatakana(p[n]); ++n) o[n] = static_cast<char>(p[n] - 0x80);
    return n;
#endif
}

/// Whether a converter writing into its own input may store whole 16-byte blocks at o
/// while reading at p: when o is p every byte is written back as it was, and from 16 bytes
/// behind on a block cannot reach bytes not yet read.
inline bool MayCopyBlocks(const std::uint8_t* p, const char* o) {
    const auto* w = reinterpret_cast<const std::uint8_t*>(o);
    return w == p || p - w >= 16;
}

}  // namespace tarselctl::jcode
