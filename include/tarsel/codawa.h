// The code conversion component: Shift_JIS, EUC-JP and JIS (ISO-2022-JP).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// Byte-text converter between Japanese codes. Byte text is std::string, one byte a character.
///
/// Receive-buffer contract: every conversion removes from its argument what it converted and
/// leaves there only a trailing incomplete character or escape sequence, which the next call
/// completes once the caller has appended more bytes. JIS decoding keeps its shift state in
/// the instance between calls. JIS output always ends a block in one-byte mode.
///
/// JIS output writes two-byte text after ESC $ B, half-width katakana as seven-bit bytes
/// after ESC ( I, the 0x8F plane of EUC after ESC $ ( D, and returns with ESC ( J. Every
/// two-byte Shift_JIS code, vendor and user-defined ones included, has its own EUC and JIS
/// code and converts back unchanged. Bytes that form no character are passed on unchanged.
class TARSEL_API Codawa {
public:
    virtual ~Codawa() = default;

    /// "SJIS" or "EUC": the source code of ToSjis. Anything else raises AutomationError 380
    /// (source "Codawa", description "Invalid Code Name").
    virtual void put_CodeName(const String& name) = 0;
    /// Component version; 205 or more.
    virtual Integer get_Version() const = 0;
    /// Returns the conversion state kept between calls to where a new instance starts: JIS
    /// decoding in one-byte mode and shifted in. CodeName stays as it was written. A stream
    /// that ends in the middle of its shift state (a cut-off transfer, a binary file read as
    /// JIS) would otherwise go on decoding the next, unrelated stream in that state.
    virtual void Reset() noexcept = 0;
    /// How many characters EucToSjis, JisToSjis and ToSjis wrote as '?' (JIS X 0212
    /// characters that Shift_JIS lacks) since construction or Reset. A converter that never
    /// writes '?' for a character may keep this default.
    virtual std::uint64_t Substitutions() const noexcept { return 0; }

    virtual std::string SjisToJis(std::string& text) = 0;
    /// From the CodeName code to Shift_JIS.
    virtual std::string ToSjis(std::string& text) = 0;
    virtual std::string SjisToEuc(std::string& text) = 0;
    virtual std::string EucToSjis(std::string& text) = 0;
    virtual std::string JisToSjis(std::string& text) = 0;
    /// UTF-16 text to Shift_JIS (CP932); unmappable characters become '?'.
    virtual std::string TextToSjis(String& text) = 0;
    /// UTF-16 text to EUC-JP by the same mapping as SjisToEuc.
    virtual std::string TextToEuc(String& text) = 0;
    /// Shift_JIS to Shift_JIS: passes complete characters, keeps a cut one for later.
    virtual std::string SjisToSjis(std::string& text) = 0;
};

/// The real converter.
TARSEL_API std::unique_ptr<Codawa> CreateCodawa();

}  // namespace tarselctl

TARSEL_API_END
