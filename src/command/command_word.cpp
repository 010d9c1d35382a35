#include "command/command_word.h"

#include <array>

namespace tarselctl {

namespace {
struct Spelling {
    Word word;
    std::u16string_view text;
};
constexpr std::array<Spelling, 23> kSpellings{{
    {Word::User, u"USER"}, {Word::Pass, u"PASS"}, {Word::Acct, u"ACCT"}, {Word::Auth, u"AUTH"},
    {Word::Pbsz, u"PBSZ"}, {Word::Prot, u"PROT"}, {Word::Type, u"TYPE"}, {Word::Rest, u"REST"},
    {Word::Rnfr, u"RNFR"}, {Word::Feat, u"FEAT"}, {Word::Quit, u"QUIT"}, {Word::Abor, u"ABOR"},
    {Word::Pasv, u"PASV"}, {Word::Epsv, u"EPSV"}, {Word::Port, u"PORT"}, {Word::Eprt, u"EPRT"},
    {Word::Retr, u"RETR"}, {Word::Stor, u"STOR"}, {Word::Appe, u"APPE"}, {Word::List, u"LIST"},
    {Word::Nlst, u"NLST"}, {Word::Mlsd, u"MLSD"}, {Word::Xprt, u"XPRT"},
}};
}  // namespace

Word WordOf(std::u16string_view line, String* text) {
    char16_t buffer[4];
    std::size_t n = 0;
    const std::u16string_view head = line.substr(0, 4);
    const std::size_t first = head.find_first_not_of(u' ');
    if (first != std::u16string_view::npos) {
        const std::size_t last = head.find_last_not_of(u' ');
        for (std::size_t i = first; i <= last; ++i) {
            char16_t c = head[i];
            buffer[n++] = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
        }
    }
    const std::u16string_view word(buffer, n);
    if (text != nullptr) text->assign(word);
    if (n == 0) return Word::None;
    for (const Spelling& s : kSpellings)
        if (s.text == word) return s.word;
    return Word::Other;
}

const char16_t* WordText(Word word) {
    for (const Spelling& s : kSpellings)
        if (s.word == word) return s.text.data();
    return u"";
}

}  // namespace tarselctl
