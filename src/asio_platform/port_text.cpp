#include "asio_platform/port_text.h"

namespace tarselctl {

namespace {
bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
}  // namespace

std::optional<std::uint16_t> ParsePortText(std::u16string_view text, bool allowZero) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;

    std::uint32_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - u'0');
        // Stop before the accumulator could wrap on a long run of digits.
        if (value > 65535) return std::nullopt;
    }
    if (value == 0 && !allowZero) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace tarselctl
