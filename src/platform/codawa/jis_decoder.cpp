// JIS (ISO-2022-JP) -> Shift_JIS with the shift state kept between calls.
#include "platform/codawa/byte_classes.h"
#include "platform/codawa/byte_conversions.h"
#include "platform/codawa/jis_code_map.h"

namespace tarselctl::jcode {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kShiftOut = 0x0E;
constexpr std::uint8_t kShiftIn = 0x0F;

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

}  // namespace

std::size_t JisDecoder::Decode(const char* in, std::size_t size, char* out, std::size_t& written) {
    const JisCodeMap& map = CodeMap();
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in);
    const auto* const end = begin + size;
    const auto* p = begin;
    char* o = out;
    // Escapes vanish and every character writes no more bytes than it read, after reading
    // them, so `out` may be `in` itself.
    const std::uint16_t* const pairs = map.pair_to_sjis;
    while (p < end) {
        if (mode_ == Mode::kKanji && !shifted_out_) {
            // Runs of two-byte text: one lookup both checks and converts a pair.
            while (end - p >= 2) {
                const std::uint16_t v = pairs[p[0] << 8 | p[1]];
                if (v == 0 || p[0] >= 0x80) break;
                o[0] = static_cast<char>(v >> 8);
                o[1] = static_cast<char>(v);
                o += 2;
                p += 2;
            }
            if (p == end) break;
        }
        const std::uint8_t b = *p;
        if (b == kEsc) {
            std::size_t length = 0;
            const Escape e = ReadEscape(p, end, length, mode_);
            if (e == Escape::kIncomplete) break;
            if (e == Escape::kKnown) {
                p += length;
            } else {
                *o++ = static_cast<char>(b);
                ++p;
            }
        } else if (b == kShiftOut || b == kShiftIn) {
            shifted_out_ = b == kShiftOut;
            ++p;
        } else if (b >= 0x80) {
            *o++ = static_cast<char>(b);  // 8-bit katakana A1-DF, or a stray byte
            ++p;
        } else if (shifted_out_ && b >= 0x21 && b <= 0x5F) {
            *o++ = static_cast<char>(b + 0x80);
            ++p;
        } else if (mode_ == Mode::kKanji || mode_ == Mode::kPlane2) {
            if (!IsJisByte(b)) {
                *o++ = static_cast<char>(b);  // CR, LF, space and the like pass
                ++p;
                continue;
            }
            if (p + 1 == end) break;
            const std::uint8_t t = p[1];
            if (!IsJisByte(t)) {
                *o++ = static_cast<char>(b);
                ++p;
                continue;
            }
            const std::size_t index = static_cast<std::size_t>(b - 0x21) * kCells + (t - 0x21);
            const std::uint16_t v =
                mode_ == Mode::kKanji ? map.pair_to_sjis[b << 8 | t] : map.plane2_to_sjis[index];
            if (v != 0) {
                o[0] = static_cast<char>(v >> 8);
                o[1] = static_cast<char>(v);
                o += 2;
            } else {
                *o++ = '?';  // a JIS X 0212 character Shift_JIS cannot write
            }
            p += 2;
        } else if (mode_ == Mode::kKatakana) {
            *o++ = static_cast<char>(b >= 0x21 && b <= 0x5F ? b + 0x80 : b);
            ++p;
        } else {
            if (!shifted_out_ && end - p >= 16 && MayCopyBlocks(p, o)) {
                const std::size_t n = CopyPlainPrefix16(p, o);
                if (n != 0) {
                    p += n;
                    o += n;
                    if (n == 16) {
                        const std::size_t more = CopyPlainRun(p, end, o);
                        p += more;
                        o += more;
                    }
                    continue;
                }
            }
            *o++ = static_cast<char>(b);
            ++p;
        }
    }
    written = static_cast<std::size_t>(o - out);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace tarselctl::jcode
