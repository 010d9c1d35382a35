// The CP932 encoder's inverse table: Unicode (BMP) -> Shift_JIS code.
#pragma once

#include <array>
#include <cstdint>

namespace tarselctl::cp932 {

/// Unicode -> CP932 code: one byte (< 0x100) or lead << 8 | trail; 0 = no Shift_JIS form.
/// U+0000 has no entry (0 means "none"): callers pass it on before they look it up.
using EncoderTable = std::array<std::uint16_t, 0x10000>;

/// The shared table, built on first use; safe to call from any thread.
const EncoderTable& Encoder();

}  // namespace tarselctl::cp932
