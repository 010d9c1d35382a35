#include "command/split_text.h"

namespace tarselctl {

std::vector<String> SplitText(const String& text, const String& delimiter, Long maxPieces) {
    std::vector<String> pieces;
    if (maxPieces < 0) maxPieces = 0;
    auto skipSpaces = [](const String& s, std::size_t from) {
        std::size_t p = s.find_first_not_of(u' ', from);
        return p == String::npos ? s.size() : p;
    };
    std::size_t pos = skipSpaces(text, 0);
    for (;;) {
        const std::size_t found = delimiter.empty() ? String::npos : text.find(delimiter, pos);
        const bool lastPiece =
            maxPieces != 0 && static_cast<Long>(pieces.size()) + 1 == maxPieces;
        if (pos >= text.size() || found == String::npos || lastPiece) {
            if (pos < text.size()) pieces.push_back(text.substr(pos));
            return pieces;
        }
        pieces.push_back(text.substr(pos, found - pos));
        pos = skipSpaces(text, found + delimiter.size());
    }
}

}  // namespace tarselctl
