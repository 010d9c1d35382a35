// EUC-JP -> Shift_JIS.
#include "platform/codawa/byte_classes.h"
#include "platform/codawa/byte_conversions.h"
#include "platform/codawa/jis_code_map.h"
#include "platform/codawa/output_buffer.h"

namespace tarselctl::jcode {

std::size_t EucToSjis(std::string_view in, std::string& out) {
    const JisCodeMap& map = CodeMap();
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    OutputBuffer buffer(out, in.size() + 16);  // never longer than the input
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        o = buffer.Reserve(o, segment + 8);
        while (p < segment_end) {
            const std::uint8_t b = *p;
            if (b < 0x80) {
                if (end - p >= 8) {
                    const std::uint64_t w = LoadWord(p);
                    if (IsAsciiWord(w)) {
                        std::memcpy(o, &w, 8);
                        o += 8;
                        p += 8;
                        continue;
                    }
                }
                *o++ = static_cast<char>(b);
                ++p;
            } else if (IsEucByte(b)) {
                if (p + 1 == end) {
                    cut = true;
                    break;
                }
                const std::uint8_t t = p[1];
                if (IsEucByte(t)) {
                    const std::uint16_t v = map.plane1_to_sjis[(b - 0xA1) * kCells + (t - 0xA1)];
                    o[0] = static_cast<char>(v >> 8);
                    o[1] = static_cast<char>(v);
                    o += 2;
                    p += 2;
                } else {
                    *o++ = static_cast<char>(b);
                    ++p;
                }
            } else if (b == 0x8E) {
                if (p + 1 == end) {
                    cut = true;
                    break;
                }
                if (IsSjisKatakana(p[1])) {
                    *o++ = static_cast<char>(p[1]);
                    p += 2;
                } else {
                    *o++ = static_cast<char>(b);
                    ++p;
                }
            } else if (b == 0x8F) {
                if (p + 1 == end || (IsEucByte(p[1]) && p + 2 == end)) {
                    cut = true;
                    break;
                }
                if (IsEucByte(p[1]) && IsEucByte(p[2])) {
                    const std::uint16_t v = map.plane2_to_sjis[(p[1] - 0xA1) * kCells + (p[2] - 0xA1)];
                    if (v != 0) {
                        o[0] = static_cast<char>(v >> 8);
                        o[1] = static_cast<char>(v);
                        o += 2;
                    } else {
                        *o++ = '?';  // a JIS X 0212 character Shift_JIS cannot write
                    }
                    p += 3;
                } else {
                    *o++ = static_cast<char>(b);
                    ++p;
                }
            } else {
                *o++ = static_cast<char>(b);
                ++p;
            }
        }
    }
    buffer.Finish(o);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace tarselctl::jcode
