// EUC-JP -> Shift_JIS.
#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"
#include "code_converters/jis_code_map.h"

namespace tarselctl::jcode {

std::size_t EucToSjis(const char* in, std::size_t size, char* out, std::size_t& written,
                      std::uint64_t& substitutions) {
    const JisCodeMap& map = CodeMap();
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in);
    const auto* const end = begin + size;
    const auto* p = begin;
    char* o = out;
    // Every character reads before it writes and writes no more than it read, so `out`
    // may be `in` itself.
    const std::uint16_t* const pairs = map.pair_to_sjis;
    while (p < end) {
        // Runs of two-byte text: one lookup both checks and converts a pair, two pairs per
        // step so that their loads overlap; once a run is under way, rows 1-84 go on eight
        // per step.
        while (end - p >= 4) {
            const std::uint16_t a = pairs[p[0] << 8 | p[1]];
            const std::uint16_t c = pairs[p[2] << 8 | p[3]];
            if (a == 0 || c == 0 || !(p[0] & p[2] & 0x80)) break;
            o[0] = static_cast<char>(a >> 8);
            o[1] = static_cast<char>(a);
            o[2] = static_cast<char>(c >> 8);
            o[3] = static_cast<char>(c);
            o += 4;
            p += 4;
            const std::size_t blocks = PlainRowBlocksToSjis(p, end, o, 0xA0);
            p += blocks;
            o += blocks;
        }
        while (end - p >= 2) {
            const std::uint16_t v = pairs[p[0] << 8 | p[1]];
            if (v == 0 || p[0] < 0x80) break;
            o[0] = static_cast<char>(v >> 8);
            o[1] = static_cast<char>(v);
            o += 2;
            p += 2;
        }
        if (p == end) break;
        const std::uint8_t b = *p;
        if (b < 0x80) {
            if (end - p >= 16 && MayCopyBlocks(p, o)) {  // a word, or the start of a longer run
                const std::size_t n = CopyAsciiStretch(p, end, o);
                p += n;
                o += n;
                continue;
            }
            *o++ = static_cast<char>(b);
            ++p;
        } else if (IsEucByte(b)) {
            if (p + 1 == end) break;
            *o++ = static_cast<char>(b);  // a whole pair went through the run above
            ++p;
        } else if (b == 0x8E) {
            if (p + 1 == end) break;
            const std::uint8_t t = p[1];
            if (IsSjisKatakana(t)) {
                *o++ = static_cast<char>(t);
                p += 2;
                while (end - p >= 2 && p[0] == 0x8E && IsSjisKatakana(p[1])) {
                    *o++ = static_cast<char>(p[1]);
                    p += 2;
                }
            } else {
                *o++ = static_cast<char>(b);
                ++p;
            }
        } else if (b == 0x8F) {
            if (p + 1 == end || (IsEucByte(p[1]) && p + 2 == end)) break;
            if (IsEucByte(p[1]) && IsEucByte(p[2])) {
                const std::uint16_t v = map.plane2_to_sjis[(p[1] - 0xA1) * kCells + (p[2] - 0xA1)];
                if (v != 0) {
                    o[0] = static_cast<char>(v >> 8);
                    o[1] = static_cast<char>(v);
                    o += 2;
                } else {
                    *o++ = '?';  // a JIS X 0212 character Shift_JIS cannot write
                    ++substitutions;
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
    written = static_cast<std::size_t>(o - out);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace tarselctl::jcode
