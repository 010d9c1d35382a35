// JIS (ISO-2022-JP) -> Shift_JIS with the shift state kept between calls.
#include "platform/codawa/byte_classes.h"
#include "platform/codawa/byte_conversions.h"
#include "platform/codawa/jis_code_map.h"
#include "platform/codawa/output_buffer.h"

namespace tarselctl::jcode {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kShiftOut = 0x0E;
constexpr std::uint8_t kShiftIn = 0x0F;

inline bool IsJisByte(std::uint8_t b) { return b >= 0x21 && b <= 0x7E; }

// True when none of the eight bytes can change the state: no high bit, no ESC, no SO, no SI.
inline bool IsPlainWord(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto has_zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
    const std::uint64_t esc = has_zero_byte(w ^ (kOnes * kEsc));
    const std::uint64_t shift = has_zero_byte((w | kOnes) ^ (kOnes * kShiftIn));  // 0E or 0F
    return ((w & kHigh) | esc | shift) == 0;
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

std::size_t JisDecoder::Decode(std::string_view in, std::string& out) {
    const JisCodeMap& map = CodeMap();
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    OutputBuffer buffer(out, in.size() + 16);  // escapes vanish, nothing grows
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        o = buffer.Reserve(o, segment + 8);
        while (p < segment_end) {
            const std::uint8_t b = *p;
            if (b == kEsc) {
                std::size_t length = 0;
                const Escape e = ReadEscape(p, end, length, mode_);
                if (e == Escape::kIncomplete) {
                    cut = true;
                    break;
                }
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
                if (p + 1 == end) {
                    cut = true;
                    break;
                }
                const std::uint8_t t = p[1];
                if (!IsJisByte(t)) {
                    *o++ = static_cast<char>(b);
                    ++p;
                    continue;
                }
                const std::size_t index = static_cast<std::size_t>(b - 0x21) * kCells + (t - 0x21);
                const std::uint16_t v =
                    mode_ == Mode::kKanji ? map.plane1_to_sjis[index] : map.plane2_to_sjis[index];
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
                if (!shifted_out_ && end - p >= 8) {
                    const std::uint64_t w = LoadWord(p);
                    if (IsPlainWord(w)) {
                        std::memcpy(o, &w, 8);
                        o += 8;
                        p += 8;
                        continue;
                    }
                }
                *o++ = static_cast<char>(b);
                ++p;
            }
        }
    }
    buffer.Finish(o);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace tarselctl::jcode
