// The command word of a line the control sends, as a typed value: the reply interpreter and
// the data connection decide by it, and its text exists only for hosts that ask which command
// went last.
#pragma once

#include <cstdint>
#include <string_view>

#include <tarsel/types.h>

namespace tarselctl {

/// The words whose replies the control treats in a way of their own; any other command is
/// `Other`. `None` stands before the first command of a connection (the greeting answers none).
enum class Word : std::uint8_t {
    None, Other,
    User, Pass, Acct, Auth, Pbsz, Prot, Type, Rest, Rnfr, Feat, Quit, Abor,
    Pasv, Epsv, Port, Eprt,
    Retr, Stor, Appe, List, Nlst, Mlsd,
    Xprt,
};

/// The word of `line`: its first four characters, without spaces, upper-cased, as servers
/// read them. `text` receives that word as written (upper-cased), for hosts that read it.
Word WordOf(std::u16string_view line, String* text = nullptr);

/// The word's own spelling; "" for None and Other.
const char16_t* WordText(Word word);

/// RETR, STOR, APPE, LIST, NLST, MLSD: commands that move data over a data connection.
constexpr bool IsTransfer(Word w) { return w >= Word::Retr && w <= Word::Mlsd; }
/// LIST, NLST, MLSD.
constexpr bool IsListing(Word w) { return w >= Word::List && w <= Word::Mlsd; }
/// STOR, APPE.
constexpr bool IsUpload(Word w) { return w == Word::Stor || w == Word::Appe; }

}  // namespace tarselctl
