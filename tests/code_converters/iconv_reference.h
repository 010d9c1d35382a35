// The C library's iconv(3) as the reference the converters are checked against.
#pragma once

#include <iconv.h>

#include <optional>
#include <string>
#include <string_view>

namespace tarselctl::testing {

/// `input` converted from `from` to `to` in one go; nullopt when iconv rejects any of it.
inline std::optional<std::string> Iconv(const char* to, const char* from, std::string_view input) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out(input.size() * 4 + 16, '\0');
    char* in_ptr = const_cast<char*>(input.data());
    std::size_t in_left = input.size();
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    bool ok = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<std::size_t>(-1) &&
              in_left == 0 && iconv(cd, nullptr, nullptr, &out_ptr, &out_left) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - out_left);
    return out;
}

/// Two bytes of a code written big-endian.
inline std::string Code(unsigned code) {
    return code > 0xFF ? std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)}
                       : std::string(1, static_cast<char>(code));
}

/// Every well-formed two-byte Shift_JIS code: leads 81-9F, E0-FC; trails 40-7E, 80-FC.
template <typename F>
void ForEachSjisPair(F f) {
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead > 0x9F && lead < 0xE0) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail != 0x7F) f(lead << 8 | trail);
        }
    }
}

}  // namespace tarselctl::testing
