// UTF-8 streams: agreement with the C library's converters, block cuts anywhere, JIS shift
// state across blocks, and '?' counted once per character that cannot be written.
#include "code_converters/utf8_stream_converter.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <tarsel/code_page.h>

#include "code_converters/codawa_samples.h"
#include "code_converters/iconv_reference.h"

namespace tarselctl::testing {
namespace {

constexpr TextCode kSjis = TextCode::Sjis, kEuc = TextCode::Euc, kJis = TextCode::Jis, kUtf8 = TextCode::Utf8;

struct Output {
    std::string text;
    std::string rest;  // what Finish gave back
    std::uint64_t substitutions = 0;
    bool operator==(const Output&) const = default;
};

void PrintTo(const Output& o, std::ostream* os) {
    *os << ::testing::PrintToString(o.text) << " rest " << ::testing::PrintToString(o.rest) << " subs "
        << o.substitutions;
}

/// `input` fed to a fresh converter in pieces ending at each of `cuts`, then Finish.
Output Feed(TextCode from, TextCode to, std::string_view input, const std::vector<std::size_t>& cuts = {}) {
    Utf8StreamConverter converter(from, to);
    Output r;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        r.text += converter.Convert(input.substr(at, cut - at));
        at = cut;
    }
    r.text += converter.Convert(input.substr(at));
    r.rest = converter.Finish();
    r.substitutions = converter.Substitutions();
    return r;
}

/// The whole stream's output, its end included.
std::string Convert(TextCode from, TextCode to, std::string_view input) {
    const Output r = Feed(from, to, input);
    return r.text + r.rest;
}

/// Text without bytes that form no character: every kind of character the codes tell apart.
std::string CleanSjis() {
    return std::string("get file.txt\r\n") + "\x82\xa0\x82\xa2\x88\x9f\x8e\x9a\xea\xa4" + "\xb1\xb2\xdf" + "abc" +
           "\xb3" + "\x87\x40\x87\x5d" + "\xf0\x40\xf9\xfc" + "\xfa\x40\xfb\xfc\xfc\x4b" + "\x81\x60\x81\x5c" +
           "\r\n\x93\xfa\x96\x7b";
}

/// UTF-8 with the characters of CleanSjis, then ones Shift_JIS lacks and ill-formed bytes.
std::string MixedUtf8() {
    return *Iconv("UTF-8", "CP932", CleanSjis()) + "\xc3\xa9 \xf0\x9f\x98\x80 x\xc0\x80\xed\xa0\x80\x80" +
           "\xe3\x81" + "A\xf4\x90\x80\x80\xf5\xff\xe6\x97\xa5\r\n\xe6\x97";
}

TEST(Utf8StreamConverter, ShiftJisAgreesWithCp932BothWays) {
    ForEachSjisPair([&](unsigned sjis) {
        const std::string code = Code(sjis);
        const Output ours = Feed(kSjis, kUtf8, code);
        const auto reference = Iconv("UTF-8", "CP932", code);
        if (reference) {
            ASSERT_EQ(ours.text, *reference) << std::hex << sjis;
            ASSERT_EQ(ours.substitutions, 0u);
        } else {
            // An unassigned code: one '?', or two bytes read apart when the trail is ASCII.
            ASSERT_EQ(ours.text, (sjis & 0xFF) >= 0x80 ? "?" : "?" + code.substr(1)) << std::hex << sjis;
            ASSERT_EQ(ours.substitutions, 1u);
        }
    });
    // Every BMP character (and so every duplicate choice) the way the C library writes it.
    int encodable = 0;
    for (char32_t c = 0x80; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const std::string utf8 = EncodeUtf8(std::u16string(1, static_cast<char16_t>(c)));
        const auto reference = Iconv("CP932", "UTF-8", utf8);
        const Output ours = Feed(kUtf8, kSjis, utf8);
        ASSERT_EQ(ours.text, reference ? *reference : "?") << std::hex << static_cast<unsigned>(c);
        ASSERT_EQ(ours.substitutions, reference ? 0u : 1u);
        encodable += reference.has_value();
    }
    EXPECT_GT(encodable, 7800);
}

TEST(Utf8StreamConverter, EucAndJisAgreeWithTheCLibraryOnJisX0208) {
    int compared = 0;
    for (unsigned row = 0x21; row <= 0x74; ++row) {
        for (unsigned cell = 0x21; cell <= 0x7E; ++cell) {
            const std::string jis = std::string("\x1b$B") + char(row) + char(cell) + "\x1b(B";
            // The C library's JIS reads a few characters as JIS X 0213 does (2141 as U+301C,
            // not CP932's U+FF5E), so it is compared by way of Shift_JIS.
            const auto sjis = Iconv("CP932", "ISO-2022-JP-3", jis);
            if (!sjis || row == 0x2D) continue;  // row 13 is NEC's in CP932
            const std::string utf8 = *Iconv("UTF-8", "CP932", *sjis);
            ASSERT_EQ(Convert(kJis, kUtf8, jis), utf8) << std::hex << row << cell;
            ASSERT_EQ(Iconv("CP932", "ISO-2022-JP-3", Convert(kUtf8, kJis, utf8)), *sjis);
            const std::string euc{char(row | 0x80), char(cell | 0x80)};
            if (const auto euc_reference = Iconv("UTF-8", "EUC-JP-MS", euc)) {
                ASSERT_EQ(Convert(kEuc, kUtf8, euc), *euc_reference) << std::hex << row << cell;
                ASSERT_EQ(Convert(kUtf8, kEuc, *euc_reference), *Iconv("EUC-JP-MS", "UTF-8", *euc_reference));
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 6700);
    const std::string utf8 = *Iconv("UTF-8", "CP932", CleanSjis());
    EXPECT_EQ(Convert(kSjis, kUtf8, CleanSjis()), utf8);
    EXPECT_EQ(Convert(kEuc, kUtf8, *Iconv("EUC-JP-MS", "CP932", CleanSjis())), utf8);
    EXPECT_EQ(Convert(kUtf8, kEuc, utf8), *Iconv("EUC-JP-MS", "UTF-8", utf8));
}

TEST(Utf8StreamConverter, EucAndJisReadIntoUtf8AndBackGiveTheSameCharacters) {
    auto codawa = CreateCodawa();
    std::string all_euc, all_jis;
    ForEachSjisPair([&](unsigned sjis) {
        std::string code = Code(sjis);
        std::string copy = code;
        const std::string euc = codawa->SjisToEuc(copy);
        copy = code;
        const std::string jis = codawa->SjisToJis(copy);
        all_euc += euc;
        all_jis += jis;
        const Output utf8 = Feed(kEuc, kUtf8, euc);
        ASSERT_EQ(Convert(kJis, kUtf8, jis), utf8.text) << std::hex << sjis;
        const String text = DecodeShiftJis(code);
        if (text[0] == u'\uFFFD') {  // an unassigned code: one '?' from EUC and JIS alike
            ASSERT_EQ(utf8, (Output{"?", "", 1})) << std::hex << sjis;
            return;
        }
        ASSERT_EQ(utf8, (Output{EncodeUtf8(text), "", 0})) << std::hex << sjis;
        // The code the encoder picks for the character comes back byte for byte; a
        // duplicate code comes back as the character's chosen code.
        std::string chosen = EncodeShiftJis(text);
        copy = chosen;
        ASSERT_EQ(Convert(kUtf8, kEuc, utf8.text), codawa->SjisToEuc(copy)) << std::hex << sjis;
        copy = chosen;
        ASSERT_EQ(Convert(kUtf8, kJis, utf8.text), codawa->SjisToJis(copy)) << std::hex << sjis;
        if (chosen == code) {
            ASSERT_EQ(Convert(kUtf8, kEuc, utf8.text), euc) << std::hex << sjis;
        }
    });
    // All of them in one text, where JIS switches planes in mid-stream.
    const std::string utf8 = Convert(kEuc, kUtf8, all_euc);
    EXPECT_EQ(Convert(kJis, kUtf8, all_jis), utf8);
    EXPECT_EQ(Convert(kJis, kUtf8, Convert(kUtf8, kJis, utf8)), Convert(kEuc, kUtf8, Convert(kUtf8, kEuc, utf8)));
}

TEST(Utf8StreamConverter, JisOutputUsesTheCodawaEscapesOnlyWhereTheTextChangesMode) {
    // Kanji, half-width katakana, an IBM extension kanji (the 0x8F plane), then ASCII.
    const std::string utf8 = "\xe4\xba\x9c\xef\xbd\xb1\xe2\x85\xb0x";
    EXPECT_EQ(Convert(kUtf8, kJis, utf8), "\x1b$B\x30\x21\x1b(I\x31\x1b$(D\x73\x73\x1b(Jx");
    // Blocks that end in two-byte text go on in it: no ESC ( J and fresh ESC $ B between.
    Utf8StreamConverter converter(kUtf8, kJis);
    EXPECT_EQ(converter.Convert("\xe4\xba\x9c\xe4"), "\x1b$B\x30\x21");
    EXPECT_EQ(converter.Convert("\xba\x9c"), "\x30\x21");
    EXPECT_EQ(converter.Convert("\xf0\x9f\x98\x80"), "\x1b(J?");
    EXPECT_EQ(converter.Substitutions(), 1u);
    EXPECT_EQ(converter.Convert("\xef\xbd\xb1"), "\x1b(I\x31");
    // The end of the stream returns to one-byte mode, once; a new stream starts in it.
    EXPECT_EQ(converter.Finish(), "\x1b(J");
    EXPECT_EQ(converter.Convert("\xe4\xba\x9c"), "\x1b$B\x30\x21");
    converter.Reset();
    EXPECT_EQ(converter.Finish(), "");
    EXPECT_EQ(converter.Convert("a"), "a");
}

TEST(Utf8StreamConverter, JisShiftStateLastsAcrossBlocksUntilFinishOrReset) {
    Utf8StreamConverter converter(kJis, kUtf8);
    EXPECT_EQ(converter.Convert("\x1b$"), "");
    EXPECT_EQ(converter.Convert("B0"), "");
    EXPECT_EQ(converter.Convert("!0"), "\xe4\xba\x9c");
    EXPECT_EQ(converter.Finish(), "?");  // half a character, as before a line feed
    EXPECT_EQ(converter.Convert("0!\x0e\x31\x0f"), "0!\xef\xbd\xb1");
    EXPECT_EQ(converter.Convert("\x1b$B\x0e"), "");
    converter.Reset();
    EXPECT_EQ(converter.Convert("0!1"), "0!1");
    EXPECT_EQ(converter.Substitutions(), 0u);
}

TEST(Utf8StreamConverter, EveryCutGivesWhatTheWholeTextGives) {
    struct Case {
        TextCode from, to;
        std::string input;
    };
    const std::string utf8 = MixedUtf8();
    const std::string utf8_no_esc = utf8;  // JIS output is compared without its escapes
    const Case cases[] = {
        {kSjis, kUtf8, MixedSjis()}, {kEuc, kUtf8, MixedEuc()},  {kJis, kUtf8, MixedJis()},
        {kUtf8, kSjis, utf8},        {kUtf8, kEuc, utf8},        {kUtf8, kJis, utf8_no_esc},
        {kUtf8, kUtf8, utf8},
    };
    std::mt19937 random(7);
    for (const Case& c : cases) {
        const Output whole = Feed(c.from, c.to, c.input);
        auto same = [&](Output cut) {
            if (c.to == kJis) cut.text = WithoutRedundantEscapes(cut.text);
            Output expected = whole;
            if (c.to == kJis) expected.text = WithoutRedundantEscapes(expected.text);
            return cut == expected;
        };
        for (std::size_t at = 0; at <= c.input.size(); ++at) {
            ASSERT_TRUE(same(Feed(c.from, c.to, c.input, {at}))) << int(c.from) << "->" << int(c.to) << " at " << at;
        }
        for (std::size_t step : {1, 2, 3, 5}) {
            ASSERT_TRUE(same(Feed(c.from, c.to, c.input, EveryN(c.input.size(), step)))) << step;
        }
        // A long text cut at random: kept characters meet blocks of every length.
        std::string longer;
        for (int i = 0; i < 300; ++i) longer += c.input.substr(0, c.input.size() - 4);
        const Output long_whole = Feed(c.from, c.to, longer);
        for (int round = 0; round < 20; ++round) {
            std::vector<std::size_t> cuts;
            for (std::size_t at = random() % 40; at < longer.size(); at += 1 + random() % (round < 10 ? 40 : 5000)) {
                cuts.push_back(at);
            }
            Output cut = Feed(c.from, c.to, longer, cuts);
            Output expected = long_whole;
            if (c.to == kJis) {
                cut.text = WithoutRedundantEscapes(cut.text);
                expected.text = WithoutRedundantEscapes(expected.text);
            }
            ASSERT_EQ(cut, expected) << int(c.from) << "->" << int(c.to) << " round " << round;
        }
    }
}

TEST(Utf8StreamConverter, RunsBrokenAtEveryPlaceOfTheirBlocksGiveWhatOneByteAtATimeGives) {
    // Kana and kanji runs are converted several characters per step (16-byte checks of
    // UTF-8, two pairs per lookup step); fed one byte at a time they go character by
    // character. A run is broken after 0-6 characters, behind 0-15 bytes of ASCII, by
    // something the fast steps must leave alone.
    struct Case {
        TextCode from, to;
        std::string run_char;  // one character of the run, in `from`
        std::vector<std::string> breaks;
        std::string head = "", tail = "\r\n";
    };
    const std::vector<std::string> utf8_breaks = {
        "\xe0\x80\x80", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",  // overlong, surrogates
        "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",                  // their neighbours
        "\xef\xbd\xb1", "\xe2\x85\xb0", "\xe2\x98\x83",                  // kana, 0x8F plane, none
        "\xc3\xa9", "\xf0\x9f\x98\x80", "\xe3\x81" "A", "\x80", "x", "\xe6\x97"};
    const std::vector<Case> cases = {
        {kUtf8, kSjis, "\xe6\x97\xa5", utf8_breaks},
        {kUtf8, kEuc, "\xe6\x97\xa5", utf8_breaks},
        {kUtf8, kJis, "\xe6\x97\xa5", utf8_breaks},
        {kUtf8, kUtf8, "\xe6\x97\xa5", utf8_breaks},
        {kSjis, kUtf8, "\x93\xfa", {"\x85\x40", "\x85\x9f", "\xb1\xb2", "\x80", "\x81 ", "a", "\xfc\xfc", "\x93"}},
        {kEuc, kUtf8, "\xc6\xfc",
         {"\x8e\xb1\x8e\xb2", "\x8f\xa2\xaf", "\x8f\xf3\xf3", "\xa1\x41", "\x8e\x41", "\x90", "a", "\xc6"}},
        {kJis, kUtf8, "F|",
         {"\x1b(I1\x1b$B", "\x0e" "12\x0f", "\r\n", "\x90", "0\r", "\x1b(Jab\x1b$B", "\x1b$(Dss\x1b$B",
          "\x1b&@", "\x1b$A", "\x7f\x7f", "\x1b(B"},
         "\x1b$B"},
    };
    for (const Case& c : cases) {
        for (const std::string& broken_by : c.breaks) {
            for (std::size_t ascii = 0; ascii < 16; ++ascii) {
                for (int before = 0; before <= 6; ++before) {
                    std::string input = std::string(ascii, '.') + c.head;
                    for (int i = 0; i < before; ++i) input += c.run_char;
                    input += broken_by;
                    for (int i = 0; i < 6; ++i) input += c.run_char;
                    input += c.tail;
                    Output whole = Feed(c.from, c.to, input);
                    Output bytewise = Feed(c.from, c.to, input, EveryN(input.size(), 1));
                    if (c.to == kJis) {
                        whole.text = WithoutRedundantEscapes(whole.text);
                        bytewise.text = WithoutRedundantEscapes(bytewise.text);
                    }
                    ASSERT_EQ(whole, bytewise) << int(c.from) << "->" << int(c.to) << " "
                                               << ::testing::PrintToString(input);
                }
            }
        }
    }
}

TEST(Utf8StreamConverter, ATextOfManyMegabytesWholeGivesWhatItGivesIn64KiBBlocks) {
    // Outputs this large are sized and paged in differently from those of transfer blocks.
    std::string sjis;
    while (sjis.size() < (10u << 20)) sjis += CleanSjis();
    const std::string utf8 = Convert(kSjis, kUtf8, sjis);
    EXPECT_EQ(utf8, Feed(kSjis, kUtf8, sjis, EveryN(sjis.size(), 64u << 10)).text);
    EXPECT_EQ(Feed(kUtf8, kSjis, utf8), Feed(kUtf8, kSjis, utf8, EveryN(utf8.size(), 64u << 10)));
    EXPECT_EQ(Convert(kUtf8, kSjis, utf8), sjis);
}

TEST(Utf8StreamConverter, EachCharacterThatCannotBeWrittenIsOneCountedQuestionMark) {
    // é and an emoji have no Shift_JIS form; then ill-formed UTF-8: an overlong form, an
    // encoded surrogate, a stray continuation byte, a character broken off by 'A', one past
    // U+10FFFF and bytes that never occur. Each maximal broken piece is one '?'.
    const std::string utf8 =
        "\xc3\xa9\xf0\x9f\x98\x80|\xc0\x80|\xed\xa0\x80|\x80|\xe3\x81" "A|\xf4\x90\x80\x80|\xf5\xff";
    EXPECT_EQ(Feed(kUtf8, kSjis, utf8), (Output{"??|??|???|?|?A|????|??", "", 15}));
    EXPECT_EQ(Feed(kUtf8, kEuc, utf8), (Output{"??|??|???|?|?A|????|??", "", 15}));
    EXPECT_EQ(Feed(kUtf8, kJis, utf8), (Output{"??|??|???|?|?A|????|??", "", 15}));
    EXPECT_EQ(Feed(kUtf8, kUtf8, utf8),
              (Output{"\xc3\xa9\xf0\x9f\x98\x80|??|???|?|?A|????|??", "", 13}));
    // Shift_JIS: bytes that start nothing, a lead byte before a byte it cannot take, an
    // unassigned code with an ASCII trail (read again alone) and one with a high trail.
    EXPECT_EQ(Feed(kSjis, kUtf8, "\x80\xa0\xfd\xff|\x81 |\x85\x40|\x85\x9f|\x82\xa0"),
              (Output{"????|? |?@|?|\xe3\x81\x82", "", 7}));
    // EUC: a katakana prefix before ASCII, a 0x8F prefix cut short, a lone two-byte lead, a
    // JIS X 0212 character Shift_JIS lacks, a C1 byte.
    EXPECT_EQ(Feed(kEuc, kUtf8, "\x8e\x41|\x8f\xa1\x41|\xa1\x41|\x8f\xa2\xaf|\x90|\xa4\xa2"),
              (Output{"?A|??A|?A|?|?|\xe3\x81\x82", "", 6}));
    // JIS: half a kanji before CR, a stray high byte, and 8-bit katakana (a character).
    EXPECT_EQ(Feed(kJis, kUtf8, "\x1b$B\x30\r\n\x1b(B\x90\xb1"), (Output{"?\r\n?\xef\xbd\xb1", "", 2}));
    // A character cut by the end of the stream is replaced and counted as the same bytes are
    // in mid-stream, where a byte that cannot continue them follows (the cases above).
    EXPECT_EQ(Feed(kUtf8, kSjis, "a\xe3\x81"), (Output{"a", "?", 1}));
    EXPECT_EQ(Feed(kUtf8, kJis, "\xe6\x97\xa5\xe3\x81"), (Output{"\x1b$BF|", "\x1b(J?", 1}));
    EXPECT_EQ(Feed(kUtf8, kUtf8, "a\xf0\x9f\x98"), (Output{"a", "?", 1}));
    EXPECT_EQ(Feed(kSjis, kUtf8, "a\x93"), (Output{"a", "?", 1}));
    EXPECT_EQ(Feed(kEuc, kUtf8, "a\xa4"), (Output{"a", "?", 1}));
    EXPECT_EQ(Feed(kEuc, kUtf8, "a\x8f\xa1"), (Output{"a", "??", 2}));
    EXPECT_EQ(Feed(kJis, kUtf8, "\x1b$BF"), (Output{"", "?", 1}));
    // An escape sequence cut short is an unknown one, copied as it is in mid-stream.
    EXPECT_EQ(Feed(kJis, kUtf8, "a\x1b$("), (Output{"a", "\x1b$(", 0}));
}

TEST(Utf8StreamConverter, CountStaysUntilResetAndOnlyUtf8PairsExist) {
    Utf8StreamConverter converter(kUtf8, kSjis);
    converter.Convert("\xc3\xa9");
    converter.Convert("\xe3");
    EXPECT_EQ(converter.Finish(), "?");
    converter.Convert("\xc3\xa9");
    EXPECT_EQ(converter.Substitutions(), 3u);
    converter.Convert("\xe3");
    converter.Reset();
    EXPECT_EQ(converter.Substitutions(), 0u);
    EXPECT_EQ(converter.Convert("\x81\x82"), "??");  // nothing kept from before Reset
    EXPECT_THROW(Utf8StreamConverter(kSjis, kEuc), std::invalid_argument);
}

TEST(Utf8Text, DecodeKeepsACutCharacterAndPairsSurrogates) {
    const std::string emoji = "\xf0\x9f\x98\x80";
    for (std::size_t cut = 1; cut < 4; ++cut) {
        std::string bytes = "a" + emoji.substr(0, cut);
        EXPECT_EQ(DecodeUtf8(bytes), u"a");
        EXPECT_EQ(bytes, emoji.substr(0, cut));
        bytes += emoji.substr(cut) + "\xe6\x97\xa5";
        EXPECT_EQ(DecodeUtf8(bytes), u"\U0001F600\u65E5");
        EXPECT_TRUE(bytes.empty());
    }
    std::string bad = "\xc0\x80\xed\xa0\x80\x80x";
    EXPECT_EQ(DecodeUtf8(bad), u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDx");
    EXPECT_TRUE(bad.empty());

    EXPECT_EQ(EncodeUtf8(u"a\u00e9\u65E5\U0001F600\uFFFF"), "a\xc3\xa9\xe6\x97\xa5" + emoji + "\xef\xbf\xbf");
    const char16_t lone_high[] = {u'x', 0xD83D, u'y', 0};
    const char16_t lone_low[] = {0xDE00, 0xD83D, 0};
    EXPECT_EQ(EncodeUtf8(lone_high), "x?y");
    EXPECT_EQ(EncodeUtf8(lone_low), "??");
    EXPECT_FALSE(IsUtf8Encodable(lone_high));
    EXPECT_FALSE(IsUtf8Encodable(lone_low));
    EXPECT_TRUE(IsUtf8Encodable(u"\U0001F600\u65E5"));
}

}  // namespace
}  // namespace tarselctl::testing

namespace tarselctl {
namespace {

// The public FromUtf8/ToUtf8 and the command channel's stream forms are one codec: on
// complete text they read every ill-formed sequence alike, and differ only where they are
// meant to (a character cut at the end; the mark for an unpaired surrogate).
TEST(Utf16Codec, PublicAndStreamFormsReadAndWriteAlike) {
    const std::string inputs[] = {"a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80",  // 1-4 bytes
                                  "\xE0\x80\x80x", "\xED\xA0\x80y", "\xF4\x90\x80\x80z",
                                  "\xC0\xAF\x80\xFF", "\xE6\x97" "a", "\xF0\x9F\x98" "b"};
    for (const std::string& input : inputs) {
        std::string stream = input + "\n";
        String streamed = DecodeUtf8(stream);
        ASSERT_TRUE(stream.empty());
        streamed.pop_back();
        EXPECT_EQ(FromUtf8(input), streamed) << input;
    }
    std::string cut = "x\xE6\x97";
    EXPECT_EQ(DecodeUtf8(cut), u"x");
    EXPECT_EQ(cut, "\xE6\x97");
    EXPECT_EQ(FromUtf8("x\xE6\x97"), u"x\uFFFD");
    const std::u16string lone = {u'a', 0xD800, u'b'};
    EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(EncodeUtf8(lone), "a?b");
    EXPECT_EQ(ToUtf8(u"\U0001F600\u65E5"), EncodeUtf8(u"\U0001F600\u65E5"));
}

}  // namespace
}  // namespace tarselctl
