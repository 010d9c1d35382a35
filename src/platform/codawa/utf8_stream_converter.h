// UTF-8 streams to and from the Japanese codes, block by block.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <tarsel/types.h>

namespace tarselctl {

enum class TextCode { Sjis, Euc, Jis, Utf8 };

/// Converts one stream of text, block by block, between two codes of which at least one is
/// Utf8 (Utf8 -> Utf8 passes complete characters, checking them).
class Utf8StreamConverter {
public:
    Utf8StreamConverter(TextCode from, TextCode to);
    /// Converts the complete characters of the kept bytes followed by `block`, and keeps a
    /// character (or JIS escape sequence) cut at the end for the next call.
    std::string Convert(std::string_view block);
    /// End of the stream: returns the kept bytes unconverted (a cut character at the end of a
    /// file arrives as it was) and starts over (shift state included).
    std::string Finish();
    /// How many characters were written as '?' since construction or Reset: a character with
    /// no form in the target code, or source bytes that form no character.
    std::uint64_t Substitutions() const;
    /// Back to the initial state: nothing kept, JIS shift state initial, count 0.
    void Reset();

private:
    TextCode from_;
    TextCode to_;
    std::string kept_;
    std::uint64_t substitutions_ = 0;
};

/// Complete UTF-8 characters at the front of `bytes` to UTF-16; removes them from `bytes`
/// and leaves a character cut at the end there. Bytes that form no character decode to U+FFFD.
String DecodeUtf8(std::string& bytes);
/// UTF-16 to UTF-8; an unpaired surrogate becomes '?'.
std::string EncodeUtf8(std::u16string_view text);
/// True when `text` has no unpaired surrogate (every character has a UTF-8 form).
bool IsUtf8Encodable(std::u16string_view text);

}  // namespace tarselctl
