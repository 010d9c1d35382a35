// Bytes that form no character: copied as they are, never taking the next byte along, and
// nothing read past the end of any input.
#include <gtest/gtest.h>

#include <random>

#include "code_converters/codawa_samples.h"

namespace tarselctl::testing {
namespace {

std::string Once(ByteMethod method, std::string& buffer) {
    auto codawa = CreateCodawa();
    return ((*codawa).*method)(buffer);
}

TEST(CodawaInvalidInput, ABadLeadByteKeepsTheBytesAfterIt) {
    for (auto method : {&Codawa::SjisToEuc, &Codawa::SjisToJis, &Codawa::SjisToSjis, &Codawa::EucToSjis,
                        &Codawa::JisToSjis}) {
        std::string buffer = "\x81\x20x";
        EXPECT_EQ(Once(method, buffer), "\x81\x20x");
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(CodawaInvalidInput, EucSequencesThatFormNoCharacterPassByteByByte) {
    struct {
        std::string in, out;
    } cases[] = {
        {"\x8e\x41", "\x8e\x41"},             // katakana prefix without katakana
        {"\x8e\xe0\x41", "\x8e\xe0\x41"},     // ... or with a byte beyond them
        {"\x8f\xa1\x41", "\x8f\xa1\x41"},     // 0x8F plane cut by ASCII
        {"\xa1\x41", "\xa1\x41"},             // two-byte lead without its second byte
        {"\x80\x8d\xa0\xff", "\x80\x8d\xa0\xff"},
        {"\x8f\xa2\xaf", "?"},                // JIS X 0212 breve: no Shift_JIS form
        {"\x8f\xf3\xf3", "\xfa\x40"},         // EUC-JP-MS small roman one
    };
    for (const auto& c : cases) {
        std::string buffer = c.in;
        EXPECT_EQ(Once(&Codawa::EucToSjis, buffer), c.out);
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(CodawaInvalidInput, JisOddBytesAndUnknownEscapesPass) {
    struct {
        std::string in, out;
    } cases[] = {
        {"\x1b$B\x30\r\n\x1b(B", "\x30\r\n"},  // a kanji cut by a line end
        {"\x1b$B\x30\x21\x7f", "\x88\x9f\x7f"},
        {"\x1b(Zq\x1b$", "\x1b(Zq"},           // unknown passes; a cut escape waits
        {"\x1b(I\x60\x21", "\x60\xa1"},        // past the katakana range
        {"\x1b$(D\x22\x2f\x1b(B", "?"},
        {"\x80\xff", "\x80\xff"},
    };
    for (const auto& c : cases) {
        std::string buffer = c.in;
        EXPECT_EQ(Once(&Codawa::JisToSjis, buffer), c.out);
    }
}

TEST(CodawaInvalidInput, TruncatedCharactersWaitInTheBuffer) {
    struct {
        ByteMethod method;
        std::string in, left;
    } cases[] = {
        {&Codawa::SjisToEuc, "a\x88", "\x88"},     {&Codawa::SjisToJis, "a\x88", "\x88"},
        {&Codawa::SjisToSjis, "\x88\x9f\x88", "\x88"}, {&Codawa::SjisToSjis, "\x88\x88\x88", "\x88"},
        {&Codawa::SjisToSjis, "a\x9f\x88", ""},   {&Codawa::EucToSjis, "\xb0", "\xb0"},
        {&Codawa::EucToSjis, "\x8e", "\x8e"},     {&Codawa::EucToSjis, "\x8f\xa1", "\x8f\xa1"},
        {&Codawa::JisToSjis, "\x1b$(", "\x1b$("}, {&Codawa::JisToSjis, "\x1b$B\x30", "\x30"},
    };
    for (const auto& c : cases) {
        std::string buffer = c.in;
        Once(c.method, buffer);
        EXPECT_EQ(buffer, c.left) << ::testing::PrintToString(c.in);
    }
}

TEST(CodawaInvalidInput, RandomBytesConvertTheSameCutOrWhole) {
    // The fuzzer's property, kept as a quick regression: random bytes weighted towards the
    // bytes that matter, every conversion, random cuts.
    std::mt19937 rng(20240607);
    const unsigned char interesting[] = {0x1b, '$', '(', 'B', 'J', 'I', 'D', '@', 0x0e, 0x0f, 0x8e, 0x8f,
                                         0x81, 0x9f, 0xe0, 0xfc, 0xa1, 0xdf, 0xfe, 0x21, 0x7e, 0x0d, 0x0a};
    const ByteMethod methods[] = {&Codawa::SjisToEuc, &Codawa::EucToSjis, &Codawa::JisToSjis,
                                  &Codawa::SjisToSjis, &Codawa::ToSjis};
    for (int round = 0; round < 3000; ++round) {
        std::string input(rng() % 40, '\0');
        for (char& c : input) {
            c = static_cast<char>(rng() % 2 ? interesting[rng() % sizeof interesting] : rng() % 256);
        }
        std::vector<std::size_t> cuts;
        for (std::size_t i = 1; i < input.size(); ++i) {
            if (rng() % 3 == 0) cuts.push_back(i);
        }
        for (ByteMethod method : methods) {
            const char16_t* code = rng() % 2 ? u"SJIS" : u"EUC";
            ASSERT_EQ(Feed(method, input, cuts, code), Feed(method, input, {}, code))
                << ::testing::PrintToString(input);
        }
        const Result whole = Feed(&Codawa::SjisToJis, input, {});
        const Result cut = Feed(&Codawa::SjisToJis, input, cuts);
        if (input.find('\x1b') == std::string::npos) {  // a raw ESC would read as an escape
            ASSERT_EQ(WithoutRedundantEscapes(cut.out), whole.out) << ::testing::PrintToString(input);
        }
        ASSERT_EQ(cut.left, whole.left);
    }
}

}  // namespace
}  // namespace tarselctl::testing
