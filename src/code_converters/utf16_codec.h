// The library's one UTF-8 <-> UTF-16 codec: the stream forms below and the public ToUtf8 and
// FromUtf8 (tarsel/types.h) share one reader and one writer.
#pragma once

#include <string>
#include <string_view>

#include <tarsel/types.h>

namespace tarselctl {

/// Complete UTF-8 characters at the front of `bytes` to UTF-16; removes them from `bytes`
/// and leaves a character cut at the end there. Bytes that form no character decode to U+FFFD.
String DecodeUtf8(std::string& bytes);
/// UTF-16 to UTF-8; an unpaired surrogate becomes '?'.
std::string EncodeUtf8(std::u16string_view text);
/// True when `text` has no unpaired surrogate (every character has a UTF-8 form).
bool IsUtf8Encodable(std::u16string_view text);

}  // namespace tarselctl
