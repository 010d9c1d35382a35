// UTF-8 streams: file contents and control-connection text converted block by block between
// UTF-8 and the Japanese codes (Shift_JIS as CP932, EUC-JP, JIS); UTF-8 <-> UTF-16 is in
// code_converters/utf16_codec.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <tarsel/types.h>

#include "code_converters/byte_conversions.h"
#include "code_converters/jis_escapes.h"
#include "code_converters/utf16_codec.h"

namespace tarselctl {

enum class TextCode { Sjis, Euc, Jis, Utf8 };

/// Converts one stream of text, block by block, between two codes of which at least one is
/// Utf8 (Utf8 -> Utf8 passes complete characters, checking them).
///
/// Shift_JIS is CP932; EUC-JP and JIS map every character as the Codawa converters do, so
/// that EUC or JIS text read into UTF-8 and written back gives the same characters.
/// Every character or byte sequence that cannot be written in the target code becomes one
/// '?' and is counted: characters the target lacks (emoji in Shift_JIS, U+00E9, codes that
/// no vendor assigned), ill-formed UTF-8 (each maximal prefix of a character that cannot be
/// completed counts once: overlong forms, surrogates, code points past U+10FFFF, stray
/// continuation bytes), and bytes that form no Shift_JIS, EUC or JIS character. ASCII
/// passes unchanged, CR and LF included. JIS output keeps its mode from block to block (an
/// escape is written where the text changes mode, not where a block ends) and returns to
/// one-byte mode, with ESC ( J, at Finish.
class Utf8StreamConverter {
public:
    /// Throws std::invalid_argument unless `from` or `to` is Utf8.
    Utf8StreamConverter(TextCode from, TextCode to);

    /// Converts the complete characters of the kept bytes followed by `block`, and keeps a
    /// character (or JIS escape sequence) cut at the end for the next call.
    std::string Convert(std::string_view block);
    /// End of the stream: converts the kept bytes as nothing can complete them any more (a
    /// character cut at the end becomes '?' and is counted, as the same bytes in mid-stream
    /// would), returns JIS output to one-byte mode, and starts over (shift states included,
    /// the count not).
    std::string Finish();
    /// How many characters were written as '?' since construction or Reset: a character with
    /// no form in the target code, or source bytes that form no character.
    std::uint64_t Substitutions() const { return substitutions_; }
    /// Back to the initial state: nothing kept, JIS shift state initial, count 0.
    void Reset();

private:
    // Converts the complete characters at the front of `in`, appending to `out`; returns how
    // many bytes of `in` it used.
    std::size_t Run(std::string_view in, std::string& out);

    TextCode from_;
    TextCode to_;
    std::string kept_;
    std::uint64_t substitutions_ = 0;
    jcode::JisDecoder::Mode jis_mode_ = jcode::JisDecoder::Mode::kAscii;
    bool jis_shifted_out_ = false;
    jcode::OutputMode jis_out_mode_ = jcode::OutputMode::kOneByte;
};

}  // namespace tarselctl
