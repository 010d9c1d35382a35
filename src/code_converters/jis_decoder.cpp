// JIS (ISO-2022-JP) -> Shift_JIS with the shift state kept between calls.
#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"
#include "code_converters/jis_code_map.h"
#include "code_converters/jis_escapes.h"

namespace tarselctl::jcode {

namespace {

void PutCode(char* o, std::uint16_t code) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code)};
    std::memcpy(o, bytes, 2);
}

// Converts the run of JIS X 0208 pairs at p and returns the bytes read, which equal the
// bytes written. Two pairs are looked up per step so that their table loads overlap, and
// once a run is under way, rows 1-84 go on eight per step. o may be p or behind it.
std::size_t DecodeKanjiRun(const std::uint16_t* pairs, const std::uint8_t* p, const std::uint8_t* end, char* o) {
    const std::uint8_t* const start = p;
    while (end - p >= 4) {
        const std::uint16_t a = pairs[p[0] << 8 | p[1]];
        const std::uint16_t b = pairs[p[2] << 8 | p[3]];
        // The table holds EUC pairs too; a seven-bit first byte keeps to the JIS ones.
        if (a == 0 || b == 0 || ((p[0] | p[2]) & 0x80)) break;
        PutCode(o, a);
        PutCode(o + 2, b);
        p += 4;
        o += 4;
        const std::size_t blocks = PlainRowBlocksToSjis(p, end, o, 0x20);
        p += blocks;
        o += blocks;
    }
    while (end - p >= 2) {
        const std::uint16_t v = pairs[p[0] << 8 | p[1]];
        if (v == 0 || p[0] >= 0x80) break;
        PutCode(o, v);
        p += 2;
        o += 2;
    }
    return static_cast<std::size_t>(p - start);
}

// Seven-bit half-width katakana, 21-5F, which become A1-DF.
bool IsSevenBitKatakana(std::uint8_t b) { return static_cast<std::uint8_t>(b - 0x21) <= 0x5F - 0x21; }

}  // namespace

std::size_t JisDecoder::Decode(const char* in, std::size_t size, char* out, std::size_t& written,
                              std::uint64_t& substitutions) {
    const JisCodeMap& map = CodeMap();
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in);
    const auto* const end = begin + size;
    const auto* p = begin;
    char* o = out;
    // Escapes vanish and every character writes no more bytes than it read, after reading
    // them, so `out` may be `in` itself.
    const std::uint16_t* const pairs = map.pair_to_sjis;
    while (p < end) {
        // The run the current mode reads in a tight loop; the bytes that end it (an escape,
        // SO/SI, a control byte, a stray one) go through the checks below.
        if (shifted_out_ || mode_ == Mode::kKatakana) {
            while (p < end && IsSevenBitKatakana(*p)) *o++ = static_cast<char>(*p++ + 0x80);
            if (p == end) break;
        } else if (mode_ == Mode::kKanji) {
            const std::size_t run = DecodeKanjiRun(pairs, p, end, o);
            p += run;
            o += run;
            if (p == end) break;
        } else if (mode_ != Mode::kPlane2 && end - p >= 16 && MayCopyBlocks(p, o)) {
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
        } else if (shifted_out_ && IsSevenBitKatakana(b)) {
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
                PutCode(o, v);
                o += 2;
            } else {
                *o++ = '?';  // a JIS X 0212 character Shift_JIS cannot write
                ++substitutions;
            }
            p += 2;
        } else if (mode_ == Mode::kKatakana) {
            *o++ = static_cast<char>(IsSevenBitKatakana(b) ? b + 0x80 : b);
            ++p;
        } else {
            *o++ = static_cast<char>(b);
            ++p;
        }
    }
    written = static_cast<std::size_t>(o - out);
    return static_cast<std::size_t>(p - begin);
}

}  // namespace tarselctl::jcode
