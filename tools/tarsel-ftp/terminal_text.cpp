#include "terminal_text.h"

#include <cstdint>

#include "well_formed_utf8.h"

namespace tarselftp {

namespace {

void AppendHex(std::string& out, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
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
