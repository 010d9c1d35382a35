// Shift_JIS -> EUC-JP.
#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"
#include "code_converters/jis_code_map.h"
#include "code_converters/output_buffer.h"

namespace tarselctl::jcode {

std::size_t SjisToEuc(std::string_view in, std::string& out) {
    const std::uint16_t* const map = CodeMap().sjis_to_euc;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    // Half-width katakana double, nothing grows more; each segment asks for 64 bytes of
    // slack on top.
    OutputBuffer buffer(out, 2 * (in.size() + 32));
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        const auto* const pair_limit = std::min(segment_end, end - 1);
        // Katakana double; an ASCII run or a pair may end up to 16 bytes past the segment, and
        // an ASCII copy writes 16 bytes.
        o = buffer.Reserve(o, 2 * (segment + 32));
        while (p < segment_end) {
            // Runs of two-byte text: one lookup tells a JIS X 0208-plane pair from the rest.
            const std::size_t run = ConvertPairRun(map, p, pair_limit, o, 0xFFFF);
            p += run;
            o += run;
            if (p >= segment_end) break;
            const std::uint8_t b = *p;
            if (b < 0x80) {
                if (end - p >= 16) {  // a word, or the start of a longer run
                    const std::size_t n = CopyAsciiStretch(p, std::min(end, segment_end + 16), o);
                    p += n;
                    o += n;
                    continue;
                }
                *o++ = static_cast<char>(b);
                ++p;
            } else if (IsSjisLead(b)) {
                if (p + 1 == end) {
                    cut = true;
                    break;
                }
                const std::uint16_t v = map[b << 8 | p[1]];
                if (v != 0) {  // the 0x8F plane
                    o[0] = static_cast<char>(0x8F);
                    o[1] = static_cast<char>((v >> 8) | 0x80);
                    o[2] = static_cast<char>(v | 0x80);
                    o += 3;
                    p += 2;
                } else {
                    *o++ = static_cast<char>(b);
                    ++p;
                }
            } else if (IsSjisKatakana(b)) {
                if (end - p >= 16) {
                    std::size_t n;
                    do {
                        n = KatakanaToEuc16(p, o);
                        p += n;
                        o += 2 * n;
                    } while (n == 16 && end - p >= 16 && p < segment_end);
                    continue;
                }
                do {
                    o[0] = static_cast<char>(0x8E);
                    o[1] = static_cast<char>(*p);
                    o += 2;
                    ++p;
                } while (p < segment_end && IsSjisKatakana(*p));
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
