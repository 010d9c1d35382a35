// The front of Shift_JIS text that keeps its length in EUC-JP or JIS, converted where it is.
#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"
#include "code_converters/jis_code_map.h"

namespace tarselctl::jcode {

namespace {

// Index of the first byte >= 0x80 at or after p, or `end`.
const std::uint8_t* SkipAscii(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const unsigned high = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
        if (high != 0) return p + __builtin_ctz(high);
        p += 16;
    }
#endif
    while (p < end && *p < 0x80) ++p;
    return p;
}

}  // namespace

std::size_t SjisToEucSameLength(char* text, std::size_t size) {
    const std::uint16_t* const map = CodeMap().sjis_to_euc;
    auto* const begin = reinterpret_cast<std::uint8_t*>(text);
    const auto* const end = begin + size;
    std::uint8_t* p = begin;
    while ((p = const_cast<std::uint8_t*>(SkipAscii(p, end))) < end) {
        const std::uint8_t b = *p;
        if (IsSjisLead(b)) {
            if (p + 1 == end) break;  // cut: left to the caller
            const std::uint16_t v = map[b << 8 | p[1]];
            if (v & 0x8000) {
                p[0] = static_cast<std::uint8_t>(v >> 8);
                p[1] = static_cast<std::uint8_t>(v);
                p += 2;
            } else if (v == 0) {
                ++p;  // a lead byte without its trail stays as it is
            } else {
                break;  // the 0x8F plane: three bytes
            }
        } else if (IsSjisKatakana(b)) {
            break;  // 8E xx: two bytes
        } else {
            ++p;
        }
    }
    return static_cast<std::size_t>(p - begin);
}

std::size_t AsciiLength(std::string_view text) {
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(text.data());
    return static_cast<std::size_t>(SkipAscii(begin, begin + text.size()) - begin);
}

}  // namespace tarselctl::jcode
