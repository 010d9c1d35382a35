// Inputs that hold every class of character the converters tell apart, and the harness that
// feeds them whole or cut into pieces.
#pragma once

#include <tarsel/codawa.h>

#include <string>
#include <vector>

namespace tarselctl::testing {

/// Shift_JIS with ASCII, CR LF, JIS X 0208 kanji and kana, half-width katakana, NEC row
/// 13, user-defined, IBM and NEC-selected extensions, unassigned codes, bytes that form no
/// character, and a lead byte cut off at the end.
inline std::string MixedSjis() {
    return std::string("get file.txt\r\n") +
           "\x82\xa0\x82\xa2\x88\x9f\x8e\x9a\xea\xa4" +  // hiragana, kanji up to row 84
           "\xb1\xb2\xdf" + "abc" + "\xb3" +           // half-width katakana around ASCII
           "\x87\x40\x87\x90\x87\x9c" +                 // NEC row 13, with duplicates of row 2
           "\xf0\x40\xf4\xfc\xf5\x40\xf9\xfc" +         // user-defined, both halves
           "\xfa\x40\xfa\x4a\xfa\x5b\xfb\xfc\xfc\x4b" + // IBM extensions, folded ones too
           "\xed\x40\xee\xfc\xeb\x40\xef\xfc\xfc\xfc" + // NEC-selected, unassigned
           "\x81\x20x\x80\xa0\xfd\xfe\xff\x5c\x7e" +    // no character; yen sign, tilde
           "\r\n\x93\xfa\x96\x7b\x82";                  // ends in a cut lead byte
}

/// EUC-JP with two-byte, 0x8F-plane and katakana characters, bytes that form no character,
/// a JIS X 0212 character Shift_JIS lacks, and a cut three-byte character at the end.
inline std::string MixedEuc() {
    return std::string("euc\r\n\xa4\xa2\xb0\xa1\xad\xa1\xf5\xa1\x8e\xb1\x8f\xf5\xa1\x8f\xf4\xfb") +
           "\x8e\x41\x8f\xa1\x41\xa1\x41\x80\xff\x8f\xa2\xaf\x8e" + "\xfe\xfe\x8f\xa1";
}

/// JIS with every escape the decoder reads, SO/SI, 8-bit katakana, an unknown escape, and
/// an escape sequence cut at the end.
inline std::string MixedJis() {
    return std::string("jis \x1b$B\x30\x21\x24\x22\r\n\x30\x22\x1b(J\\~") +
           "\x1b$@\x30\x21\x1b(B ok \x1b(I\x31\x5f\x1b(H" + "\x0e\x31\x32\x0f" + "\xb1" +
           "\x1b&@\x1b$B\x2d\x21\x75\x21\x1b(B" + "\x1b$(D\x75\x21\x22\x2f\x1b(B" +
           "\x1b(Zq\x1b$Zr\x1b$(Zs\x1b&Zt" + "\x1b$B\x30\x21\x7f\x30\x1b(J" + "\x1b$(";
}

using ByteMethod = std::string (Codawa::*)(std::string&);

/// What a conversion returned in total, and what it left in the buffer.
struct Result {
    std::string out;
    std::string left;
    bool operator==(const Result&) const = default;
};

/// `input` fed to a fresh instance in pieces ending at each of `cuts`, then the rest; the
/// buffer is carried between calls the way a receiver carries it.
inline Result Feed(ByteMethod method, const std::string& input, const std::vector<std::size_t>& cuts,
                   const char16_t* code_name = u"SJIS") {
    auto codawa = CreateCodawa();
    codawa->put_CodeName(code_name);
    Result r;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        r.left.append(input, from, cut - from);
        r.out += ((*codawa).*method)(r.left);
        from = cut;
    }
    r.left.append(input, from, std::string::npos);
    r.out += ((*codawa).*method)(r.left);
    return r;
}

/// Cuts every `step` bytes.
inline std::vector<std::size_t> EveryN(std::size_t size, std::size_t step) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = step; i < size; i += step) cuts.push_back(i);
    return cuts;
}

/// JIS output with its redundant escapes dropped: one followed at once by another, and
/// one that selects the mode already in force. Output cut into blocks differs from whole
/// output only by those.
inline std::string WithoutRedundantEscapes(const std::string& jis) {
    auto escape_length = [&](std::size_t i) -> std::size_t {
        if (jis[i] != '\x1b') return 0;
        return jis.compare(i, 4, "\x1b$(D") == 0 ? 4 : 3;
    };
    std::string out, mode = "\x1b(J";
    for (std::size_t i = 0; i < jis.size();) {
        std::size_t n = escape_length(i);
        if (n == 0) {
            out += jis[i++];
            continue;
        }
        std::string escape = jis.substr(i, n);
        i += n;
        if ((i < jis.size() && escape_length(i) != 0) || escape == mode) continue;
        out += escape;
        mode = escape;
    }
    return out;
}

}  // namespace tarselctl::testing
