// Server text shown on a terminal: what a terminal would obey is written out instead.
#include <gtest/gtest.h>

#include <string>

#include "terminal_text.h"

namespace tarselftp {
namespace {

TEST(TarselFtpTerminalText, EscapeSequencesAndOtherControlsAreShownNotObeyed) {
    // A window-title change, a screen clear, a cursor move by the one-byte CSI (U+009B).
    EXPECT_EQ(ShowControlCharacters("\x1b]0;owned\x07name"), "\\x1b]0;owned\\x07name");
    EXPECT_EQ(ShowControlCharacters("257 \"/\x1b[2J\x1b[H\""), "257 \"/\\x1b[2J\\x1b[H\"");
    EXPECT_EQ(ShowControlCharacters("a\xc2\x9b" "2Jb"), "a\\x9b2Jb");
    EXPECT_EQ(ShowControlCharacters(std::string("\0\r\x7f\x01", 4)), "\\x00\\x0d\\x7f\\x01");
    // C1 ends at U+009F: U+00A0 and on are text.
    EXPECT_EQ(ShowControlCharacters("\xc2\x9f\xc2\xa0"), "\\x9f\xc2\xa0");
}

TEST(TarselFtpTerminalText, OrdinaryTextPassesUnchanged) {
    const std::string text = "drwxr-xr-x\t2 ftp ftp 4096 Jan 1 00:00 \xe6\x97\xa5\xe6\x9c\xac "
                             "C:\\dir \xf0\x9f\x98\x80 \xef\xbd\xb1\nnext line";
    EXPECT_EQ(ShowControlCharacters(text), text);
    EXPECT_EQ(ShowControlCharacters(""), "");
}

TEST(TarselFtpTerminalText, BytesOutsideWellFormedUtf8AreShownOneByOne) {
    // A lone 8-bit CSI, a cut sequence, an overlong ESC, a surrogate, past U+10FFFF.
    EXPECT_EQ(ShowControlCharacters("\x9b" "2J"), "\\x9b2J");
    EXPECT_EQ(ShowControlCharacters("a\xe6\x97"), "a\\xe6\\x97");
    EXPECT_EQ(ShowControlCharacters("\xc0\x9b"), "\\xc0\\x9b");
    EXPECT_EQ(ShowControlCharacters("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(ShowControlCharacters("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
    EXPECT_EQ(ShowControlCharacters("\xe6\x97\x1b[2J"), "\\xe6\\x97\\x1b[2J");
}

}  // namespace
}  // namespace tarselftp
