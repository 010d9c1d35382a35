// The bytes of JIS (ISO-2022-JP) that switch its state: escape sequences and SO/SI, how
// they are read, the copying of runs free of them, and the escapes JIS output writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "code_converters/byte_classes.h"

namespace tarselctl::jcode {

inline constexpr std::uint8_t kEsc = 0x1B;
inline constexpr std::uint8_t kShiftOut = 0x0E;
inline constexpr std::uint8_t kShiftIn = 0x0F;

inline bool IsJisByte(std::uint8_t b) { return b >= 0x21 && b <= 0x7E; }

// Copies whole blocks of bytes that cannot change the state (no high bit, no ESC, SO or SI)
// and returns how many; like CopyAsciiRun, o may trail p in the same buffer.
inline std::size_t CopyPlainRun(const std::uint8_t* p, const std::uint8_t* limit, char* o) {
    const std::uint8_t* const start = p;
#if defined(__SSE2__)
    const __m128i esc = _mm_set1_epi8(kEsc);
    const __m128i shift = _mm_set1_epi8(kShiftIn);
    const __m128i ones = _mm_set1_epi8(1);
    while (limit - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, esc), _mm_cmpeq_epi8(_mm_or_si128(v, ones), shift));
        if (_mm_movemask_epi8(_mm_or_si128(v, special)) != 0) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        p += 16;
        o += 16;
    }
#endif
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto has_zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
    while (limit - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        // 0E and 0F differ only in their low bit: set it and look for 0F.
        if ((w & kHigh) | has_zero_byte(w ^ (kOnes * kEsc)) | has_zero_byte((w | kOnes) ^ (kOnes * kShiftIn))) break;
        std::memcpy(o, &w, sizeof w);
        p += 8;
        o += 8;
    }
    return static_cast<std::size_t>(p - start);
}

// Like CopyAsciiPrefix16 for the bytes CopyPlainRun takes: copies 16 bytes, returns how
// many from the front need nothing done (0-16).
inline std::size_t CopyPlainPrefix16(const std::uint8_t* p, char* o) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
    const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(kEsc)),
                                         _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)), _mm_set1_epi8(kShiftIn)));
    const unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, special))) | 0x10000u;
    return static_cast<std::size_t>(__builtin_ctz(stop));
#else
    std::memcpy(o, p, 16);
    std::size_t n = 0;
    while (n < 16 && p[n] < 0x80 && p[n] != kEsc && p[n] != kShiftOut && p[n] != kShiftIn) ++n;
    return n;
#endif
}

enum class Escape { kIncomplete, kUnknown, kKnown };

// Reads the escape sequence at p (p[0] == ESC). On kKnown, `length` and `mode` are set;
// `mode` stays unchanged for ESC & @, which only announces a revision.
template <typename Mode>
Escape ReadEscape(const std::uint8_t* p, const std::uint8_t* end, std::size_t& length, Mode& mode) {
    const std::size_t avail = static_cast<std::size_t>(end - p);
    if (avail < 2) return Escape::kIncomplete;
    if (p[1] == '$') {
        if (avail < 3) return Escape::kIncomplete;
        if (p[2] == 'B' || p[2] == '@') {
            mode = Mode::kKanji;
            length = 3;
            return Escape::kKnown;
        }
        if (p[2] != '(') return Escape::kUnknown;
        if (avail < 4) return Escape::kIncomplete;
        if (p[3] == 'B') {
            mode = Mode::kKanji;
        } else if (p[3] == 'D') {
            mode = Mode::kPlane2;
        } else {
            return Escape::kUnknown;
        }
        length = 4;
        return Escape::kKnown;
    }
    if (p[1] == '(') {
        if (avail < 3) return Escape::kIncomplete;
        switch (p[2]) {
            case 'B': mode = Mode::kAscii; break;
            case 'J':
            case 'H': mode = Mode::kRoman; break;
            case 'I': mode = Mode::kKatakana; break;
            default: return Escape::kUnknown;
        }
        length = 3;
        return Escape::kKnown;
    }
    if (p[1] == '&') {
        if (avail < 3) return Escape::kIncomplete;
        if (p[2] != '@') return Escape::kUnknown;
        length = 3;
        return Escape::kKnown;
    }
    return Escape::kUnknown;
}


/// The modes JIS output switches between.
enum class OutputMode { kOneByte, kKanji, kPlane2, kKatakana };

/// Switches the output to `to`, writing its escape sequence when the mode changes; returns
/// the cursor after it. Always stores 4 bytes (the longest escape), so needs 4 bytes of room;
/// a shorter escape's fourth byte is overwritten by what follows. Text switches modes every
/// few characters, and a table store costs less than a switch's mispredicted branch.
inline char* EnterMode(char* o, OutputMode& mode, OutputMode to) {
    if (mode == to) return o;
    static constexpr char kEscapes[4][4] = {
        {'\x1b', '(', 'J', 0}, {'\x1b', '$', 'B', 0}, {'\x1b', '$', '(', 'D'}, {'\x1b', '(', 'I', 0}};
    static constexpr std::uint8_t kLengths[4] = {3, 3, 4, 3};
    mode = to;
    const auto index = static_cast<std::size_t>(to);
    std::memcpy(o, kEscapes[index], 4);
    return o + kLengths[index];
}

}  // namespace tarselctl::jcode
