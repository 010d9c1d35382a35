// The Shift_JIS (CP932) code page: the host platform's multibyte code page.
#pragma once

#include <string>
#include <string_view>

#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// Shift_JIS bytes to wide text; bytes that form no character decode to U+FFFD.
TARSEL_API String DecodeShiftJis(std::string_view bytes);
/// Wide text to Shift_JIS bytes; characters without a Shift_JIS form become '?'.
TARSEL_API std::string EncodeShiftJis(std::u16string_view text);
/// Whether every character of `text` has a Shift_JIS form, so that EncodeShiftJis writes no
/// '?' in its place. Characters beyond the BMP and unpaired surrogates have none. Every
/// Shift_JIS character also has an EUC-JP form, so the answer holds for EUC-JP too.
TARSEL_API bool IsShiftJisEncodable(std::u16string_view text);

}  // namespace tarselctl

TARSEL_API_END
