// The receive-buffer contract: input cut anywhere converts exactly as it does whole.
#include <gtest/gtest.h>

#include "code_converters/codawa_samples.h"

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

TEST(CodawaBoundary, LongRunsTakenBlockWiseMatchByteByByteConversion) {
    // Whole input goes through the block copies and the in-place paths; one byte at a time
    // never has 16 bytes ahead, so it takes the plain per-character path.
    std::string sjis;
    for (int i = 0; i < 40; ++i) {
        sjis += std::string(static_cast<std::size_t>(i % 23), 'a') + "±²" +
                std::string(static_cast<std::size_t>(i % 7), '\xb3') + std::string(static_cast<std::size_t>(i), 'z') +
                "ú@ " + (i % 5 ? "" : " (J");
    }
    sjis += std::string(100, 'q') + " ¢" + std::string(50, 'q') + "";  // kanji-only ending
    auto one_byte_at_a_time = [](std::size_t size) { return EveryN(size, 1); };
    auto euc = Feed(&Codawa::SjisToEuc, sjis, {});
    auto jis = Feed(&Codawa::SjisToJis, sjis.substr(0, sjis.size() - 1), {});
    EXPECT_EQ(euc, Feed(&Codawa::SjisToEuc, sjis, one_byte_at_a_time(sjis.size())));
    EXPECT_EQ(Feed(&Codawa::EucToSjis, euc.out, {}), Feed(&Codawa::EucToSjis, euc.out, one_byte_at_a_time(euc.out.size())));
    EXPECT_EQ(Feed(&Codawa::EucToSjis, euc.out, {}).out, sjis.substr(0, sjis.size() - 1));
    EXPECT_EQ(Feed(&Codawa::JisToSjis, jis.out, {}), Feed(&Codawa::JisToSjis, jis.out, one_byte_at_a_time(jis.out.size())));
    // Text that keeps its length is converted inside the caller's buffer, also when a cut
    // lead byte waits at the end.
    for (const std::string& text : {std::string(300, 'a') + " " + std::string(40, 'b') + "",
                                   std::string(300, 'a'), std::string(300, 'a') + ""}) {
        EXPECT_EQ(Feed(&Codawa::SjisToEuc, text, {}), Feed(&Codawa::SjisToEuc, text, one_byte_at_a_time(text.size())));
        EXPECT_EQ(Feed(&Codawa::SjisToJis, text, {}).left, Feed(&Codawa::SjisToJis, text, one_byte_at_a_time(text.size())).left);
    }
}

TEST(CodawaBoundary, TwoByteRunsOfEveryLengthEndOnEveryKindOfCharacter) {
    // Runs of two-byte text are taken two characters per step when the input is whole and
    // one at a time when it comes byte by byte; a run of either parity, ended by each kind
    // of character, must give the same bytes both ways and come back unchanged from EUC.
    const std::string kanji[] = {"\x88\x9f", "\x82\xa0", "\x83\x41", "\xe0\x40", "\xf0\x9f"};
    const std::string enders[] = {"a", "\xb1", "\xf5\x40", "\xfa\x40", "\x81\x20", "\r\n", "\x81"};
    for (std::size_t length = 0; length <= 9; ++length) {
        for (const std::string& ender : enders) {
            std::string sjis = "x";
            for (std::size_t i = 0; i < length; ++i) sjis += kanji[i % 5];
            sjis += ender + "yz";
            if (ender == "\x81") sjis.pop_back(), sjis.pop_back();  // a lead byte cut at the end
            SCOPED_TRACE(::testing::Message() << length << " pairs, then " << ::testing::PrintToString(ender));
            const auto bytewise = EveryN(sjis.size(), 1);
            const Result euc = Feed(&Codawa::SjisToEuc, sjis, {});
            EXPECT_EQ(euc, Feed(&Codawa::SjisToEuc, sjis, bytewise));
            EXPECT_EQ(Feed(&Codawa::SjisToJis, sjis, {}).left, Feed(&Codawa::SjisToJis, sjis, bytewise).left);
            EXPECT_EQ(Feed(&Codawa::EucToSjis, euc.out, {}).out, sjis.substr(0, sjis.size() - euc.left.size()));
            const Result jis = Feed(&Codawa::SjisToJis, sjis, {});
            EXPECT_EQ(Feed(&Codawa::JisToSjis, jis.out, {}).out, sjis.substr(0, sjis.size() - jis.left.size()));
        }
    }
}

TEST(CodawaBoundary, KatakanaRunsTakenSixteenAtATimeEndWhereTheyEnd) {
    // Half-width katakana are read sixteen bytes at a time when that many are left; a run of
    // any length up past two blocks, ended by each kind of character, near the end of the
    // input or across the converters' 16 KiB work segments, must give what the
    // one-byte-at-a-time path gives, and come back unchanged.
    const std::string enders[] = {"", "a", "\x88\x9f", "\xf5\x40", "\x81\x20", "\x80", "\r\n", "\x81"};
    const std::string kana = "\xb1\xb2\xdf\xa1\xc0";
    for (std::size_t length = 1; length <= 35; ++length) {
        for (const std::string& ender : enders) {
            std::string run;
            for (std::size_t i = 0; i < length; ++i) run += kana[i % kana.size()];
            for (const std::size_t before : {std::size_t{1}, std::size_t{16 * 1024 - 17}}) {
                for (std::size_t after = 0; after <= 17; after += 1 + after / 4) {
                    std::string sjis = std::string(before, 'x') + run + ender + std::string(after, 'y');
                    SCOPED_TRACE(::testing::Message() << length << " katakana after " << before << ", then "
                                                      << ::testing::PrintToString(ender) << " and " << after);
                    const Result euc = Feed(&Codawa::SjisToEuc, sjis, {});
                    const Result jis = Feed(&Codawa::SjisToJis, sjis, {});
                    // One byte at a time only around the run: the long front takes its own paths.
                    const std::vector<std::size_t> bytewise = [&] {
                        std::vector<std::size_t> cuts{before - 1};
                        for (std::size_t i = before; i < sjis.size(); ++i) cuts.push_back(i);
                        return cuts;
                    }();
                    ASSERT_EQ(euc, Feed(&Codawa::SjisToEuc, sjis, bytewise));
                    ASSERT_EQ(WithoutRedundantEscapes(Feed(&Codawa::SjisToJis, sjis, bytewise).out), jis.out);
                    const std::string converted = sjis.substr(0, sjis.size() - euc.left.size());
                    ASSERT_EQ(Feed(&Codawa::EucToSjis, euc.out, {}).out, converted);
                    ASSERT_EQ(Feed(&Codawa::JisToSjis, jis.out, {}).out, converted);
                }
            }
        }
    }
}

TEST(CodawaBoundary, LongTwoByteRunsTakenEightAtATimeStopAtEveryKindOfCharacter) {
    // Long runs of rows 1-84 are converted eight characters per step, out of Shift_JIS and
    // out of EUC and JIS (there also where the output overwrites the input itself). A run broken
    // at any point by any other kind of character must give what the one-byte-at-a-time
    // path gives.
    const std::string kanji[] = {"\x88\x9f", "\x82\xa0", "\x83\x7e", "\x83\x80", "\xe0\x40", "\xea\xa4", "\x87\x40",
                                 "\x9f\xfc", "\x81\x9e"};
    const std::string breakers[] = {"a",        "\xb1",     "\xf0\x40", "\xfa\x40", "\xed\x40",
                                    "\xeb\x9f", "\x81\x20", "\x80",     "\r\n"};
    for (std::size_t at = 0; at <= 24; ++at) {
        for (const std::string& breaker : breakers) {
            std::string sjis = "x";
            for (std::size_t i = 0; i < 40; ++i) sjis += (i == at ? breaker : "") + kanji[(i * 7 + at) % 9];
            sjis += "yz";
            SCOPED_TRACE(::testing::Message() << ::testing::PrintToString(breaker) << " after " << at << " pairs");
            const auto bytewise = EveryN(sjis.size(), 1);
            const Result euc = Feed(&Codawa::SjisToEuc, sjis, {});
            ASSERT_EQ(euc, Feed(&Codawa::SjisToEuc, sjis, bytewise));
            const Result from_euc = Feed(&Codawa::EucToSjis, euc.out, {});
            ASSERT_EQ(from_euc.out, sjis);
            ASSERT_EQ(Feed(&Codawa::EucToSjis, euc.out, EveryN(euc.out.size(), 1)), from_euc);
            const Result jis = Feed(&Codawa::SjisToJis, sjis, {});
            ASSERT_EQ(WithoutRedundantEscapes(Feed(&Codawa::SjisToJis, sjis, bytewise).out), jis.out);
            // Decoded whole, byte by byte, and cut right after the first escape, so that the
            // run is decoded where it stands.
            const Result back = Feed(&Codawa::JisToSjis, jis.out, {});
            ASSERT_EQ(back.out, sjis);
            ASSERT_EQ(Feed(&Codawa::JisToSjis, jis.out, EveryN(jis.out.size(), 1)), back);
            ASSERT_EQ(Feed(&Codawa::JisToSjis, jis.out, {jis.out.find('\x1b') + 3}), back);
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
