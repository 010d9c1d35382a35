// Cutting the PreCommand text into command lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/tarsel_private_access.h"
#include "command/split_text.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAreArray;

std::vector<String> Split(const String& text, const String& delimiter, Long maxPieces) {
    return SplitText(text, delimiter, maxPieces);
}

TEST(SplitText, PiecesFollowTheDelimiterAndSpaceRules) {
    struct Case {
        const char16_t* text;
        const char16_t* delimiter;
        Long maxPieces;
        std::vector<String> pieces;
    };
    const Case cases[] = {
        {u"SITE A\r\nSITE B", u"\r\n", 0, {u"SITE A", u"SITE B"}},
        {u"", u"\r\n", 0, {}},
        {u"    ", u"\r\n", 0, {}},
        {u"one", u"\r\n", 0, {u"one"}},
        // Two delimiters in a row give an empty piece; one at the very end adds none.
        {u"a\r\n\r\nb", u"\r\n", 0, {u"a", u"", u"b"}},
        {u"a\r\n", u"\r\n", 0, {u"a"}},
        {u"\r\na", u"\r\n", 0, {u"", u"a"}},
        {u"a\r\n\r\n", u"\r\n", 0, {u"a", u""}},
        // Leading spaces of every piece go, trailing ones stay; tabs are no spaces.
        {u"  a  \r\n   b \r\n\tc", u"\r\n", 0, {u"a  ", u"b ", u"\tc"}},
        {u"a\r\n   ", u"\r\n", 0, {u"a"}},
        // The delimiter is matched exactly, case included.
        {u"aXbxc", u"x", 0, {u"aXb", u"c"}},
        {u"a\nb\rc", u"\r\n", 0, {u"a\nb\rc"}},
        {u"a,b", u"", 0, {u"a,b"}},
        // A limit makes the last piece take the rest; a negative one means none.
        {u"a,b,c,d", u",", 2, {u"a", u"b,c,d"}},
        {u"a,b,c,d", u",", 1, {u"a,b,c,d"}},
        {u"a, b,c", u",", 3, {u"a", u"b", u"c"}},
        {u"a,b,c", u",", -4, {u"a", u"b", u"c"}},
        {u"a,  b,c", u",", 2, {u"a", u"b,c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.text) + " | " + ToUtf8(c.delimiter) + " | " +
                     std::to_string(c.maxPieces));
        EXPECT_THAT(Split(c.text, c.delimiter, c.maxPieces), ElementsAreArray(c.pieces));
    }
}

// The text has no 16-bit limits: more than 32767 pieces, and delimiters far beyond
// character 32765 of what remains.
TEST(SplitText, HasNoSixteenBitLimits) {
    constexpr std::size_t kPieces = 40000;
    String manyLines;
    for (std::size_t i = 0; i < kPieces; ++i) manyLines += u"NOOP " + FromUtf8(std::to_string(i)) + u"\r\n";
    const std::vector<String> pieces = Split(manyLines, u"\r\n", 0);
    ASSERT_EQ(pieces.size(), kPieces);
    EXPECT_EQ(pieces.front(), u"NOOP 0");
    EXPECT_EQ(pieces[32767], u"NOOP 32767");
    EXPECT_EQ(pieces.back(), u"NOOP 39999");

    const String longPiece(70000, u'x');
    EXPECT_THAT(Split(longPiece + u"\r\n" + longPiece + u"y\r\nz", u"\r\n", 0),
                ElementsAreArray({longPiece, longPiece + u"y", String(u"z")}));
    EXPECT_THAT(Split(longPiece + u"\r\nrest", u"\r\n", 40000),
                ElementsAreArray({longPiece, String(u"rest")}));
}

}  // namespace
}  // namespace tarselctl
