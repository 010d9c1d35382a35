#include "transfer/announced_size.h"

namespace tarselctl {

namespace {
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// " bytes)" at `at`, the word in any case.
bool BytesCloseAt(std::u16string_view text, std::size_t at) {
    static constexpr std::u16string_view kWord = u" bytes)";
    if (text.size() - at < kWord.size()) return false;
    for (std::size_t i = 0; i < kWord.size(); ++i) {
        char16_t c = text[at + i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != kWord[i]) return false;
    }
    return true;
}
}  // namespace

std::optional<std::uint64_t> AnnouncedSize(std::u16string_view replyLine) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    std::optional<std::uint64_t> found;
    for (std::size_t open = replyLine.find(u'('); open != std::u16string_view::npos;
         open = replyLine.find(u'(', open + 1)) {
        std::size_t at = open + 1;
        std::uint64_t value = 0;
        bool fits = true;
        while (at < replyLine.size() && IsDigit(replyLine[at])) {
            const std::uint64_t digit = replyLine[at] - u'0';
            if (value > (kLimit - 1 - digit) / 10) fits = false;
            else value = value * 10 + digit;
            ++at;
        }
        if (at == open + 1 || !BytesCloseAt(replyLine, at)) continue;
        found = fits ? std::optional<std::uint64_t>(value) : std::nullopt;
    }
    return found;
}

}  // namespace tarselctl
