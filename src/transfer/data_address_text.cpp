#include "transfer/data_address_text.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

namespace tarselctl {

namespace {
String Decimal(long long value) { return FromUtf8(std::to_string(value)); }

// A field of a PASV reply as a signed 16-bit number: blanks around the digits are allowed,
// anything else makes the address unusable.
std::optional<std::int16_t> PasvField(const String& field) {
    std::size_t begin = field.find_first_not_of(u' ');
    if (begin == String::npos) return std::nullopt;
    std::size_t end = field.find_last_not_of(u' ') + 1;
    std::string narrow;
    for (std::size_t i = begin; i < end; ++i) {
        char16_t c = field[i];
        if (!((c >= u'0' && c <= u'9') || (i == begin && (c == u'-' || c == u'+')))) return std::nullopt;
        if (c != u'+') narrow += static_cast<char>(c);
    }
    int value = 0;
    auto [ptr, ec] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (ec != std::errc() || ptr != narrow.data() + narrow.size()) return std::nullopt;
    if (value < INT16_MIN || value > INT16_MAX) return std::nullopt;
    return static_cast<std::int16_t>(value);
}
}  // namespace

String HexToDecimal(const String& hex) {
    std::uint32_t value = 0;
    for (char16_t c : hex) {
        int digit = c >= u'0' && c <= u'9' ? c - u'0'
                  : c >= u'A' && c <= u'F' ? c - u'A' + 10
                  : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
        if (digit < 0) break;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return Decimal(static_cast<std::int16_t>(static_cast<std::uint16_t>(value)));
}

String BuildPortArgument(Long address, Long port) {
    static const char digits[] = "0123456789ABCDEF";
    auto hex = [](std::uint32_t v, int width) {
        String s(static_cast<std::size_t>(width), u'0');
        for (int i = width - 1; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = static_cast<char16_t>(digits[v & 15]);
        return s;
    };
    const String a = hex(static_cast<std::uint32_t>(address), 8);
    const String p = hex(static_cast<std::uint32_t>(port) & 0xFFFF, 4);
    return HexToDecimal(a.substr(0, 2)) + u"," + HexToDecimal(a.substr(2, 2)) + u"," +
           HexToDecimal(a.substr(4, 2)) + u"," + HexToDecimal(a.substr(6, 2)) + u"," +
           HexToDecimal(p.substr(0, 2)) + u"," + HexToDecimal(p.substr(2, 2));
}

void ParsePasvReply(const String& reply, String& host, String& port) {
    host.clear();
    port.clear();
    const std::size_t open = reply.find(u'(');
    if (open == String::npos) return;
    const std::size_t close = reply.find(u')', open + 1);
    if (close == String::npos) return;
    const String inner = reply.substr(open + 1, close - open - 1) + u",";
    std::int16_t fields[6];
    std::size_t start = 0;
    for (std::int16_t& field : fields) {
        const std::size_t comma = inner.find(u',', start);
        if (comma == String::npos) return;
        auto value = PasvField(inner.substr(start, comma - start));
        if (!value) return;
        field = *value;
        start = comma + 1;
    }
    // An address octet or a port byte outside 0-255 is no address. Passed on, such a host
    // text would reach the name resolver as a name the server chose.
    for (std::int16_t field : fields)
        if (field < 0 || field > 255) return;
    host = Decimal(fields[0]) + u"." + Decimal(fields[1]) + u"." + Decimal(fields[2]) + u"." +
           Decimal(fields[3]);
    const std::int32_t number = static_cast<std::int32_t>(fields[4]) * 256 + fields[5];
    // Written as a number with room for its sign: a blank in front of a positive port.
    port = (number >= 0 ? String(u" ") : String()) + Decimal(number);
}

// "229 Entering Extended Passive Mode (|||6446|)": the character after the parenthesis is
// the delimiter, three of them stand before the port and one after it. Only the port is
// taken; the address is the control connection's peer, so a server cannot send the data
// connection anywhere else.
String ParseEpsvReply(const String& reply) {
    const std::size_t open = reply.find(u'(');
    if (open == String::npos || open + 5 > reply.size()) return String();
    const char16_t d = reply[open + 1];
    if (d < 33 || d > 126 || (d >= u'0' && d <= u'9')) return String();
    if (reply[open + 2] != d || reply[open + 3] != d) return String();
    std::size_t i = open + 4;
    std::uint32_t port = 0;
    std::size_t digits = 0;
    for (; i < reply.size() && reply[i] >= u'0' && reply[i] <= u'9' && digits < 6; ++i, ++digits)
        port = port * 10 + static_cast<std::uint32_t>(reply[i] - u'0');
    if (digits == 0 || digits > 5 || i + 1 >= reply.size() || reply[i] != d ||
        reply[i + 1] != u')' || port == 0 || port > 65535)
        return String();
    return Decimal(port);
}

String BuildEprtArgument(const String& host, Long port) {
    // A scope ("fe80::1%eth0") means something only on this host.
    const String address = host.substr(0, host.find(u'%'));
    const bool v6 = address.find(u':') != String::npos;
    return String(v6 ? u"|2|" : u"|1|") + address + u"|" + Decimal(port) + u"|";
}

}  // namespace tarselctl
