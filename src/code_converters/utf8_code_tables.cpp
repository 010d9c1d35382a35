// Building the UTF-8 stream converters' tables from the CP932 table and the Shift_JIS <->
// EUC/JIS map, so that the codes map exactly as the Codawa converters map them.
#include "code_converters/utf8_code_tables.h"

#include <memory>

#include "code_page/cp932_encoder.h"
#include "code_page/cp932_table.h"
#include "code_converters/byte_classes.h"

namespace tarselctl::utf8_tables {

namespace {

using jcode::IsEucByte;
using jcode::IsSjisKatakana;
using jcode::IsSjisLead;

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

}  // namespace

const Tables& GetTables() {
    static const std::unique_ptr<Tables> tables = BuildTables();
    return *tables;
}

}  // namespace tarselctl::utf8_tables
