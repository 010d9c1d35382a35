// Server text on its way to a terminal or a log. Pure text processing.
#pragma once

#include <string>
#include <string_view>

namespace tarselftp {

/// `text` (UTF-8) with every character that a terminal would act on instead of showing
/// written out visibly: C0 controls but TAB and LF, DEL and C1 controls as \xHH (ESC as
/// \x1b), and bytes that are no part of well-formed UTF-8 as \xHH too. Everything else,
/// backslashes included, is unchanged, so ordinary text reads as before.
///
/// A listing line, a reply text or an error message comes from the server: written raw to a
/// terminal, an escape sequence in it could retitle the window, clear the screen or rewrite
/// what the user sees; written raw to a log, it does so when the log is shown later.
std::string ShowControlCharacters(std::string_view text);

}  // namespace tarselftp
