// Reply lines alone: where a line ends, and which lines complete a reply, swept over every
// split of the input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/reply_lines.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;

// Feeds `stream` in pieces cut at `cuts` and classifies every line as it is completed:
// "F:line" for a complete reply, "M:line" for the start of a multi-line reply, "T:line" text.
std::vector<std::string> Interpret(const std::string& stream, const std::vector<std::size_t>& cuts) {
    std::vector<std::string> out;
    std::string buffer, openCode;
    std::size_t scanned = 0, from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (std::size_t end : ends) {
        buffer.append(stream, from, end - from);
        from = end;
        for (const std::string& line : TakeReplyLines(buffer, scanned)) {
            switch (ClassifyReplyLine(std::string_view(line), openCode)) {
            case ReplyLineKind::Final: out.push_back("F:" + line); break;
            case ReplyLineKind::MultiLineStart: out.push_back("M:" + line); break;
            case ReplyLineKind::Text: out.push_back("T:" + line); break;
            }
        }
    }
    out.push_back("rest:" + buffer);
    return out;
}

TEST(ReplyLines, MultiLineReplyEndsOnlyAtItsOwnCodeFollowedByABlank) {
    // Lines that look like replies inside a multi-line reply are its text: ending the reply
    // early there would make every later reply answer the wrong command.
    const std::string greeting =
        "220-Welcome\r\n"
        "2024/01/01 maintenance tonight\r\n"
        "2 mirrors are available today.\r\n"
        "230 users max\r\n"
        "220-still the greeting\r\n"
        "220\r\n"
        "331 Password required\r\n";
    const std::vector<std::string> want = {
        "M:220-Welcome", "T:2024/01/01 maintenance tonight", "T:2 mirrors are available today.",
        "T:230 users max", "T:220-still the greeting", "F:220", "F:331 Password required", "rest:"};
    EXPECT_EQ(Interpret(greeting, {}), want);
    // Every way of cutting the stream in two or three gives the same lines.
    for (std::size_t a = 0; a <= greeting.size(); ++a) {
        ASSERT_EQ(Interpret(greeting, {a}), want) << "cut at " << a;
        for (std::size_t b = a; b <= greeting.size(); b += 7)
            ASSERT_EQ(Interpret(greeting, {a, b}), want) << "cuts at " << a << ", " << b;
    }
}

TEST(ReplyLines, OutsideAMultiLineReplyOnlyThreeDigitsAndABlankMakeAReply) {
    EXPECT_THAT(Interpret("2 ok\r\n230ok\r\n23 x\r\nabc\r\n\r\n250 done\r\n150\r\n", {}),
                ElementsAre("T:2 ok", "T:230ok", "T:23 x", "T:abc", "T:", "F:250 done", "F:150", "rest:"));
}

TEST(ReplyLines, BareLfEndsALineAndBareCrDoesNot) {
    EXPECT_THAT(Interpret("220 a\n331 b\r\n200 c\rd\r\r\n", {}),
                ElementsAre("F:220 a", "F:331 b", "F:200 c\rd\r", "rest:"));
    // A CR that arrives alone waits for what follows it.
    EXPECT_THAT(Interpret("220 a\r", {}), ElementsAre("rest:220 a\r"));
    const std::string crThenLf = "220 a\r\n";
    for (std::size_t cut = 0; cut <= crThenLf.size(); ++cut)
        EXPECT_THAT(Interpret(crThenLf, {cut}), ElementsAre("F:220 a", "rest:")) << cut;
}

// Listings share the cutter with another rule: only CR LF ends a line. A CR at the end of
// one piece and its LF at the start of the next are one line end, and a bare LF, which a file
// name may hold, stays in the line, wherever the pieces are cut.
TEST(ReplyLines, ListingLinesEndAtCrLfOnlyWhereverTheyAreCut) {
    const std::string listing = "a\r\nname\nwith lf\r\n\r\r\n\nx\r\n\ry";
    auto take = [&](const std::vector<std::size_t>& cuts) {
        std::vector<std::string> out;
        std::string buffer;
        std::size_t scanned = 0, from = 0;
        std::vector<std::size_t> ends = cuts;
        ends.push_back(listing.size());
        for (std::size_t end : ends) {
            buffer.append(listing, from, end - from);
            from = end;
            for (std::string& line : TakeListingLines(buffer, scanned)) out.push_back(line);
        }
        out.push_back("rest:" + buffer);
        return out;
    };
    const std::vector<std::string> want = {"a", "name\nwith lf", "\r", "\nx", "rest:\ry"};
    for (std::size_t a = 0; a <= listing.size(); ++a)
        for (std::size_t b = a; b <= listing.size(); ++b)
            ASSERT_EQ(take({a, b}), want) << "cuts at " << a << ", " << b;
}

TEST(ReplyLines, AnUnfinishedLineIsSearchedOnceHoweverItArrives) {
    // The scan position moves on with each piece; a line end in the last piece is still
    // found, and the line comes out whole.
    std::string buffer;
    std::size_t scanned = 0;
    for (int i = 0; i < 1000; ++i) {
        buffer += "x";
        EXPECT_TRUE(TakeReplyLines(buffer, scanned).empty());
        ASSERT_EQ(scanned, buffer.size());
    }
    buffer += "\n";
    auto lines = TakeReplyLines(buffer, scanned);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string(1000, 'x'));
    EXPECT_EQ(buffer, "");
    EXPECT_EQ(scanned, 0u);
}

TEST(ReplyLines, WideTextClassifiesAsNarrow) {
    std::u16string openCode;
    EXPECT_EQ(ClassifyReplyLine(std::u16string_view(u"550-a"), openCode), ReplyLineKind::MultiLineStart);
    EXPECT_EQ(ClassifyReplyLine(std::u16string_view(u"550x"), openCode), ReplyLineKind::Text);
    EXPECT_EQ(ClassifyReplyLine(std::u16string_view(u"550 no"), openCode), ReplyLineKind::Final);
    EXPECT_TRUE(openCode.empty());
}

}  // namespace
}  // namespace tarselctl
