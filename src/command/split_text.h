// Cutting a text at a delimiter, the way the pre-command lines are cut into command lines.
// Pure text work.
#pragma once

#include <vector>

#include <tarsel/types.h>

namespace tarselctl {

/// The pieces of `text` between occurrences of `delimiter`. Blanks at the start of each piece
/// are skipped and empty trailing text gives no piece; with maxPieces > 0 the last piece
/// keeps the rest of the text, delimiters included. An empty delimiter gives the whole text.
std::vector<String> SplitText(const String& text, const String& delimiter, Long maxPieces);

}  // namespace tarselctl
