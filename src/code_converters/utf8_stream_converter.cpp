// UTF-8 <-> Shift_JIS, EUC-JP and JIS, table driven.
//
// Every character goes through one lookup in a table built once: a two-byte code (or a
// Unicode character of the BMP) indexes a 32-bit entry holding the bytes to write, their
// number and whether they are a substitution. The loops store all four bytes of an entry
// and move on by its length, so a character costs no branch on its kind. Runs of two-byte
// codes, and of kana and kanji in UTF-8, go through tight loops that take only plain entries
// (a character, no substitution) and leave everything else to the checks. The Japanese
// side of the tables comes from the CP932 table and, for EUC and JIS, from the Shift_JIS
// <-> EUC/JIS map of jis_code_map.h, so that the codes map exactly as the Codawa
// converters map them.
#include "code_converters/utf8_stream_converter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "code_page/cp932_encoder.h"
#include "code_page/cp932_table.h"
#include "code_converters/byte_classes.h"
#include "code_converters/jis_code_map.h"
#include "code_converters/jis_escapes.h"
#include "code_converters/output_buffer.h"

namespace tarselctl {

namespace {

using jcode::CopyAsciiStretch;
using jcode::IsEucByte;
using jcode::IsJisByte;
using jcode::IsSjisKatakana;
using jcode::IsSjisLead;
using jcode::kCells;
using jcode::kSegment;

// A table entry: the bytes to write in bits 0-23 (first byte lowest), their number (1-3)
// in bits 24-25, and bit 31 set when they stand for a character that could not be written.
// 0 marks "no entry": the slow path decides.
constexpr std::uint32_t kSubstituted = 0x8000'0000u;
constexpr std::uint32_t kQuestion = '?' | 1u << 24 | kSubstituted;

constexpr std::uint32_t Entry(std::uint32_t b0) { return b0 | 1u << 24; }
constexpr std::uint32_t Entry(std::uint32_t b0, std::uint32_t b1) { return b0 | b1 << 8 | 2u << 24; }
constexpr std::uint32_t Entry(std::uint32_t b0, std::uint32_t b1, std::uint32_t b2) {
    return b0 | b1 << 8 | b2 << 16 | 3u << 24;
}
constexpr unsigned Length(std::uint32_t e) { return (e >> 24) & 3; }
constexpr std::uint8_t Byte(std::uint32_t e, int i) { return static_cast<std::uint8_t>(e >> (8 * i)); }

// The UTF-8 form of a BMP character.
constexpr std::uint32_t Utf8Entry(char32_t c) {
    if (c < 0x80) return Entry(c);
    if (c < 0x800) return Entry(0xC0 | c >> 6, 0x80 | (c & 0x3F));
    return Entry(0xE0 | c >> 12, 0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
}

// A pair of bytes as the pair tables index it, first byte high: the codes of one row (one
// first byte) then lie side by side, a few cache lines for all the kana of a row, where
// indexing by the native 16-bit load on a little-endian machine would spread them 1 KiB apart.
inline unsigned PairAt(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap16(v);
    return v;
}
constexpr unsigned PairIndex(unsigned first, unsigned second) { return first << 8 | second; }

// An entry the fast loops take as it is: a character, written without substitution. One
// signed test rejects both "no entry" (0) and a substitution (bit 31), which go to the
// checking code; what passes moves the output on by e >> 24, its length.
inline bool IsPlain(std::uint32_t e) { return static_cast<std::int32_t>(e) > 0; }

// Stores a plain entry's bytes and returns the cursor after them.
inline char* PutPlain(char* o, std::uint32_t e) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(o, &e, sizeof e);
    } else {
        o[0] = static_cast<char>(Byte(e, 0));
        o[1] = static_cast<char>(Byte(e, 1));
        o[2] = static_cast<char>(Byte(e, 2));
    }
    return o + (e >> 24);
}

// Writes any entry, a substitution included, which it counts.
inline char* Put(char* o, std::uint32_t e, std::uint64_t& substitutions) {
    substitutions += e >> 31;
    return PutPlain(o, e & ~kSubstituted);
}

struct Tables {
    /// Shift_JIS lead << 8 | trail -> UTF-8. A well-formed code without a character is '?'
    /// when its trail is >= 0x80; with an ASCII trail it is 0, so that the trail is read again
    /// by itself (as the reply-line decoder does) and a cut code never hides punctuation.
    std::uint32_t sjis_pair[0x10000];
    /// One Shift_JIS byte that is a character by itself: ASCII and half-width katakana; '?'
    /// for every other byte (lead bytes reach this table only when they start nothing).
    std::uint32_t sjis_single[0x100];
    /// Two-byte EUC code (both bytes A1-FE) -> UTF-8; 0 for every other pair.
    std::uint32_t euc_pair[0x10000];
    /// 0x8F plane of EUC (ESC $ ( D in JIS), index (row - 1) * 94 + (cell - 1) -> UTF-8.
    std::uint32_t plane2[kCells * kCells];
    /// BMP character -> its Shift_JIS bytes, or '?'.
    std::uint32_t to_sjis[0x10000];
    /// BMP character -> its EUC-JP bytes, or '?'.
    std::uint32_t to_euc[0x10000];
    /// BMP character -> its JIS X 0208 code in seven bits, as written after ESC $ B (first
    /// byte at the lower address); 0 for every character written in another mode or not at all.
    std::uint16_t to_jis_kanji[0x10000];
};

std::unique_ptr<Tables> BuildTables() {
    auto t = std::make_unique<Tables>();
    const jcode::JisCodeMap& map = jcode::CodeMap();
    auto unicode_of = [](unsigned sjis) -> char16_t {
        const int li = cp932::LeadIndex(static_cast<std::uint8_t>(sjis >> 8));
        const int ti = cp932::TrailIndex(static_cast<std::uint8_t>(sjis));
        return li < 0 || ti < 0 ? 0 : cp932::kDoubleByte[li][ti];
    };
    auto utf8_of_sjis = [&](unsigned sjis) {
        const char16_t u = sjis == 0 ? 0 : unicode_of(sjis);
        return u == 0 ? kQuestion : Utf8Entry(u);
    };

    std::fill(std::begin(t->sjis_pair), std::end(t->sjis_pair), 0u);
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsSjisLead(static_cast<std::uint8_t>(lead))) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const char16_t u = unicode_of(lead << 8 | trail);
            t->sjis_pair[PairIndex(lead, trail)] = u != 0 ? Utf8Entry(u) : trail >= 0x80 ? kQuestion : 0;
        }
    }
    for (unsigned b = 0; b < 0x100; ++b) {
        t->sjis_single[b] = b < 0x80                                        ? Entry(b)
                            : IsSjisKatakana(static_cast<std::uint8_t>(b)) ? Utf8Entry(0xFF61 + (b - 0xA1))
                                                                            : kQuestion;
    }
    std::fill(std::begin(t->euc_pair), std::end(t->euc_pair), 0u);
    for (unsigned row = 0xA1; row <= 0xFE; ++row) {
        for (unsigned cell = 0xA1; cell <= 0xFE; ++cell) {
            t->euc_pair[PairIndex(row, cell)] = utf8_of_sjis(map.pair_to_sjis[row << 8 | cell]);
        }
    }
    for (std::size_t i = 0; i < kCells * kCells; ++i) t->plane2[i] = utf8_of_sjis(map.plane2_to_sjis[i]);

    const cp932::EncoderTable& encoder = cp932::Encoder();
    std::fill(std::begin(t->to_jis_kanji), std::end(t->to_jis_kanji), std::uint16_t{0});
    for (unsigned c = 0; c < 0x10000; ++c) {
        const std::uint16_t code = c == 0 ? 0 : encoder[c];
        if (c == 0 || (code != 0 && code < 0x80)) {
            t->to_sjis[c] = t->to_euc[c] = Entry(code);
        } else if (code == 0) {
            t->to_sjis[c] = t->to_euc[c] = kQuestion;
        } else if (code < 0x100) {  // half-width katakana
            t->to_sjis[c] = Entry(code);
            t->to_euc[c] = Entry(0x8E, code);
        } else {
            t->to_sjis[c] = Entry(code >> 8, code & 0xFF);
            const std::uint16_t euc = map.sjis_to_euc[code];
            t->to_euc[c] = euc == 0         ? kQuestion
                           : (euc & 0x8000) ? Entry(euc >> 8, euc & 0xFF)
                                            : Entry(0x8F, (euc >> 8) | 0x80, (euc & 0xFF) | 0x80);
            if (euc & 0x8000) {
                const std::uint8_t jis[2] = {static_cast<std::uint8_t>((euc >> 8) & 0x7F),
                                             static_cast<std::uint8_t>(euc & 0x7F)};
                std::memcpy(&t->to_jis_kanji[c], jis, sizeof jis);  // as it is stored
            }
        }
    }
    // Surrogates have no character: the fast loops, which take any three-byte form they can
    // decode, leave them (and every form they reject, see ThreeByteIndex) to the checks.
    for (unsigned c = 0xD800; c <= 0xDFFF; ++c) {
        t->to_sjis[c] = t->to_euc[c] = kQuestion;
        t->to_jis_kanji[c] = 0;
    }
    return t;
}

const Tables& GetTables() {
    static const std::unique_ptr<Tables> tables = BuildTables();
    return *tables;
}

// ---- Reading UTF-8 ----

constexpr char32_t kIllFormed = 0xFFFF'FFFF;

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

// A well-formed three-byte character at p, or 0: the form every kana and kanji takes,
// checked on one 32-bit load (4 bytes readable at p) rather than byte by byte.
inline char32_t ThreeByteCharacter(const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    if ((w & 0xC0C0F0) != 0x8080E0) return 0;
    const char32_t c = (w & 0x0F) << 12 | (w & 0x3F00) >> 2 | (w & 0x3F0000) >> 16;
    return c >= 0x800 && c >> 11 != 0x1B ? c : 0;  // no overlong forms, no surrogates
}

// What the fast loops look up for the bytes at p (4 readable): the code point of a
// three-byte form (lead E0-EF, two continuation bytes, no overlong form), else U+D800. Every
// table holds no character for the surrogates, so those bytes, and surrogates written in
// three bytes, leave the loop for the checks of ReadUtf8 without a branch of their own.
inline char32_t ThreeByteIndex(const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    const char32_t c = (w & 0x0F) << 12 | (w & 0x3F00) >> 2 | (w & 0x3F0000) >> 16;
    const bool three_bytes = ((w & 0xC0C0F0) == 0x8080E0) & (c >= 0x800);
    return three_bytes ? c : 0xD800;
}

#if defined(__SSE2__)
// Whether the 15 bytes at p (16 readable) are five well-formed three-byte characters: leads
// E0-EF at 0, 3, 6, 9 and 12, continuation bytes between, and after a lead E0 no byte below
// A0 (overlong), after ED none above 9F (surrogates). Checks the five at once, so a run of
// kana and kanji passes 15 bytes per step.
inline bool FiveThreeByteCharacters(const std::uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto c = [](int b) { return static_cast<char>(b); };
    const __m128i form_mask = _mm_setr_epi8(c(0xF0), c(0xC0), c(0xC0), c(0xF0), c(0xC0), c(0xC0), c(0xF0), c(0xC0),
                                            c(0xC0), c(0xF0), c(0xC0), c(0xC0), c(0xF0), c(0xC0), c(0xC0), 0);
    const __m128i form = _mm_setr_epi8(c(0xE0), c(0x80), c(0x80), c(0xE0), c(0x80), c(0x80), c(0xE0), c(0x80),
                                       c(0x80), c(0xE0), c(0x80), c(0x80), c(0xE0), c(0x80), c(0x80), 0);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, form_mask), form)) != 0xFFFF) return false;
    // Byte i beside the one before it; only a second byte can follow a lead.
    const __m128i before = _mm_slli_si128(v, 1);
    const __m128i bit5 = _mm_set1_epi8(0x20);
    const __m128i high_half = _mm_cmpeq_epi8(_mm_and_si128(v, bit5), bit5);  // A0-BF
    const __m128i overlong = _mm_andnot_si128(high_half, _mm_cmpeq_epi8(before, _mm_set1_epi8(c(0xE0))));
    const __m128i surrogate = _mm_and_si128(high_half, _mm_cmpeq_epi8(before, _mm_set1_epi8(c(0xED))));
    return _mm_movemask_epi8(_mm_or_si128(overlong, surrogate)) == 0;
}
#endif

// The code point of a three-byte character already checked: the marker bits of its bytes
// (E0, 80 and 80) add up to a constant, taken off once instead of masking each byte.
inline char32_t CheckedThreeByteCode(const std::uint8_t* p) {
    return (static_cast<char32_t>(p[0]) << 12) + (static_cast<char32_t>(p[1]) << 6) + p[2] - 0xE2080;
}

// Output room for a segment of input, for a conversion that writes at most `growth` bytes
// per input byte: an ASCII copy may run up to 32 bytes past the segment, and Put stores 4.
constexpr std::size_t Room(std::size_t segment, std::size_t growth) { return growth * (segment + 32) + 8; }

// Room to start with: `in` bytes of ordinary text, and the worst case of the first segment
// (not of a whole segment, so that a short line costs no more than it needs).
constexpr std::size_t FirstRoom(std::size_t in, std::size_t expected, std::size_t growth) {
    return expected + Room(std::min(in, kSegment), growth);
}

// Copies an ASCII stretch at p (p[0] < 0x80) and returns how many bytes it took.
inline std::size_t CopyAscii(const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t* segment_end,
                             char* o) {
    if (end - p >= 16) return CopyAsciiStretch(p, std::min(end, segment_end + 16), o);
    *o = static_cast<char>(*p);
    return 1;
}

// UTF-8 -> Shift_JIS or EUC-JP through a to_sjis / to_euc table.
std::size_t Utf8ToTable(std::string_view in, std::string& out, std::uint64_t& substitutions, const std::uint32_t* table,
                        std::size_t growth) {
    // Counted here rather than through `substitutions`, which the stores to the output
    // could alias, so that the count stays in a register.
    std::uint64_t subs = 0;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    // No character grows (kana and most kanji shrink from three bytes to two), so in.size() is
    // enough. Reserving it costs address space only: the output is filled and paged in a
    // segment at a time, so what Japanese text leaves unused is never touched.
    jcode::OutputBuffer buffer(out, FirstRoom(in.size(), in.size(), growth));
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        o = buffer.Reserve(o, Room(segment, growth));
        // The fast loops read 4 and 16 bytes at a time.
        const std::uint8_t* const run_limit = end - p > 3 ? std::min(segment_end, end - 3) : p;
        const std::uint8_t* const block_limit = end - p > 15 ? std::min(segment_end, end - 15) : p;
        while (p < segment_end) {
            if (*p < 0x80) {
                const std::size_t n = CopyAscii(p, end, segment_end, o);
                p += n;
                o += n;
                continue;
            }
            // Runs of kana and kanji: five characters per step while they are well formed
            // and have plain entries, then one lookup per character both checks and converts it.
            const std::uint8_t* const before = p;
#if defined(__SSE2__)
            while (p < block_limit && FiveThreeByteCharacters(p)) {
                const std::uint32_t e0 = table[CheckedThreeByteCode(p)];
                const std::uint32_t e1 = table[CheckedThreeByteCode(p + 3)];
                const std::uint32_t e2 = table[CheckedThreeByteCode(p + 6)];
                const std::uint32_t e3 = table[CheckedThreeByteCode(p + 9)];
                const std::uint32_t e4 = table[CheckedThreeByteCode(p + 12)];
                // e - 1 has its top bit set for no entry (0) and for a substitution alike.
                if (((e0 - 1) | (e1 - 1) | (e2 - 1) | (e3 - 1) | (e4 - 1)) >> 31) break;
                o = PutPlain(o, e0);
                o = PutPlain(o, e1);
                o = PutPlain(o, e2);
                o = PutPlain(o, e3);
                o = PutPlain(o, e4);
                p += 15;
            }
#endif
            while (p < run_limit) {
                const std::uint32_t e = table[ThreeByteIndex(p)];
                if (!IsPlain(e)) break;
                o = PutPlain(o, e);
                p += 3;
            }
            if (p != before) continue;
            char32_t c;
            const std::size_t n = ReadUtf8(p, end, c);
            if (n == 0) {
                cut = true;
                break;
            }
            o = Put(o, c <= 0xFFFF ? table[c] : kQuestion, subs);
            p += n;
        }
    }
    buffer.Finish(o);
    substitutions += subs;
    return static_cast<std::size_t>(p - begin);
}

// Half-width katakana, U+FF61-FF9F: JIS writes them as 21-5F after ESC ( I.
constexpr char32_t kFirstHalfWidthKatakana = 0xFF61;
inline bool IsHalfWidthKatakana(char32_t c) { return c - kFirstHalfWidthKatakana <= 0xFF9F - kFirstHalfWidthKatakana; }

// Writes an EUC entry (a to_euc value) as JIS, switching modes as needed.
inline char* PutJis(char* o, jcode::OutputMode& mode, std::uint32_t e, std::uint64_t& subs) {
    using jcode::OutputMode;
    const unsigned length = Length(e);
    if (length == 2 && Byte(e, 0) != 0x8E) {  // kanji and kana, the most of Japanese text
        o = jcode::EnterMode(o, mode, OutputMode::kKanji);
        o[0] = static_cast<char>(Byte(e, 0) & 0x7F);
        o[1] = static_cast<char>(Byte(e, 1) & 0x7F);
        return o + 2;
    }
    if (length == 1) {
        o = jcode::EnterMode(o, mode, OutputMode::kOneByte);
        *o++ = static_cast<char>(Byte(e, 0));
        subs += e >> 31;
    } else if (length == 2 && Byte(e, 0) == 0x8E) {
        o = jcode::EnterMode(o, mode, OutputMode::kKatakana);
        *o++ = static_cast<char>(Byte(e, 1) & 0x7F);
    } else {
        o = jcode::EnterMode(o, mode, OutputMode::kPlane2);
        o[0] = static_cast<char>(Byte(e, 1) & 0x7F);
        o[1] = static_cast<char>(Byte(e, 2) & 0x7F);
        o += 2;
    }
    return o;
}

// `mode` is the output's mode at the start of `in` and, on return, at its end: the text of a
// stream switches modes where its characters need it, never because a block ended.
std::size_t Utf8ToJis(std::string_view in, std::string& out, std::uint64_t& substitutions, jcode::OutputMode& mode) {
    // Counted locally, as in Utf8ToTable.
    std::uint64_t subs = 0;
    using jcode::OutputMode;
    const std::uint32_t* const table = GetTables().to_euc;
    const std::uint16_t* const kanji = GetTables().to_jis_kanji;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    // Worst case: every byte a one-byte character after an escape (3 + 1).
    constexpr std::size_t kGrowth = 4;
    jcode::OutputBuffer buffer(out, FirstRoom(in.size(), in.size(), kGrowth));
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        o = buffer.Reserve(o, Room(segment, kGrowth));
        const std::uint8_t* const run_limit = end - p > 3 ? std::min(segment_end, end - 3) : p;
        while (p < segment_end) {
            if (*p < 0x80) {
                o = jcode::EnterMode(o, mode, OutputMode::kOneByte);
                const std::size_t n = CopyAscii(p, end, segment_end, o);
                p += n;
                o += n;
                continue;
            }
            // Runs of JIS X 0208 characters and of half-width katakana: the escape once, then
            // two bytes or one per character.
            if (p < run_limit) {
                char32_t c = ThreeByteIndex(p);
                std::uint16_t code = kanji[c];
                if (code != 0) {
                    o = jcode::EnterMode(o, mode, OutputMode::kKanji);
                    do {
                        std::memcpy(o, &code, sizeof code);
                        o += 2;
                        p += 3;
                    } while (p < run_limit && (code = kanji[ThreeByteIndex(p)]) != 0);
                    continue;
                }
                if (IsHalfWidthKatakana(c)) {
                    o = jcode::EnterMode(o, mode, OutputMode::kKatakana);
                    do {
                        *o++ = static_cast<char>(c - kFirstHalfWidthKatakana + 0x21);
                        p += 3;
                    } while (p < run_limit && IsHalfWidthKatakana(c = ThreeByteIndex(p)));
                    continue;
                }
            }
            char32_t c;
            const std::size_t n = ReadUtf8(p, end, c);
            if (n == 0) {
                cut = true;
                break;
            }
            o = PutJis(o, mode, c <= 0xFFFF ? table[c] : kQuestion, subs);
            p += n;
        }
    }
    if (o == nullptr) o = buffer.Reserve(o, 4);
    buffer.Finish(o);
    substitutions += subs;
    return static_cast<std::size_t>(p - begin);
}

std::size_t Utf8ToUtf8(std::string_view in, std::string& out, std::uint64_t& substitutions) {
    // Counted locally, as in Utf8ToTable.
    std::uint64_t subs = 0;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    jcode::OutputBuffer buffer(out, FirstRoom(in.size(), in.size(), 1));
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        o = buffer.Reserve(o, Room(segment, 1));
        const std::uint8_t* const run_limit = end - p > 3 ? std::min(segment_end, end - 3) : p;
        const std::uint8_t* const block_limit = end - p > 15 ? std::min(segment_end, end - 15) : p;
        while (p < segment_end) {
            if (*p < 0x80) {
                const std::size_t n = CopyAscii(p, end, segment_end, o);
                p += n;
                o += n;
                continue;
            }
            // Runs of kana and kanji: checked five at a time, then the last few one by one;
            // 16 and 4 bytes are copied, of which what is not the run's is overwritten after.
            const std::uint8_t* const before = p;
#if defined(__SSE2__)
            while (p < block_limit && FiveThreeByteCharacters(p)) {
                std::memcpy(o, p, 16);
                o += 15;
                p += 15;
            }
#endif
            while (p < run_limit && ThreeByteCharacter(p) != 0) {
                std::memcpy(o, p, 4);
                o += 3;
                p += 3;
            }
            if (p != before) continue;
            char32_t c;
            const std::size_t n = ReadUtf8(p, end, c);
            if (n == 0) {
                cut = true;
                break;
            }
            if (c == kIllFormed) {
                *o++ = '?';
                ++subs;
            } else {
                std::memcpy(o, p, n);
                o += n;
            }
            p += n;
        }
    }
    buffer.Finish(o);
    substitutions += subs;
    return static_cast<std::size_t>(p - begin);
}

// ---- Writing UTF-8 ----

// Half-width katakana and ASCII grow to at most three bytes, the most any byte becomes.
constexpr std::size_t kToUtf8Growth = 3;
// What Japanese text mostly grows by: two-byte codes become three bytes.
std::size_t ExpectedUtf8Size(std::size_t in) { return FirstRoom(in, in + in / 2, kToUtf8Growth); }

// Converts the run of two-byte characters at p whose entries in `pairs` (at PairAt ^ flip)
// are plain, starting pairs below `limit` (which leaves each pair its second byte in the
// input); returns where the run stops. Two pairs per step, so that their lookups overlap
// and the loop costs half as much per pair; `limit2` (at most end - 3) bounds those steps.
inline const std::uint8_t* PairRun(const std::uint32_t* pairs, unsigned flip, const std::uint8_t* p,
                                   const std::uint8_t* limit, const std::uint8_t* limit2, char*& o) {
    const std::uint32_t flip2 = flip << 16 | flip;
    while (p < limit2) {
        // Both pairs from one load, first byte highest.
        std::uint32_t w;
        std::memcpy(&w, p, sizeof w);
        if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
        w ^= flip2;
        const std::uint32_t e0 = pairs[w >> 16];
        const std::uint32_t e1 = pairs[w & 0xFFFF];
        if (!IsPlain(e0)) return p;
        o = PutPlain(o, e0);
        if (!IsPlain(e1)) return p + 2;
        o = PutPlain(o, e1);
        p += 4;
    }
    if (p < limit) {
        const std::uint32_t e = pairs[PairAt(p) ^ flip];
        if (IsPlain(e)) {
            o = PutPlain(o, e);
            p += 2;
        }
    }
    return p;
}

// Where the two-pair steps of PairRun stop for a segment ending at `segment_end`.
inline const std::uint8_t* TwoPairLimit(const std::uint8_t* begin, const std::uint8_t* end,
                                        const std::uint8_t* segment_end) {
    return end - begin >= 3 ? std::min(segment_end, end - 3) : begin;
}

// Shift_JIS or EUC-JP -> UTF-8: output reserved a segment at a time, runs of pairs through
// `pairs`, ASCII stretches; every other byte goes to `other`, which converts what starts
// there and returns where it ends, or nullptr for a character cut by the end of the input.
template <class Other>
std::size_t PairCodeToUtf8(std::string_view in, std::string& out, std::uint64_t& substitutions,
                           const std::uint32_t* pairs, Other other) {
    // Counted locally, as in Utf8ToTable.
    std::uint64_t subs = 0;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    jcode::OutputBuffer buffer(out, ExpectedUtf8Size(in.size()));
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        const auto* const pair_limit = std::min(segment_end, end - 1);  // a pair needs 2 bytes
        const auto* const pair_limit2 = TwoPairLimit(begin, end, segment_end);
        o = buffer.Reserve(o, Room(segment, kToUtf8Growth));
        while (p < segment_end) {
            // Runs of two-byte characters: one lookup both checks and converts a pair.
            p = PairRun(pairs, 0, p, pair_limit, pair_limit2, o);
            if (p >= segment_end) break;
            if (*p < 0x80) {
                const std::size_t n = CopyAscii(p, end, segment_end, o);
                p += n;
                o += n;
                continue;
            }
            const std::uint8_t* const next = other(p, end, segment_end, pair_limit, o, subs);
            if (next == nullptr) {
                cut = true;
                break;
            }
            p = next;
        }
    }
    buffer.Finish(o);
    substitutions += subs;
    return static_cast<std::size_t>(p - begin);
}

std::size_t SjisToUtf8(std::string_view in, std::string& out, std::uint64_t& substitutions) {
    const Tables& t = GetTables();
    const auto other = [&t](const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t* segment_end,
                            const std::uint8_t*, char*& o, std::uint64_t& subs) -> const std::uint8_t* {
        const std::uint8_t b = *p;
        if (IsSjisKatakana(b)) {
            do {
                o = PutPlain(o, t.sjis_single[*p]);
                ++p;
            } while (p < segment_end && IsSjisKatakana(*p));
            return p;
        }
        if (p + 1 == end) {
            if (IsSjisLead(b)) return nullptr;
            o = Put(o, kQuestion, subs);
            return p + 1;
        }
        // A well-formed code without a character takes both bytes; a lead byte without a
        // trail it could take, or a byte that starts nothing, only itself.
        const std::uint32_t e = t.sjis_pair[PairAt(p)];
        o = Put(o, e != 0 ? e : kQuestion, subs);
        return p + (e != 0 ? 2 : 1);
    };
    return PairCodeToUtf8(in, out, substitutions, t.sjis_pair, other);
}

std::size_t EucToUtf8(std::string_view in, std::string& out, std::uint64_t& substitutions) {
    const Tables& t = GetTables();
    const auto other = [&t](const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t*,
                            const std::uint8_t* pair_limit, char*& o, std::uint64_t& subs) -> const std::uint8_t* {
        const std::uint8_t b = *p;
        if (b == 0x8E && p < pair_limit && IsSjisKatakana(p[1])) {  // runs of half-width katakana
            do {
                o = PutPlain(o, t.sjis_single[p[1]]);
                p += 2;
            } while (p < pair_limit && p[0] == 0x8E && IsSjisKatakana(p[1]));
            return p;
        }
        // Cut characters are kept where the Codawa EUC reader keeps them.
        if (IsEucByte(b) || b == 0x8E) {
            if (p + 1 == end) return nullptr;
            const std::uint32_t e = IsEucByte(b) ? t.euc_pair[PairAt(p)] : 0;
            if (e != 0) {  // a code without a character
                o = Put(o, e, subs);
                return p + 2;
            }
        } else if (b == 0x8F) {
            if (p + 1 == end || (IsEucByte(p[1]) && p + 2 == end)) return nullptr;
            if (IsEucByte(p[1]) && IsEucByte(p[2])) {
                o = Put(o, t.plane2[(p[1] - 0xA1) * kCells + (p[2] - 0xA1)], subs);
                return p + 3;
            }
        }
        o = Put(o, kQuestion, subs);  // a byte that starts no character here
        return p + 1;
    };
    return PairCodeToUtf8(in, out, substitutions, t.euc_pair, other);
}

// The three-byte JIS escapes that switch modes, by their second byte ('$' or '(') and third
// byte: the mode they switch to plus one; 0 for every other sequence, which ReadEscape reads.
constexpr auto kSimpleEscapes = [] {
    using Mode = jcode::JisDecoder::Mode;
    std::array<std::array<std::uint8_t, 128>, 2> to{};
    auto code = [](Mode m) { return static_cast<std::uint8_t>(static_cast<unsigned>(m) + 1); };
    to[1]['B'] = to[1]['@'] = code(Mode::kKanji);
    to[0]['B'] = code(Mode::kAscii);
    to[0]['J'] = to[0]['H'] = code(Mode::kRoman);
    to[0]['I'] = code(Mode::kKatakana);
    return to;
}();

// JIS -> UTF-8: reads what the Codawa JIS decoder reads, in the same shift state, but
// writes '?' for the bytes that form no character (which that decoder passes on).
std::size_t JisToUtf8(std::string_view in, std::string& out, std::uint64_t& substitutions, jcode::JisDecoder::Mode& mode,
                      bool& shifted_out) {
    // Counted locally, as in Utf8ToTable.
    std::uint64_t subs = 0;
    using Mode = jcode::JisDecoder::Mode;
    const Tables& t = GetTables();
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    jcode::OutputBuffer buffer(out, ExpectedUtf8Size(in.size()));
    char* o = nullptr;
    bool cut = false;
    while (p < end && !cut) {
        const std::size_t segment = std::min<std::size_t>(kSegment, static_cast<std::size_t>(end - p));
        const auto* const segment_end = p + segment;
        const auto* const pair_limit = std::min(segment_end, end - 1);
        const auto* const pair_limit2 = TwoPairLimit(begin, end, segment_end);
        o = buffer.Reserve(o, Room(segment, kToUtf8Growth));
        while (p < segment_end) {
            // The run the current mode reads in a tight loop; the byte that ends it (mostly
            // an escape) goes through the checks below.
            if (mode == Mode::kKanji && !shifted_out) {
                // A JIS pair is an EUC pair without its high bits: flipping them makes it the
                // EUC one, and any byte with its high bit set a seven-bit byte, which no EUC
                // pair holds. Nor do the bytes JIS cannot pair (controls, space, DEL).
                p = PairRun(t.euc_pair, 0x8080, p, pair_limit, pair_limit2, o);
                if (p >= segment_end) break;
            } else if (mode == Mode::kKatakana || shifted_out) {
                while (p < segment_end && *p >= 0x21 && *p <= 0x5F) {
                    o = PutPlain(o, t.sjis_single[*p + 0x80]);
                    ++p;
                }
                if (p >= segment_end) break;
            } else if (mode != Mode::kPlane2 && end - p >= 16) {
                const std::size_t n = jcode::CopyPlainPrefix16(p, o);
                p += n;
                o += n;
                if (n == 16) {
                    const std::size_t more = jcode::CopyPlainRun(p, std::min(end, segment_end + 16), o);
                    p += more;
                    o += more;
                }
                if (p >= segment_end) break;
            }
            const std::uint8_t b = *p;
            if (b == jcode::kEsc) {
                // The three-byte escapes that text switches with, read without a branch per
                // byte: a mispredicted one costs more than the whole escape.
                if (end - p >= 3) {
                    const std::uint8_t to = kSimpleEscapes[p[1] == '$'][p[2] & 0x7F] & -(p[1] == '$' || p[1] == '(') &
                                            -(p[2] < 0x80);
                    if (to != 0) {
                        mode = static_cast<Mode>(to - 1);
                        p += 3;
                        continue;
                    }
                }
                std::size_t length = 0;
                const jcode::Escape e = jcode::ReadEscape(p, end, length, mode);
                if (e == jcode::Escape::kIncomplete) {
                    cut = true;
                    break;
                }
                if (e == jcode::Escape::kKnown) {
                    p += length;
                } else {
                    *o++ = static_cast<char>(b);  // an unknown escape is copied as it is
                    ++p;
                }
            } else if (b == jcode::kShiftOut || b == jcode::kShiftIn) {
                shifted_out = b == jcode::kShiftOut;
                ++p;
            } else if (b >= 0x80) {
                o = Put(o, t.sjis_single[b], subs);  // 8-bit katakana A1-DF, or '?'
                ++p;
            } else if (shifted_out && b >= 0x21 && b <= 0x5F) {
                o = Put(o, t.sjis_single[b + 0x80], subs);
                ++p;
            } else if (mode == Mode::kKanji || mode == Mode::kPlane2) {
                if (!IsJisByte(b)) {
                    *o++ = static_cast<char>(b);  // CR, LF, space and the like pass
                    ++p;
                    continue;
                }
                if (p + 1 == end) {
                    cut = true;
                    break;
                }
                const std::uint8_t trail = p[1];
                if (!IsJisByte(trail)) {
                    o = Put(o, kQuestion, subs);  // half a character
                    ++p;
                    continue;
                }
                o = Put(o,
                        mode == Mode::kKanji ? t.euc_pair[PairIndex(b | 0x80, trail | 0x80)]
                                             : t.plane2[(b - 0x21) * kCells + (trail - 0x21)],
                        subs);
                p += 2;
            } else if (mode == Mode::kKatakana) {
                if (b >= 0x21 && b <= 0x5F) {
                    o = Put(o, t.sjis_single[b + 0x80], subs);
                } else {
                    *o++ = static_cast<char>(b);
                }
                ++p;
            } else {
                if (!shifted_out && end - p >= 16) {
                    const std::size_t n = jcode::CopyPlainPrefix16(p, o);
                    if (n != 0) {
                        p += n;
                        o += n;
                        if (n == 16) {
                            const std::size_t more = jcode::CopyPlainRun(p, std::min(end, segment_end + 16), o);
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
    }
    buffer.Finish(o);
    substitutions += subs;
    return static_cast<std::size_t>(p - begin);
}

// Bytes a block needs from the next one to complete a kept character or escape sequence:
// at most 3 are ever kept, and none needs more than 4 bytes in all.
constexpr std::size_t kHead = 8;

}  // namespace

Utf8StreamConverter::Utf8StreamConverter(TextCode from, TextCode to) : from_(from), to_(to) {
    if (from != TextCode::Utf8 && to != TextCode::Utf8) {
        throw std::invalid_argument("Utf8StreamConverter: neither code is UTF-8");
    }
    GetTables();  // built here rather than in the middle of a transfer
}

std::size_t Utf8StreamConverter::Run(std::string_view in, std::string& out) {
    if (from_ == TextCode::Utf8) {
        switch (to_) {
            case TextCode::Sjis: return Utf8ToTable(in, out, substitutions_, GetTables().to_sjis, 1);
            case TextCode::Euc: return Utf8ToTable(in, out, substitutions_, GetTables().to_euc, 2);
            case TextCode::Jis: return Utf8ToJis(in, out, substitutions_, jis_out_mode_);
            case TextCode::Utf8: return Utf8ToUtf8(in, out, substitutions_);
        }
    }
    switch (from_) {
        case TextCode::Sjis: return SjisToUtf8(in, out, substitutions_);
        case TextCode::Euc: return EucToUtf8(in, out, substitutions_);
        case TextCode::Jis: return JisToUtf8(in, out, substitutions_, jis_mode_, jis_shifted_out_);
        case TextCode::Utf8: break;
    }
    return 0;
}

std::string Utf8StreamConverter::Convert(std::string_view block) {
    std::string out;
    if (kept_.empty()) {
        const std::size_t used = Run(block, out);
        kept_.assign(block.substr(used));
        return out;
    }
    if (to_ == TextCode::Jis) {
        // One pass over kept bytes and block together, so that the output switches modes
        // exactly as it would for the text in one piece.
        kept_.append(block);
        const std::size_t used = Run(kept_, out);
        kept_.erase(0, used);
        return out;
    }
    // Completes the kept character with the first bytes of the block, then converts the
    // rest of the block where it lies rather than copying it behind the kept bytes.
    const std::size_t kept = kept_.size();
    const std::size_t head = std::min(block.size(), kHead);
    kept_.append(block.substr(0, head));
    const std::size_t used = Run(kept_, out);
    if (used >= kept && head < block.size()) {
        // What is left of the head is the front of the block's rest.
        const std::string_view rest = block.substr(used - kept);
        kept_.clear();
        const std::size_t rest_used = Run(rest, out);
        kept_.assign(rest.substr(rest_used));
        return out;
    }
    kept_.erase(0, used);
    if (head < block.size()) {
        // Part of the kept bytes went out by themselves (an unknown escape): go on from there.
        kept_.append(block.substr(head));
        kept_.erase(0, Run(kept_, out));
    }
    return out;
}

std::string Utf8StreamConverter::Finish() {
    std::string out;
    if (!kept_.empty() || jis_out_mode_ != jcode::OutputMode::kOneByte) {
        // The end of the stream reads as a line feed, which continues no character and no
        // escape in any of the codes: the kept bytes are replaced and counted (or passed on)
        // exactly as the same bytes in front of a line feed in mid-stream, and JIS output
        // returns to one-byte mode for it. The line feed itself is no part of the stream.
        kept_.push_back('\n');
        Run(kept_, out);
        if (!out.empty() && out.back() == '\n') out.pop_back();
    }
    kept_.clear();
    jis_mode_ = jcode::JisDecoder::Mode::kAscii;
    jis_shifted_out_ = false;
    jis_out_mode_ = jcode::OutputMode::kOneByte;
    return out;
}

void Utf8StreamConverter::Reset() {
    kept_.clear();
    jis_mode_ = jcode::JisDecoder::Mode::kAscii;
    jis_shifted_out_ = false;
    jis_out_mode_ = jcode::OutputMode::kOneByte;
    substitutions_ = 0;
}

String DecodeUtf8(std::string& bytes) {
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto* const end = begin + bytes.size();
    const auto* p = begin;
    String out(bytes.size(), u'\0');  // never more UTF-16 units than bytes
    char16_t* o = out.data();
    while (p < end) {
        if (*p < 0x80) {
            *o++ = *p++;
            continue;
        }
        char32_t c;
        const std::size_t n = ReadUtf8(p, end, c);
        if (n == 0) break;
        if (c == kIllFormed) {
            *o++ = 0xFFFD;
        } else if (c > 0xFFFF) {
            *o++ = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            *o++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *o++ = static_cast<char16_t>(c);
        }
        p += n;
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    bytes.erase(0, static_cast<std::size_t>(p - begin));
    return out;
}

namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string EncodeUtf8(std::u16string_view text) {
    std::string out(text.size() * 3, '\0');
    char* o = out.data();
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (u < 0x80) {
            *o++ = static_cast<char>(u);
        } else if (u < 0x800) {
            *o++ = static_cast<char>(0xC0 | u >> 6);
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
        } else if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
            const char32_t c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[++i] - 0xDC00);
            *o++ = static_cast<char>(0xF0 | c >> 18);
            *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
            *o++ = '?';
        } else {
            *o++ = static_cast<char>(0xE0 | u >> 12);
            *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

bool IsUtf8Encodable(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace tarselctl
