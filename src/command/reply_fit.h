// Which final replies each command can have. A positive code that the command cannot have is
// no success: a 314 to USER is not a login, a 314 to TYPE sets no type, and a 314 to RETR
// says nothing of where the transfer stands.
#pragma once

#include <tarsel/types.h>

#include "command/command_word.h"

namespace tarselctl {

/// What a final reply (not a preliminary 1xx) means to the command it answers.
enum class ReplyFit {
    Accepted,    ///< one of the command's own positive replies; the dialogue goes on
    Refused,     ///< 4xx or 5xx: the server said no
    Unexpected,  ///< a 2xx or 3xx the command cannot have
};

/// `word`: the command word the reply answers (None for the greeting); `code`: a reply code
/// from 200 to 599. `hostLine`: the line was the host's own text (QuoteCommand, PreCommand),
/// whose replies the control cannot know; any 2xx or 3xx counts as its success.
///
///  - USER: 230, 331 (PASS follows), 332 (ACCT follows);
///  - PASS: 230, 202, 332; ACCT: 230, 202;
///  - REST and RNFR: 3xx (350, "send the rest of the command");
///  - everything else, the greeting and the transfer commands' final replies included: 2xx.
ReplyFit FitOfReply(Word word, Integer code, bool hostLine);

}  // namespace tarselctl
