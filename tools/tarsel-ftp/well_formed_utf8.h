// Well-formed UTF-8 (RFC 3629), byte by byte. Pure text processing.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarselftp {

/// Length of the well-formed UTF-8 sequence at the front of `rest` (1 for an ASCII byte), or
/// 0 when none starts there: no overlong forms, no surrogates, nothing above U+10FFFF, no
/// sequence cut short by the end of `rest`.
std::size_t Utf8SequenceLength(std::string_view rest);

/// Whether all of `text` is well-formed UTF-8.
bool IsWellFormedUtf8(std::string_view text);

}  // namespace tarselftp
