#include "terminal_text.h"

#include <cstdint>

namespace tarselftp {

namespace {

void AppendHex(std::string& out, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

// Length of the well-formed UTF-8 sequence at the front of `rest`, or 0 (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t Utf8SequenceLength(std::string_view rest) {
    const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(rest[i]); };
    const std::uint8_t lead = b(0);
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (rest.size() < length || b(1) < low || b(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string ShowControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (byte < 0x80) {
            if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7F) AppendHex(out, byte);
            else out += static_cast<char>(byte);
            ++i;
            continue;
        }
        const std::size_t length = Utf8SequenceLength(text.substr(i));
        if (length == 0) {
            AppendHex(out, byte);
            ++i;
        } else if (length == 2 && byte == 0xC2 && static_cast<std::uint8_t>(text[i + 1]) <= 0x9F) {
            // U+0080-U+009F: C1 controls, CSI (U+009B) among them.
            AppendHex(out, static_cast<std::uint8_t>(text[i + 1]));
            i += 2;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace tarselftp
