#include "asio_platform/console_message_box.h"

namespace tarselctl {

void ShowConsoleMessageBox(std::ostream& out, const String& text) {
    out << ToUtf8(text) << '\n';
    out.flush();
}

}  // namespace tarselctl
