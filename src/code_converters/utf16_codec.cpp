// UTF-8 <-> UTF-16, once for the whole library: the public ToUtf8 and FromUtf8 and the stream
// forms of the command channel read UTF-8 with the converters' own reader and write it with
// one writer, so every path replaces the same ill-formed bytes the same way.
#include "code_converters/utf16_codec.h"

#include <cstdint>

#include "code_converters/utf8_reading.h"

namespace tarselctl {

namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes [begin, end) into `out` (room for one unit per byte) and returns where it stopped:
// at `end`, or at a character cut by it, which `atEnd` decodes as one U+FFFD instead.
const std::uint8_t* Decode(const std::uint8_t* p, const std::uint8_t* end, char16_t*& o, bool atEnd) {
    while (p < end) {
        if (*p < 0x80) {
            *o++ = *p++;
            continue;
        }
        char32_t c;
        std::size_t n = ReadUtf8(p, end, c);
        if (n == 0) {
            if (!atEnd) break;
            c = kIllFormed;
            n = static_cast<std::size_t>(end - p);
        }
        if (c == kIllFormed) {
            *o++ = 0xFFFD;
        } else if (c > 0xFFFF) {
            *o++ = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            *o++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *o++ = static_cast<char16_t>(c);
        }
        p += n;
    }
    return p;
}

// UTF-16 to UTF-8; an unpaired surrogate is written as `unpaired` (a BMP character).
std::string Encode(std::u16string_view text, char16_t unpaired) {
    std::string out(text.size() * 3, '\0');
    char* o = out.data();
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = text[i];
        if (IsHighSurrogate(text[i]) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            c = unpaired;
        }
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *o++ = static_cast<char>(0xC0 | c >> 6);
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *o++ = static_cast<char>(0xE0 | c >> 12);
            *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *o++ = static_cast<char>(0xF0 | c >> 18);
            *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

}  // namespace

String DecodeUtf8(std::string& bytes) {
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(bytes.data());
    String out(bytes.size(), u'\0');  // never more UTF-16 units than bytes
    char16_t* o = out.data();
    const std::uint8_t* const stop = Decode(begin, begin + bytes.size(), o, false);
    out.resize(static_cast<std::size_t>(o - out.data()));
    bytes.erase(0, static_cast<std::size_t>(stop - begin));
    return out;
}

// Text to the command channel: '?' stands for an unpaired surrogate, as the other codes'
// encoders write a character they cannot.
std::string EncodeUtf8(std::u16string_view text) { return Encode(text, u'?'); }

bool IsUtf8Encodable(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            return false;
        }
    }
    return true;
}

std::string ToUtf8(std::u16string_view text) { return Encode(text, u'\uFFFD'); }

String FromUtf8(std::string_view text) {
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(text.data());
    String out(text.size(), u'\0');
    char16_t* o = out.data();
    Decode(begin, begin + text.size(), o, true);
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

}  // namespace tarselctl
