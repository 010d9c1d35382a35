#include "command/reply_fit.h"

namespace tarselctl {

ReplyFit FitOfReply(const String& word, Integer code, bool hostLine) {
    const Integer kind = code / 100;
    if (kind == 4 || kind == 5) return ReplyFit::Refused;
    auto fits = [](bool accepted) { return accepted ? ReplyFit::Accepted : ReplyFit::Unexpected; };
    if (hostLine) return fits(kind == 2 || kind == 3);
    if (word == u"USER") return fits(code == 230 || code == 331 || code == 332);
    if (word == u"PASS") return fits(code == 230 || code == 202 || code == 332);
    if (word == u"ACCT") return fits(code == 230 || code == 202);
    if (word == u"REST" || word == u"RNFR") return fits(kind == 3);
    return fits(kind == 2);
}

}  // namespace tarselctl
