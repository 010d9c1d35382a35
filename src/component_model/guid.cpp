// Text form of identifiers, as registry records and diagnostics write them.
#include <tarsel/automation.h>

#include <cstdio>

namespace tarselctl {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; false if any is missing or no hex digit.
bool ReadHex(std::string_view text, std::size_t& pos, int digits, std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i, ++pos) {
        if (pos >= text.size()) return false;
        const int d = HexDigit(text[pos]);
        if (d < 0) return false;
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

std::string GuidToString(const Guid& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buffer;
}

std::optional<Guid> GuidFromString(std::string_view text) {
    if (text.size() >= 2 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, text.size() - 2);
    Guid g;
    std::size_t pos = 0;
    std::uint32_t v = 0;
    if (!ReadHex(text, pos, 8, v)) return std::nullopt;
    g.Data1 = v;
    if (!Expect(text, pos, '-') || !ReadHex(text, pos, 4, v)) return std::nullopt;
    g.Data2 = static_cast<std::uint16_t>(v);
    if (!Expect(text, pos, '-') || !ReadHex(text, pos, 4, v)) return std::nullopt;
    g.Data3 = static_cast<std::uint16_t>(v);
    if (!Expect(text, pos, '-')) return std::nullopt;
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !Expect(text, pos, '-')) return std::nullopt;
        if (!ReadHex(text, pos, 2, v)) return std::nullopt;
        g.Data4[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    }
    if (pos != text.size()) return std::nullopt;
    return g;
}

}  // namespace tarselctl
