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
#include "code_converters/utf8_code_tables.h"
#include "code_converters/utf8_reading.h"

namespace tarselctl {

namespace {

using jcode::CopyAsciiStretch;
using jcode::IsEucByte;
using jcode::IsJisByte;
using jcode::IsSjisKatakana;
using jcode::IsSjisLead;
using jcode::kCells;
using jcode::kSegment;

using namespace utf8_tables;

// ---- Reading UTF-8 (one character at a time: code_converters/utf8_reading.h) ----

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

}  // namespace tarselctl
