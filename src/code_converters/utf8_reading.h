// Reading UTF-8 one character at a time, with the ill-formed sequences of the input told
// apart the way Unicode recommends (each maximal part that could have begun a character is
// one error). Shared by the stream converters and the UTF-16 codec, so that every path
// that reads UTF-8 replaces the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarselctl {

inline constexpr char32_t kIllFormed = 0xFFFF'FFFF;

// Reads the character at p (p[0] >= 0x80) and returns its length with its code point in
// `c`. An ill-formed sequence gives the length of its maximal part that could have begun a
// character (at least 1) and kIllFormed. 0: [p, end) is the start of a character, cut.
inline std::size_t ReadUtf8(const std::uint8_t* p, const std::uint8_t* end, char32_t& c) {
    const std::uint8_t b = p[0];
    std::size_t n;
    std::uint8_t low = 0x80, high = 0xBF;  // the second byte's range; later bytes 80-BF
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
        if (b == 0xE0) low = 0xA0;   // no overlong forms
        if (b == 0xED) high = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        c = kIllFormed;  // a continuation byte, C0, C1 or F5-FF
        return 1;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (p + i == end) return 0;
        const std::uint8_t t = p[i];
        if (t < low || t > high) {
            c = kIllFormed;
            return i;
        }
        low = 0x80;
        high = 0xBF;
        c = c << 6 | (t & 0x3F);
    }
    return n;
}

}  // namespace tarselctl
