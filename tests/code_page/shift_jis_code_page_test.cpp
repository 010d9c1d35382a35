// The CP932 code page: every code against the C library's CP932, invalid input, threads.
#include <gtest/gtest.h>

#include <tarsel/code_page.h>

#include <thread>

#include "code_converters/iconv_reference.h"

namespace tarselctl::testing {
namespace {

std::u16string FromUtf16Le(const std::string& bytes) {
    std::u16string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                     static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return out;
}

std::string ToUtf16Le(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

TEST(ShiftJisCodePage, DecodesEveryCodeAsTheCLibraryDoes) {
    for (unsigned b = 0; b < 0x100; ++b) {
        const std::string byte = Code(b);
        const auto reference = Iconv("UTF-16LE", "CP932", byte);
        if (reference) {
            ASSERT_EQ(DecodeShiftJis(byte), FromUtf16Le(*reference)) << std::hex << b;
        } else if (!(b >= 0x81 && b <= 0x9F) && !(b >= 0xE0 && b <= 0xFC)) {
            ASSERT_EQ(DecodeShiftJis(byte), u"\xFFFD") << std::hex << b;
        }
    }
    int assigned = 0;
    ForEachSjisPair([&](unsigned code) {
        const auto reference = Iconv("UTF-16LE", "CP932", Code(code));
        const std::u16string ours = DecodeShiftJis(Code(code));
        if (reference) {
            ++assigned;
            ASSERT_EQ(ours, FromUtf16Le(*reference)) << std::hex << code;
        } else if ((code & 0xFF) < 0x80) {
            ASSERT_EQ(ours, std::u16string(u"\xFFFD") + static_cast<char16_t>(code & 0xFF)) << std::hex << code;
        } else {
            ASSERT_EQ(ours, u"\xFFFD") << std::hex << code;
        }
    });
    EXPECT_EQ(assigned, 9604);  // 7724 characters plus 1880 user-defined
}

TEST(ShiftJisCodePage, EncodesEveryBmpCharacterAsTheCLibraryDoes) {
    for (unsigned c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const std::u16string text(1, static_cast<char16_t>(c));
        const auto reference = Iconv("CP932", "UTF-16LE", ToUtf16Le(text));
        ASSERT_EQ(EncodeShiftJis(text), reference ? *reference : "?") << std::hex << c;
    }
}

TEST(ShiftJisCodePage, BadSequencesDecodeToReplacementWithoutHidingWhatFollows) {
    EXPECT_EQ(DecodeShiftJis("\x81\x20x"), u"\xFFFD x");
    EXPECT_EQ(DecodeShiftJis("ab\x88"), u"ab\xFFFD");
    EXPECT_EQ(DecodeShiftJis("\x88\r\n"), u"\xFFFD\r\n");
    EXPECT_EQ(DecodeShiftJis("\x85\x41" "B"), u"\xFFFD" u"AB");  // unassigned, ASCII trail kept
    EXPECT_EQ(DecodeShiftJis("\x85\xa1" "B"), u"\xFFFD" u"B");   // unassigned pair: one mark
    EXPECT_EQ(DecodeShiftJis("\x80\xa0\xfd\xfe\xff"), u"\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD");
    EXPECT_EQ(DecodeShiftJis(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(DecodeShiftJis("226 \x93\xfa\x96\x7b\xb1 transfer complete"),
              u"226 \u65e5\u672c\uff71 transfer complete");
}

TEST(ShiftJisCodePage, SurrogatesAndUnmappableCharactersBecomeQuestionMarks) {
    EXPECT_EQ(EncodeShiftJis(u"a\U0001F600b"), "a?b");  // one mark for the pair
    EXPECT_EQ(EncodeShiftJis(u"a\xD800"), "a?");
    EXPECT_EQ(EncodeShiftJis(u"\xDC00\xD800x"), "??x");
    EXPECT_EQ(EncodeShiftJis(u"\u00e9\u4e02"), "??");
    EXPECT_EQ(EncodeShiftJis(u"\u00a5\u301c"), "\x5c\x81\x60");  // one-way mappings
}

// What the encoder would have to replace is exactly what the check calls unencodable.
TEST(ShiftJisCodePage, EncodableIsExactlyWhatTheEncoderWritesWithoutAQuestionMark) {
    int encodable = 0;
    for (unsigned c = 0; c < 0x10000; ++c) {
        const std::u16string text(1, static_cast<char16_t>(c));
        const bool replaced = c != u'?' && EncodeShiftJis(text) == "?";
        ASSERT_EQ(IsShiftJisEncodable(text), !replaced) << std::hex << c;
        encodable += !replaced;
    }
    EXPECT_GT(encodable, 7000);
    EXPECT_TRUE(IsShiftJisEncodable(u""));
    EXPECT_TRUE(IsShiftJisEncodable(std::u16string_view(u"a\0?\u00a5\uff71\u65e5", 6)));
    EXPECT_FALSE(IsShiftJisEncodable(u"abc\U0001F600"));  // no pair has a form
    EXPECT_FALSE(IsShiftJisEncodable(u"\u65e5\u00e9"));
}

TEST(ShiftJisCodePage, ConcurrentCallsGiveTheSameResults) {
    std::u16string text;
    for (char16_t c = 0x3000; c < 0x9FFF; c += 7) text += c;
    const std::string expected = EncodeShiftJis(text);
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            bool same = true;
            for (int i = 0; i < 50; ++i) same = same && EncodeShiftJis(text) == expected &&
                                                DecodeShiftJis(expected).size() > text.size() / 2;
            ok[t] = same;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

}  // namespace
}  // namespace tarselctl::testing
