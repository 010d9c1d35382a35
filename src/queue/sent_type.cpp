#include <tarsel/sent_type.h>

namespace tarselctl {

namespace {

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

String Upper(String text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

}  // namespace

void SentType::Observe(const String& msg) {
    // A line sent is traced as its operation's name, ">>" and the line; a reply line starts
    // with its digits, so it never has letters alone before a ">>".
    const std::size_t arrow = msg.find(u">>");
    bool sent = arrow != String::npos && arrow > 0;
    for (std::size_t i = 0; sent && i < arrow; ++i) sent = IsAsciiLetter(msg[i]);
    if (sent) {
        const String line = msg.substr(arrow + 2);
        pending_.clear();
        if (line.size() > 5 && Upper(line.substr(0, 5)) == u"TYPE ") {
            pending_ = Upper(line.substr(5));
            // Until the reply says otherwise the server may be in either type.
            current_.clear();
        }
        return;
    }
    // The final line of the reply to a TYPE: "200 ..." accepts it, anything else leaves the
    // type unknown.
    if (pending_.empty() || msg.size() < 4 || msg[3] != u' ' || msg[0] < u'1' || msg[0] > u'5') return;
    if (msg[0] == u'2') current_ = pending_;
    pending_.clear();
}

void SentType::Reset() {
    current_.clear();
    pending_.clear();
}

String SentType::FiletypeFor(const String& wanted) const {
    if (wanted.empty() || Upper(wanted) == current_) return String();
    return wanted;
}

}  // namespace tarselctl
