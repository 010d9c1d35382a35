// Shift_JIS -> JIS (ISO-2022-JP with the escapes ESC $ B and ESC ( J).
#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"
#include "code_converters/jis_code_map.h"
#include "code_converters/jis_escapes.h"
#include "code_converters/output_buffer.h"

namespace tarselctl::jcode {

std::size_t SjisToJis(std::string_view in, std::string& out) {
    const std::uint16_t* map = CodeMap().sjis_to_euc;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    // The worst case of every segment (below) summed up.
    OutputBuffer buffer(out, 4 * (in.size() + 32) + 8);
    char* o = nullptr;
    OutputMode mode = OutputMode::kOneByte;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        // Worst case: every byte a one-byte character of the other kind (3-byte escape + 1);
        // plus the closing escape.
        const auto* const pair_limit = std::min(segment_end, end - 1);
        o = buffer.Reserve(o, 4 * (segment + 32) + 4);
        while (p < segment_end) {
            const std::uint8_t b = *p;
            if (b < 0x80) {
                o = EnterMode(o, mode, OutputMode::kOneByte);
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
                {
                    // Nearly every pair is of the JIS X 0208 plane: switch to kanji and
                    // convert the run, and take the escape back if not even its first pair
                    // is. The run's own lookups decide; none is made here beforehand.
                    const OutputMode before = mode;
                    char* const escape = o;
                    o = EnterMode(o, mode, OutputMode::kKanji);
                    const std::size_t run = ConvertPairRun(map, p, pair_limit, o, 0x7F7F);
                    if (run != 0) {
                        p += run;
                        o += run;
                        continue;
                    }
                    o = escape;
                    mode = before;
                }
                const std::uint16_t v = map[b << 8 | p[1]];
                if (v == 0) {
                    o = EnterMode(o, mode, OutputMode::kOneByte);
                    *o++ = static_cast<char>(b);
                    ++p;
                    continue;
                }
                o = EnterMode(o, mode, (v & 0x8000) ? OutputMode::kKanji : OutputMode::kPlane2);
                o[0] = static_cast<char>((v >> 8) & 0x7F);
                o[1] = static_cast<char>(v & 0x7F);
                o += 2;
                p += 2;
            } else if (IsSjisKatakana(b)) {
                o = EnterMode(o, mode, OutputMode::kKatakana);
                if (end - p >= 16) {
                    std::size_t n;
                    do {
                        n = KatakanaToJis16(p, o);
                        p += n;
                        o += n;
                    } while (n == 16 && end - p >= 16 && p < segment_end);
                    continue;
                }
                do {
                    *o++ = static_cast<char>(*p - 0x80);
                    ++p;
                } while (p < segment_end && IsSjisKatakana(*p));
            } else {
                o = EnterMode(o, mode, OutputMode::kOneByte);
                *o++ = static_cast<char>(b);
                ++p;
            }
        }
    }
    if (o == nullptr) o = buffer.Reserve(o, 4);
    o = EnterMode(o, mode, OutputMode::kOneByte);
    buffer.Finish(o);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace tarselctl::jcode
