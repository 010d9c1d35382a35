// The text settings the control acts on, as typed values. Text exists only where a property is
// read or written: the writers parse it, the getters and the saved settings spell it.
#pragma once

#include <cstdint>

#include <tarsel/types.h>

namespace tarselctl {

/// The server's code for file contents (FileCode).
enum class FileCode : std::uint8_t { Bin, Jis, Sjis, Euc, Utf8, Unknown };
/// The server's code for command and reply text (SysCode).
enum class SysCode : std::uint8_t { Sjis, Euc, Utf8, Unknown };
/// The host's code for text (HostCode).
enum class HostCode : std::uint8_t { Sjis, Utf8, Unknown };
/// TLS on the control connection (TlsMode): none, AUTH TLS after the greeting, or from the start.
enum class TlsMode : std::uint8_t { None, Explicit, Implicit, Unknown };
/// The listing command of Dir (DirCommand).
enum class DirCommand : std::uint8_t { List, Mlsd, Unknown };

/// The stored spelling of each value ("" for Unknown, whose text the setting keeps itself).
const String& SettingText(FileCode value);
const String& SettingText(SysCode value);
const String& SettingText(HostCode value);
const String& SettingText(TlsMode value);
const String& SettingText(DirCommand value);

/// One typed setting. A stored text that no writer understands is loaded as it stands (value
/// Unknown) so that a save writes it back unchanged; Connect refuses it.
template <class E>
class TextSetting {
public:
    explicit TextSetting(E value) : value_(value) {}
    E Get() const { return value_; }
    void Set(E value) {
        value_ = value;
        unknown_.clear();
    }
    /// The stored text as it was read; the property's writer runs next and types it if it can.
    TextSetting& operator=(const String& stored) {
        value_ = E::Unknown;
        unknown_ = stored;
        return *this;
    }
    const String& Text() const { return value_ == E::Unknown ? unknown_ : SettingText(value_); }
    operator const String&() const { return Text(); }
    bool operator==(E value) const { return value_ == value; }

private:
    E value_;
    String unknown_;
};

}  // namespace tarselctl
