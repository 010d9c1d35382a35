// Which code every character lands on: round trips of all of Shift_JIS, and agreement with
// the C library's CP932, EUC-JP-MS and ISO-2022-JP-3 converters on the standard set.
#include <gtest/gtest.h>

#include <set>

#include "code_converters/codawa_samples.h"
#include "code_converters/iconv_reference.h"

namespace tarselctl::testing {
namespace {

std::string Convert(ByteMethod method, std::string input) {
    auto codawa = CreateCodawa();
    std::string out = ((*codawa).*method)(input);
    EXPECT_TRUE(input.empty());
    return out;
}

bool IsNecRow13(unsigned sjis) { return sjis >> 8 == 0x87 && (sjis & 0xFF) < 0x9F; }

TEST(CodawaMapping, EveryTwoByteShiftJisCodeComesBackFromEucAndJis) {
    std::set<std::string> euc_codes, jis_codes;
    std::string all;
    ForEachSjisPair([&](unsigned sjis) {
        const std::string code = Code(sjis);
        all += code;
        const std::string euc = Convert(&Codawa::SjisToEuc, code);
        const std::string jis = Convert(&Codawa::SjisToJis, code);
        ASSERT_EQ(Convert(&Codawa::EucToSjis, euc), code) << std::hex << sjis;
        ASSERT_EQ(Convert(&Codawa::JisToSjis, jis), code) << std::hex << sjis;
        ASSERT_TRUE(euc_codes.insert(euc).second) << std::hex << sjis;
        ASSERT_TRUE(jis_codes.insert(jis).second) << std::hex << sjis;
    });
    EXPECT_EQ(euc_codes.size(), 11280u);
    // And all of them in one text, where long runs are converted several characters per step
    // and JIS switches planes in mid-stream: each character as it converts alone.
    std::string euc_one_by_one, sjis_from_jis_one_by_one;
    ForEachSjisPair([&](unsigned sjis) {
        euc_one_by_one += Convert(&Codawa::SjisToEuc, Code(sjis));
        sjis_from_jis_one_by_one += Convert(&Codawa::JisToSjis, Convert(&Codawa::SjisToJis, Code(sjis)));
    });
    const std::string euc = Convert(&Codawa::SjisToEuc, all);
    const std::string jis = Convert(&Codawa::SjisToJis, all);
    EXPECT_EQ(euc, euc_one_by_one);
    EXPECT_EQ(Convert(&Codawa::EucToSjis, euc), all);
    EXPECT_EQ(Convert(&Codawa::JisToSjis, jis), all);
    EXPECT_EQ(sjis_from_jis_one_by_one, all);
    std::string jis_two_byte_plane = "\x1b$B";  // every pair of rows 1-94 in one run, decoded alone
    std::string expected;
    for (unsigned first = 0x21; first <= 0x7E; ++first) {
        for (unsigned second = 0x21; second <= 0x7E; ++second) {
            const std::string pair{static_cast<char>(first), static_cast<char>(second)};
            jis_two_byte_plane += pair;
            expected += Convert(&Codawa::JisToSjis, "\x1b$B" + pair);
        }
    }
    EXPECT_EQ(Convert(&Codawa::JisToSjis, jis_two_byte_plane), expected);
}

TEST(CodawaMapping, JisX0208AndKatakanaAgreeWithEucJpMs) {
    int compared = 0;
    ForEachSjisPair([&](unsigned sjis) {
        if (sjis >= 0xEB00) return;  // rows 1-84 only; the vendor rows are checked below
        const std::string code = Code(sjis);
        const auto reference = Iconv("EUC-JP-MS", "CP932", code);
        if (!reference) return;
        const std::string ours = Convert(&Codawa::SjisToEuc, code);
        if (IsNecRow13(sjis)) {
            // The C library folds the nine NEC duplicates of row 2 into row 2; row 13 is
            // kept here so that they come back as they were.
            const char cell = static_cast<char>(sjis - 0x8740 + 0xA1 - (sjis >= 0x8780));
            EXPECT_EQ(ours, (std::string{'\xad', cell}));
        } else {
            ASSERT_EQ(ours, *reference) << std::hex << sjis;
        }
        ++compared;
    });
    EXPECT_GT(compared, 6879 + 80);
    for (unsigned row = 0xA1; row <= 0xF4; ++row) {
        for (unsigned cell = 0xA1; cell <= 0xFE; ++cell) {
            const std::string euc{static_cast<char>(row), static_cast<char>(cell)};
            const auto reference = Iconv("CP932", "EUC-JP-MS", euc);
            if (!reference || row == 0xAD) continue;
            ASSERT_EQ(Convert(&Codawa::EucToSjis, euc), *reference) << std::hex << row << cell;
        }
    }
    for (unsigned kana = 0xA1; kana <= 0xDF; ++kana) {
        const std::string sjis = Code(kana);
        EXPECT_EQ(Convert(&Codawa::SjisToEuc, sjis), *Iconv("EUC-JP-MS", "CP932", sjis));
        EXPECT_EQ(Convert(&Codawa::EucToSjis, *Iconv("EUC-JP-MS", "CP932", sjis)), sjis);
    }
}

TEST(CodawaMapping, JisX0208AndKatakanaAgreeWithIso2022Jp3) {
    int compared = 0;
    for (unsigned row = 0x21; row <= 0x74; ++row) {
        for (unsigned cell = 0x21; cell <= 0x7E; ++cell) {
            const std::string jis =
                std::string("\x1b$B") + static_cast<char>(row) + static_cast<char>(cell) + "\x1b(B";
            const auto reference = Iconv("CP932", "ISO-2022-JP-3", jis);
            if (!reference) continue;
            ASSERT_EQ(Convert(&Codawa::JisToSjis, jis), *reference) << std::hex << row << cell;
            // What we write for that character the C library reads back the same way.
            EXPECT_EQ(Iconv("CP932", "ISO-2022-JP-3", Convert(&Codawa::SjisToJis, *reference)), *reference);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 6879);
    std::string kana;
    for (unsigned b = 0xA1; b <= 0xDF; ++b) kana += static_cast<char>(b);
    const std::string text = "ab" + kana + "\x88\x9f" + kana;
    EXPECT_EQ(Iconv("CP932", "ISO-2022-JP-3", Convert(&Codawa::SjisToJis, text)), text);
    EXPECT_EQ(Convert(&Codawa::JisToSjis, *Iconv("ISO-2022-JP-3", "CP932", text)), text);
}

TEST(CodawaMapping, VendorCodesFollowEucJpMsWhereItKeepsThemApartAndElseUseRowsNobodyReads) {
    ForEachSjisPair([&](unsigned sjis) {
        if (sjis < 0xEB00) return;
        const std::string code = Code(sjis);
        const std::string ours = Convert(&Codawa::SjisToEuc, code);
        const auto reference = Iconv("EUC-JP-MS", "CP932", code);
        const bool user_defined = sjis >= 0xF040 && sjis <= 0xF9FC;
        const bool ibm = sjis >= 0xFA40 && sjis <= 0xFC4B;
        if (user_defined || (ibm && reference && reference->size() == 3)) {
            ASSERT_EQ(ours, *reference) << std::hex << sjis;
            ASSERT_EQ(Iconv("CP932", "EUC-JP-MS", ours), code) << std::hex << sjis;
        } else {
            // NEC-selected duplicates, codes folded onto rows 2 and 13, unassigned codes:
            // an EUC-JP-MS reader rejects them rather than reading another character.
            ASSERT_EQ(ours.size(), 3u) << std::hex << sjis;
            ASSERT_FALSE(Iconv("UTF-16LE", "EUC-JP-MS", ours)) << std::hex << sjis;
        }
    });
}

TEST(CodawaMapping, HalfWidthKatakanaStayHalfWidth) {
    std::string kana;
    for (unsigned b = 0xA1; b <= 0xDF; ++b) kana += static_cast<char>(b);
    const std::string euc = Convert(&Codawa::SjisToEuc, kana);
    ASSERT_EQ(euc.size(), 2 * kana.size());
    EXPECT_EQ(euc.substr(0, 4), "\x8e\xa1\x8e\xa2");
    const std::string jis = Convert(&Codawa::SjisToJis, kana);
    EXPECT_EQ(jis.substr(0, 5), "\x1b(I\x21\x22");
    EXPECT_EQ(jis.substr(jis.size() - 4), "\x5f\x1b(J");
    // Read back from every form JIS has for them: ESC ( I, SO/SI and 8-bit bytes.
    std::string seven_bit;
    for (unsigned b = 0x21; b <= 0x5F; ++b) seven_bit += static_cast<char>(b);
    EXPECT_EQ(Convert(&Codawa::JisToSjis, jis), kana);
    EXPECT_EQ(Convert(&Codawa::JisToSjis, "\x0e" + seven_bit + "\x0f"), kana);
    EXPECT_EQ(Convert(&Codawa::JisToSjis, kana), kana);
    EXPECT_EQ(Convert(&Codawa::EucToSjis, euc), kana);
}

}  // namespace
}  // namespace tarselctl::testing
