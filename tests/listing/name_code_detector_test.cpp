// The code of a server's names judged from listing bytes: each code alone, input cut at every
// byte, evidence over several listings, mixed servers, and lines that decide nothing.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include <tarsel/name_code.h>

namespace tarselctl {
namespace {

// 日本語 in each code, and あ in EUC-JP (which Shift_JIS reads as two half-width katakana).
const std::string kUtf8Name = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
const std::string kSjisName = "\x93\xFA\x96\x7B\x8C\xEA";
const std::string kEucName = "\xC6\xFC\xCB\xDC\xB8\xEC";
const std::string kEucKana = "\xA4\xA2";

std::string LsLine(const std::string& name) {
    return "-rw-r--r--    1 1000     1000           12 Dec 08 14:00 " + name + ".txt\r\n";
}

auto Counts(const NameCodeEvidence& e) {
    return std::make_tuple(e.utf8Lines, e.shiftJisLines, e.eucJpLines, e.undecidedLines);
}

NameCodeEvidence Observe(const std::string& listing, NameCodeEvidence e = {}) {
    return EndOfListing(ObserveListingBytes(e, listing));
}

TEST(NameCodeDetector, EachCodeIsFoundAndAnyCutOfTheInputGivesTheSameEvidence) {
    struct Case {
        std::string listing;
        NameCode expected;
    };
    const Case cases[] = {
        {LsLine("ascii") + LsLine(kUtf8Name), NameCode::Utf8},
        {LsLine(kSjisName) + LsLine("ascii"), NameCode::ShiftJis},
        {LsLine(kEucName), NameCode::EucJp},
        {LsLine(kEucKana), NameCode::EucJp},
        // Half-width katakana in EUC-JP (SS2) and a JIS X 0212 character (SS3).
        {LsLine("\x8E\xB1\x8F\xB0\xA1"), NameCode::EucJp},
        // A 4-byte UTF-8 character.
        {LsLine("\xF0\x9F\x98\x80"), NameCode::Utf8},
    };
    for (const Case& c : cases) {
        const NameCodeEvidence whole = Observe(c.listing);
        EXPECT_EQ(JudgeNameCode(whole, NameCode::Unknown), c.expected) << c.listing;
        // Cut in two at every byte, inside characters too, and fed one byte at a time.
        for (std::size_t cut = 0; cut <= c.listing.size(); ++cut) {
            NameCodeEvidence e = ObserveListingBytes({}, c.listing.substr(0, cut));
            e = EndOfListing(ObserveListingBytes(e, c.listing.substr(cut)));
            ASSERT_EQ(Counts(e), Counts(whole)) << "cut at " << cut;
        }
        NameCodeEvidence bytewise;
        for (const char ch : c.listing) bytewise = ObserveListingBytes(bytewise, std::string(1, ch));
        EXPECT_EQ(Counts(EndOfListing(bytewise)), Counts(whole));
    }
}

TEST(NameCodeDetector, MalformedAndCutCharactersDecideNothing) {
    // Forms UTF-8 forbids are no UTF-8 evidence (an overlong '/' is a kanji in EUC-JP).
    for (const std::string name : {"\xC0\xAF", "\xE0\x80\xAF"})
        EXPECT_EQ(Observe(LsLine(name)).utf8Lines, 0u) << name;
    const std::string nothing[] = {
        "\xED\xA0\x80",      // a UTF-16 surrogate written as UTF-8
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
        "caf\xE9",           // Latin-1: no code here reads it
        "\x80\xFF",
    };
    for (const std::string& name : nothing) {
        const NameCodeEvidence e = Observe(LsLine(name));
        EXPECT_EQ(Counts(e), std::make_tuple(0u, 0u, 0u, 1u)) << name;
        EXPECT_EQ(JudgeNameCode(e, NameCode::Utf8), NameCode::Utf8) << name;
        EXPECT_EQ(JudgeNameCode(e, NameCode::Unknown), NameCode::Unknown) << name;
    }
    // A character the end of the listing cuts (no LF after it) is no character.
    const NameCodeEvidence cut = Observe("name\xE6\x97\xA5\xE6");
    EXPECT_EQ(Counts(cut), std::make_tuple(0u, 0u, 0u, 1u));
    // Without EndOfListing the unended line has not voted yet.
    EXPECT_EQ(ObserveListingBytes({}, "x" + kUtf8Name).utf8Lines, 0u);
}

TEST(NameCodeDetector, AmbiguousLinesKeepTheCurrentChoice) {
    // E0 A1 is a kanji in EUC-JP and in Shift_JIS alike, without half-width katakana.
    const NameCodeEvidence e = Observe(LsLine("\xE0\xA1") + LsLine("plain"));
    EXPECT_EQ(Counts(e), std::make_tuple(0u, 0u, 0u, 1u));
    for (const NameCode current : {NameCode::Unknown, NameCode::Utf8, NameCode::ShiftJis, NameCode::EucJp})
        EXPECT_EQ(JudgeNameCode(e, current), current);
    // Only ASCII: nothing to go on.
    EXPECT_EQ(JudgeNameCode(Observe(LsLine("a") + LsLine("b")), NameCode::EucJp), NameCode::EucJp);
}

TEST(NameCodeDetector, EvidenceAccumulatesOverListingsAndTheMajorityDecidesOnMixedServers) {
    // The first directory holds ASCII names only; the second decides.
    NameCodeEvidence e = Observe(LsLine("readme"));
    EXPECT_EQ(JudgeNameCode(e, NameCode::EucJp), NameCode::EucJp);
    e = Observe(LsLine(kSjisName), e);
    EXPECT_EQ(JudgeNameCode(e, NameCode::EucJp), NameCode::ShiftJis);

    // A mixed server: a UTF-8 directory, then one with two Shift_JIS names. One look at the
    // second directory would say Shift_JIS; all the names seen say UTF-8.
    NameCodeEvidence mixed = Observe(LsLine(kUtf8Name) + LsLine(kUtf8Name + "2") + LsLine(kUtf8Name + "3"));
    mixed = Observe(LsLine(kSjisName) + LsLine(kSjisName + "2"), mixed);
    EXPECT_EQ(JudgeNameCode(mixed, NameCode::EucJp), NameCode::Utf8);
    EXPECT_EQ(JudgeNameCode(Observe(LsLine(kSjisName) + LsLine(kSjisName + "2")), NameCode::Utf8),
              NameCode::ShiftJis);
    // As many lines for two codes: the current one of them stays; a third one gives way to
    // UTF-8 first.
    const NameCodeEvidence tie = Observe(LsLine(kUtf8Name) + LsLine(kSjisName));
    EXPECT_EQ(JudgeNameCode(tie, NameCode::ShiftJis), NameCode::ShiftJis);
    EXPECT_EQ(JudgeNameCode(tie, NameCode::Utf8), NameCode::Utf8);
    EXPECT_EQ(JudgeNameCode(tie, NameCode::EucJp), NameCode::Utf8);
}

TEST(NameCodeDetector, FeatUtf8DecidesAndCodesMapToSysCode) {
    EXPECT_EQ(JudgeNameCode(Observe(LsLine(kSjisName)), NameCode::ShiftJis, true), NameCode::Utf8);
    EXPECT_EQ(std::u16string(NameCodeSysCode(NameCode::Utf8)), u"UTF8");
    EXPECT_EQ(std::u16string(NameCodeSysCode(NameCode::ShiftJis)), u"SJIS");
    EXPECT_EQ(std::u16string(NameCodeSysCode(NameCode::EucJp)), u"EUC");
    EXPECT_EQ(std::u16string(NameCodeSysCode(NameCode::Unknown)), u"");
}

}  // namespace
}  // namespace tarselctl
