// The console message box writes the text as one UTF-8 line.
#include <sstream>

#include <gtest/gtest.h>

#include "asio_platform/console_message_box.h"

namespace tarselctl {
namespace {

TEST(ConsoleMessageBox, WritesJapaneseTextAsOneUtf8Line) {
    std::ostringstream out;
    ShowConsoleMessageBox(out, u"\u53E4\u3044 OCX");
    EXPECT_EQ(out.str(), "\xE5\x8F\xA4\xE3\x81\x84 OCX\n");
}

}  // namespace
}  // namespace tarselctl
