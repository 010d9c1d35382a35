// Port numbers as the control hands them over: decimal text, possibly with blanks around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarselctl {

/// Reads a TCP port from decimal text. Blanks (space, tab) around the digits are allowed
/// because a port taken from a PASV reply carries a leading blank (" 1025"). Anything else
/// (no digits, a sign, other characters, a value above 65535) gives no port; 0 is accepted
/// only when `allowZero` (a listener asking for any free port).
std::optional<std::uint16_t> ParsePortText(std::u16string_view text, bool allowZero);

}  // namespace tarselctl
