// The message box of a console host.
#pragma once

#include <ostream>

#include <tarsel/types.h>

namespace tarselctl {

/// Writes `text` as one UTF-8 line and flushes: a console has nobody to press OK, so the box
/// counts as dismissed once the text is out.
void ShowConsoleMessageBox(std::ostream& out, const String& text);

}  // namespace tarselctl
