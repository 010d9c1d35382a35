// The EUC-JP-MS codes of the IBM extension kanji of Shift_JIS (0xFA40-0xFC4B).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarselctl::jcode {

/// One IBM extension character and its three-byte EUC form (0x8F, row, cell).
struct IbmExtensionEuc {
    std::uint16_t sjis;
    std::uint32_t euc;
};

/// Every IBM extension code except the 15 that EUC-JP-MS folds onto rows 2 and 13 (those
/// would collide with the JIS X 0208 and NEC characters they duplicate). Sorted by sjis.
inline constexpr std::size_t kIbmExtensionEucCount = 373;
extern const IbmExtensionEuc kIbmExtensionEuc[kIbmExtensionEucCount];

}  // namespace tarselctl::jcode
