// The byte-text conversions between Shift_JIS, EUC-JP and JIS, as pure functions.
//
// Each converts the complete characters at the front of its input, writes the result and
// returns how many input bytes it used; what is left is an incomplete character
// (or escape sequence) that the caller keeps and completes with later bytes. Bytes that form
// no character are copied unchanged, one at a time, so they never take a following byte
// with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarselctl::jcode {

/// Shift_JIS to EUC-JP: half-width katakana become 8E xx, the rest as in jis_code_map.h.
std::size_t SjisToEuc(std::string_view in, std::string& out);

/// EUC-JP to Shift_JIS. A 0x8F-plane character without a Shift_JIS code becomes '?' and is
/// added to `substitutions`. Writes at most `size` bytes to `out`, which may be `in` itself
/// (conversion in place); sets `written` to their number.
std::size_t EucToSjis(const char* in, std::size_t size, char* out, std::size_t& written,
                      std::uint64_t& substitutions);

/// Shift_JIS to JIS. Starts in one-byte mode and returns to it (ESC ( J) at the end.
/// Two-byte text follows ESC $ B, the 0x8F plane ESC $ ( D, half-width katakana ESC ( I
/// as seven-bit bytes 21-5F; bytes that form no character are copied in one-byte mode.
std::size_t SjisToJis(std::string_view in, std::string& out);

/// Converts Shift_JIS to EUC-JP where it stands, as far as every character keeps its length
/// (ASCII, the two-byte plane, bytes that form no character), and returns how far that
/// is: up to a half-width katakana, a 0x8F-plane character or a lead byte cut at the end.
/// That front is exactly what SjisToEuc gives for it.
std::size_t SjisToEucSameLength(char* text, std::size_t size);

/// Length of the run of ASCII bytes at the front: what SjisToJis copies unchanged.
std::size_t AsciiLength(std::string_view text);

/// Length of the front of Shift_JIS text that holds only complete characters.
std::size_t SjisCompleteLength(std::string_view in);

/// JIS (ISO-2022-JP) to Shift_JIS, keeping the shift state between calls.
///
/// Reads ESC $ B and ESC $ @ (two-byte JIS X 0208), ESC $ ( B (the same), ESC $ ( D (the
/// 0x8F plane), ESC ( B (ASCII), ESC ( J and ESC ( H (JIS Roman), ESC ( I (half-width
/// katakana), SO/SI (half-width katakana while shifted out) and 8-bit katakana bytes A1-DF
/// in any mode; ESC & @ is dropped. Control bytes pass in every mode. An unknown escape
/// sequence is copied as it is.
class JisDecoder {
public:
    enum class Mode : std::uint8_t { kAscii, kRoman, kKanji, kPlane2, kKatakana };

    /// Like EucToSjis: at most `size` bytes to `out`, which may be `in` itself; a 0x8F-plane
    /// character without a Shift_JIS code becomes '?' and is added to `substitutions`.
    std::size_t Decode(const char* in, std::size_t size, char* out, std::size_t& written,
                       std::uint64_t& substitutions);
    /// Back to ASCII, shifted in: the state of a new decoder.
    void Reset() noexcept {
        mode_ = Mode::kAscii;
        shifted_out_ = false;
    }

private:
    Mode mode_ = Mode::kAscii;
    bool shifted_out_ = false;
};

}  // namespace tarselctl::jcode
