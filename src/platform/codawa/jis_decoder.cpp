// JIS (ISO-2022-JP) -> Shift_JIS with the shift state kept between calls.
#include "platform/codawa/byte_classes.h"
#include "platform/codawa/byte_conversions.h"
#include "platform/codawa/jis_code_map.h"
#include "platform/codawa/jis_escapes.h"

namespace tarselctl::jcode {

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
