// UTF-8 streams to and from the Japanese codes, by way of UTF-16 and the Shift_JIS code page.
#include "platform/codawa/utf8_stream_converter.h"

#include <memory>

#include <tarsel/codawa.h>
#include <tarsel/code_page.h>

namespace tarselctl {

namespace {
// Length of the UTF-8 sequence a lead byte starts; 0 for a byte that starts none.
std::size_t SequenceLength(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

std::size_t CountQuestionMarks(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += c == '?';
    return n;
}
std::size_t CountQuestionMarks(std::u16string_view s) {
    std::size_t n = 0;
    for (char16_t c : s) n += c == u'?';
    return n;
}
}  // namespace

String DecodeUtf8(std::string& bytes) {
    String out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const std::size_t len = SequenceLength(b);
        if (len == 0) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (i + len > n) {
            // Cut at the end: complete so far? Then wait for the rest.
            bool prefixOk = true;
            for (std::size_t k = i + 1; k < n; ++k)
                if ((static_cast<unsigned char>(bytes[k]) & 0xC0) != 0x80) prefixOk = false;
            if (prefixOk) break;
        }
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (c & 0x3F);
        }
        if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                   (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
            ok = false;
        if (!ok) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    bytes.erase(0, i);
    return out;
}

std::string EncodeUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = u'?';
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool IsUtf8Encodable(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return false;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
    }
    return true;
}

Utf8StreamConverter::Utf8StreamConverter(TextCode from, TextCode to) : from_(from), to_(to) {}

std::string Utf8StreamConverter::Convert(std::string_view block) {
    kept_.append(block);
    String text;
    if (from_ == TextCode::Utf8) {
        text = DecodeUtf8(kept_);
        for (char16_t& c : text)
            if (c == u'\uFFFD') {
                c = u'?';
                ++substitutions_;
            }
    } else {
        std::unique_ptr<Codawa> codawa = CreateCodawa();
        std::string sjis;
        if (from_ == TextCode::Sjis) sjis = codawa->SjisToSjis(kept_);
        else if (from_ == TextCode::Euc) sjis = codawa->EucToSjis(kept_);
        else sjis = codawa->JisToSjis(kept_);
        text = DecodeShiftJis(sjis);
        for (char16_t& c : text)
            if (c == u'\uFFFD') {
                c = u'?';
                ++substitutions_;
            }
    }
    if (to_ == TextCode::Utf8) return EncodeUtf8(text);
    std::string sjis = EncodeShiftJis(text);
    substitutions_ += CountQuestionMarks(sjis) - CountQuestionMarks(std::u16string_view(text));
    if (to_ == TextCode::Sjis) return sjis;
    std::unique_ptr<Codawa> codawa = CreateCodawa();
    return to_ == TextCode::Euc ? codawa->SjisToEuc(sjis) : codawa->SjisToJis(sjis);
}

std::string Utf8StreamConverter::Finish() {
    std::string rest = std::move(kept_);
    kept_.clear();
    return rest;
}

std::uint64_t Utf8StreamConverter::Substitutions() const { return substitutions_; }

void Utf8StreamConverter::Reset() {
    kept_.clear();
    substitutions_ = 0;
}

}  // namespace tarselctl
