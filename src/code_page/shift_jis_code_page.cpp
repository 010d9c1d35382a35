// Shift_JIS (CP932) <-> UTF-16 for reply lines, listing lines and held-back command text.
//
// Both directions are table driven and keep no state between calls, so any thread may call
// them at any time; the encoder's inverse table is built once, on first use, under the
// language's thread-safe static initialisation.
#include <tarsel/code_page.h>

#include <cstring>

#include "code_page/cp932_encoder.h"
#include "code_page/cp932_table.h"

namespace tarselctl {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsAsciiWord(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return (w & 0x8080808080808080ULL) == 0;
}

}  // namespace

String DecodeShiftJis(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    String out(n, u'\0');  // never more characters than bytes
    char16_t* o = out.data();
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n && IsAsciiWord(p + i)) {
            for (int k = 0; k < 8; ++k) o[k] = p[i + k];
            o += 8;
            i += 8;
            continue;
        }
        unsigned char b = p[i];
        if (b < 0x80) {
            *o++ = b;
            ++i;
        } else if (b >= 0xA1 && b <= 0xDF) {
            *o++ = static_cast<char16_t>(0xFF61 + (b - 0xA1));
            ++i;
        } else if (int li = cp932::LeadIndex(b); li >= 0 && i + 1 < n) {
            unsigned char t = p[i + 1];
            int ti = cp932::TrailIndex(t);
            char16_t u = ti >= 0 ? cp932::kDoubleByte[li][ti] : 0;
            if (u != 0) {
                *o++ = u;
                i += 2;
            } else {
                *o++ = kReplacement;
                // An ASCII byte after a bad lead is read again on its own, so that a cut or
                // unassigned code never hides the line's punctuation (or its CR LF).
                i += (ti >= 0 && t >= 0x80) ? 2 : 1;
            }
        } else {
            *o++ = kReplacement;
            ++i;
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

std::string EncodeShiftJis(std::u16string_view text) {
    const cp932::EncoderTable& table = cp932::Encoder();
    std::string out(text.size() * 2, '\0');
    char* o = out.data();
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char16_t c = text[i];
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;  // a supplementary-plane character: one '?' for the pair
            *o++ = '?';
            continue;
        }
        std::uint16_t code = table[c];
        if (code == 0) {
            *o++ = '?';
        } else if (code < 0x100) {
            *o++ = static_cast<char>(code);
        } else {
            *o++ = static_cast<char>(code >> 8);
            *o++ = static_cast<char>(code & 0xFF);
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

bool IsShiftJisEncodable(std::u16string_view text) {
    const cp932::EncoderTable& table = cp932::Encoder();
    for (char16_t c : text) {
        // The table has no entry for U+0000 (0 means "none" there) and none for surrogates.
        if (c != 0 && table[c] == 0) return false;
    }
    return true;
}

}  // namespace tarselctl
