// Automation types shared by the control, its components and every host.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// Counted wide (UTF-16) string, as automation passes text.
using String = std::u16string;
/// 16-bit truth value: only True (-1) and False (0) are ever stored.
using Boolean = std::int16_t;
inline constexpr Boolean True = -1;
inline constexpr Boolean False = 0;
/// Signed 32-bit integer.
using Long = std::int32_t;
/// Signed 16-bit integer.
using Integer = std::int16_t;
/// Byte array crossing to the host in GetData / PutData, indexed from 0.
using ByteArray = std::vector<std::uint8_t>;
/// How a property's writer takes its value: text by reference, numbers and truth values by value.
template <class T>
using PropertyArg = std::conditional_t<std::is_class_v<T>, const T&, T>;

/// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
TARSEL_API std::string ToUtf8(std::u16string_view text);
/// UTF-8 to UTF-16 (malformed sequences become U+FFFD).
TARSEL_API String FromUtf8(std::string_view text);

/// The one error type raised to a host: number, source and description, no help file.
class TARSEL_API AutomationError : public std::runtime_error {
public:
    AutomationError(Long number, String source, String description);

    Long Number() const noexcept { return number_; }
    const String& Source() const noexcept { return source_; }
    const String& Description() const noexcept { return description_; }

private:
    Long number_;
    String source_;
    String description_;
};

}  // namespace tarselctl

TARSEL_API_END
