// The receive-buffer contract: input cut anywhere converts exactly as it does whole.
#include <gtest/gtest.h>

#include "platform/codawa/codawa_samples.h"

namespace tarselctl::testing {
namespace {

struct Case {
    const char* name;
    ByteMethod method;
    std::string input;
    const char16_t* code_name;
};

std::vector<Case> Cases() {
    return {
        {"SjisToEuc", &Codawa::SjisToEuc, MixedSjis(), u"SJIS"},
        {"EucToSjis", &Codawa::EucToSjis, MixedEuc(), u"SJIS"},
        {"JisToSjis", &Codawa::JisToSjis, MixedJis(), u"SJIS"},
        {"SjisToSjis", &Codawa::SjisToSjis, MixedSjis(), u"SJIS"},
        {"ToSjis from SJIS", &Codawa::ToSjis, MixedSjis(), u"SJIS"},
        {"ToSjis from EUC", &Codawa::ToSjis, MixedEuc(), u"EUC"},
    };
}

TEST(CodawaBoundary, EverySplitPointAndEveryChunkSizeGivesTheWholeResult) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const Result whole = Feed(c.method, c.input, {}, c.code_name);
        ASSERT_FALSE(whole.out.empty());
        ASSERT_FALSE(whole.left.empty());  // every sample ends in a cut character
        for (std::size_t cut = 0; cut <= c.input.size(); ++cut) {
            ASSERT_EQ(Feed(c.method, c.input, {cut}, c.code_name), whole) << "cut at " << cut;
        }
        for (std::size_t step = 1; step <= 8; ++step) {
            ASSERT_EQ(Feed(c.method, c.input, EveryN(c.input.size(), step), c.code_name), whole)
                << "chunks of " << step;
        }
    }
}

TEST(CodawaBoundary, JisEscapesCutAtAnyTwoPointsKeepTheShiftState) {
    const std::string input = MixedJis();
    const Result whole = Feed(&Codawa::JisToSjis, input, {});
    for (std::size_t a = 1; a < input.size(); ++a) {
        for (std::size_t b = a; b < input.size(); ++b) {
            ASSERT_EQ(Feed(&Codawa::JisToSjis, input, {a, b}), whole) << a << "," << b;
        }
    }
}

TEST(CodawaBoundary, JisOutputOfBlocksDiffersOnlyByEscapesThatChangeNothing) {
    // Every block of JIS output ends in one-byte mode, so cut input costs an ESC ( J and a
    // shift back at each cut, and nothing else.
    const std::string input = MixedSjis();
    const Result whole = Feed(&Codawa::SjisToJis, input, {});
    ASSERT_EQ(whole.left, "\x82");
    ASSERT_EQ(WithoutRedundantEscapes(whole.out), whole.out);
    for (std::size_t step = 1; step <= 8; ++step) {
        const Result cut = Feed(&Codawa::SjisToJis, input, EveryN(input.size(), step));
        EXPECT_EQ(cut.left, whole.left);
        EXPECT_EQ(WithoutRedundantEscapes(cut.out), whole.out) << "chunks of " << step;
    }
}

TEST(CodawaBoundary, WideTextKeepsOnlyATrailingHighSurrogate) {
    const std::u16string text = u"put \u3042\uff71\U0001F600\u00e9~\r\n\xD83D";
    for (auto method : {&Codawa::TextToSjis, &Codawa::TextToEuc}) {
        auto whole_codawa = CreateCodawa();
        std::u16string whole_buffer = text;
        const std::string whole = ((*whole_codawa).*method)(whole_buffer);
        EXPECT_EQ(whole_buffer, u"\xD83D");
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            auto codawa = CreateCodawa();
            std::u16string buffer = text.substr(0, cut);
            std::string out = ((*codawa).*method)(buffer);
            buffer += text.substr(cut);
            out += ((*codawa).*method)(buffer);
            EXPECT_EQ(out, whole) << "cut at " << cut;
            EXPECT_EQ(buffer, u"\xD83D");
        }
    }
}

}  // namespace
}  // namespace tarselctl::testing
