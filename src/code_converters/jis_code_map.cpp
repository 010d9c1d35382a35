// Builds the Shift_JIS <-> EUC/JIS tables laid out in jis_code_map.h.
#include "code_converters/jis_code_map.h"

#include <memory>

#include "code_converters/ibm_extension_euc_table.h"

namespace tarselctl::jcode {

namespace {

// 0x8F-plane row of the Shift_JIS rows that have no place in EUC-JP-MS (0 = none needed).
constexpr int PlacedRow(int sjis_row) {
    switch (sjis_row) {
        case 85: return 1;
        case 86: return 3;
        case 87: return 4;
        case 88: return 5;
        case 89: return 78;
        case 90: return 79;
        case 91: return 80;
        case 92: return 81;
        case 93: return 8;
        case 94: return 12;
        case 115: return 13;
        case 119: return 14;
        case 120: return 15;
        default: return 0;
    }
}

constexpr std::uint16_t Plane1(int row, int cell) {
    return static_cast<std::uint16_t>((row + 0xA0) << 8 | (cell + 0xA0));
}
constexpr std::uint16_t Plane2(int row, int cell) {
    return static_cast<std::uint16_t>((row + 0x20) << 8 | (cell + 0x20));
}

std::unique_ptr<JisCodeMap> Build() {
    auto map = std::make_unique<JisCodeMap>();
    for (auto& v : map->sjis_to_euc) v = 0;
    for (auto& v : map->pair_to_sjis) v = 0;
    for (auto& v : map->plane2_to_sjis) v = 0;

    auto set = [&](unsigned sjis, std::uint16_t euc) {
        map->sjis_to_euc[sjis] = euc;
        if (euc & 0x8000) {
            map->pair_to_sjis[euc] = static_cast<std::uint16_t>(sjis);
            map->pair_to_sjis[euc & 0x7F7F] = static_cast<std::uint16_t>(sjis);
        } else {
            const std::size_t index = static_cast<std::size_t>((euc >> 8) - 0x21) * kCells +
                                      static_cast<std::size_t>((euc & 0xFF) - 0x21);
            map->plane2_to_sjis[index] = static_cast<std::uint16_t>(sjis);
        }
    };

    std::size_t ibm = 0;
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead > 0x9F && lead < 0xE0) continue;
        const int lead_index = lead <= 0x9F ? static_cast<int>(lead) - 0x81 : static_cast<int>(lead) - 0xC1;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const unsigned sjis = lead << 8 | trail;
            const int row = 2 * lead_index + 1 + (trail >= 0x9F ? 1 : 0);
            const int cell = trail >= 0x9F ? static_cast<int>(trail) - 0x9E
                             : trail < 0x7F ? static_cast<int>(trail) - 0x3F
                                            : static_cast<int>(trail) - 0x40;
            if (ibm < kIbmExtensionEucCount && kIbmExtensionEuc[ibm].sjis == sjis) {
                const std::uint32_t euc = kIbmExtensionEuc[ibm++].euc;
                set(sjis, static_cast<std::uint16_t>(euc & 0x7F7F));
            } else if (row <= 84) {
                set(sjis, Plane1(row, cell));
            } else if (row >= 95 && row <= 104) {
                set(sjis, Plane1(row - 10, cell));
            } else if (row >= 105 && row <= 114) {
                set(sjis, Plane2(row - 20, cell));
            } else if (int placed = PlacedRow(row); placed != 0) {
                set(sjis, Plane2(placed, cell));
            }
            // Rows 116-118 are IBM extension kanji throughout, all in the table above.
        }
    }
    return map;
}

}  // namespace

const JisCodeMap& CodeMap() {
    static const std::unique_ptr<JisCodeMap> map = Build();
    return *map;
}

}  // namespace tarselctl::jcode
