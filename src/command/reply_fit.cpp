#include "command/reply_fit.h"

namespace tarselctl {

ReplyFit FitOfReply(Word word, Integer code, bool hostLine) {
    const Integer kind = code / 100;
    if (kind == 4 || kind == 5) return ReplyFit::Refused;
    auto fits = [](bool accepted) { return accepted ? ReplyFit::Accepted : ReplyFit::Unexpected; };
    if (hostLine) return fits(kind == 2 || kind == 3);
    switch (word) {
    case Word::User: return fits(code == 230 || code == 331 || code == 332);
    case Word::Pass: return fits(code == 230 || code == 202 || code == 332);
    case Word::Acct: return fits(code == 230 || code == 202);
    case Word::Rest:
    case Word::Rnfr: return fits(kind == 3);
    default: break;
    }
    return fits(kind == 2);
}

}  // namespace tarselctl
