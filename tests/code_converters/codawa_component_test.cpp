// The component's own surface: CodeName, Version, ToSjis's source, JIS state and wide text.
#include <gtest/gtest.h>

#include "code_converters/codawa_samples.h"

namespace tarselctl::testing {
namespace {

TEST(CodawaComponent, CodeNameTakesSjisOrEucAndRejectsTheRest) {
    auto codawa = CreateCodawa();
    EXPECT_GE(codawa->get_Version(), 205);
    codawa->put_CodeName(u"EUC");
    for (const char16_t* bad : {u"", u"JIS", u"sjis", u"EUC ", u"SJIS-WIN"}) {
        try {
            codawa->put_CodeName(bad);
            ADD_FAILURE() << "accepted a bad code name";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), 380);
            EXPECT_EQ(e.Source(), u"Codawa");
            EXPECT_EQ(e.Description(), u"Invalid Code Name");
        }
    }
    // A rejected name leaves the code as it was: still EUC.
    std::string euc = "\xa4\xa2";
    EXPECT_EQ(codawa->ToSjis(euc), "\x82\xa0");
    codawa->put_CodeName(u"SJIS");
    std::string sjis = "\xa4\xa2\x82";
    EXPECT_EQ(codawa->ToSjis(sjis), "\xa4\xa2");
    EXPECT_EQ(sjis, "\x82");
}

TEST(CodawaComponent, AnInstanceStartsWithShiftJis) {
    auto codawa = CreateCodawa();
    std::string text = "\x82\xa0";
    EXPECT_EQ(codawa->ToSjis(text), "\x82\xa0");
}

TEST(CodawaComponent, JisShiftStateCarriesOverToTheNextCall) {
    auto codawa = CreateCodawa();
    std::string text = "a\x1b$B";
    EXPECT_EQ(codawa->JisToSjis(text), "a");
    text = "\x30\x21";
    EXPECT_EQ(codawa->JisToSjis(text), "\x88\x9f");
    text = "\x0e\x31";  // shifted out to katakana ...
    EXPECT_EQ(codawa->JisToSjis(text), "\xb1");
    text = "\x32\x0f\x30\x21\x1b(B\x30";  // ... until SI, back in kanji, then ASCII
    EXPECT_EQ(codawa->JisToSjis(text), "\xb2\x88\x9f\x30");
}

TEST(CodawaComponent, ResetForgetsEveryJisShiftStateButKeepsTheCodeName) {
    auto codawa = CreateCodawa();
    codawa->put_CodeName(u"EUC");
    // Shifted out, in a two-byte run, in katakana mode, and both of the first two.
    for (const char* state : {"\x0e", "\x1b$B", "\x1b(I", "\x1b$B\x0e"}) {
        SCOPED_TRACE(state);
        std::string text = state;
        (void)codawa->JisToSjis(text);
        codawa->Reset();
        std::string plain = "ABC=?";
        EXPECT_EQ(codawa->JisToSjis(plain), "ABC=?");
    }
    std::string euc = "\xa4\xa2";
    EXPECT_EQ(codawa->ToSjis(euc), "\x82\xa0");
}

TEST(CodawaComponent, JisOutputSwitchesWithDollarBAndParenJ) {
    auto codawa = CreateCodawa();
    std::string text = "a\x88\x9f\x88\x9f" "b\xb1\x88\x9f";
    EXPECT_EQ(codawa->SjisToJis(text), "a\x1b$B\x30\x21\x30\x21\x1b(Jb\x1b(I\x31\x1b$B\x30\x21\x1b(J");
    text = "\xf5\x40";  // the 0x8F plane
    EXPECT_EQ(codawa->SjisToJis(text), "\x1b$(D\x75\x21\x1b(J");
    text = "plain";
    EXPECT_EQ(codawa->SjisToJis(text), "plain");
}

TEST(CodawaComponent, WideTextGoesThroughCp932WithQuestionMarksForTheRest) {
    auto codawa = CreateCodawa();
    std::u16string text = u"CWD \u65e5\u672c\uff71\u2460\u00e9\U0001F600\xDC00\u2170\r\n";
    std::u16string copy = text;
    EXPECT_EQ(codawa->TextToSjis(text), "CWD \x93\xfa\x96\x7b\xb1\x87\x40??\?\xfa\x40\r\n");
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(codawa->TextToEuc(copy), "CWD \xc6\xfc\xcb\xdc\x8e\xb1\xad\xa1??\?\x8f\xf3\xf3\r\n");
}

}  // namespace
}  // namespace tarselctl::testing
