#include "ftp_url.h"

#include "ascii_case.h"

#include <cctype>

namespace tarselftp {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A NUL, CR or LF in a user name, password or path would end the command line it is sent
// in and start another one of the URL's choosing.
bool EndsACommandLine(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// Decodes %XX escapes. nullopt for a '%' without two hex digits after it, and for any byte,
// written raw or escaped, that would end a command line.
std::optional<std::string> PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (EndsACommandLine(c)) return std::nullopt;
        out += c;
    }
    return out;
}

bool IsHostNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Character(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

ParsedUrl Fail(std::string message) { return {std::nullopt, "ftp:// URL: " + std::move(message)}; }

}  // namespace

// Decimal digits 1-65535 without leading zeros in the result; nullopt otherwise.
std::optional<std::string> PortText(std::string_view port) {
    if (port.empty()) return std::nullopt;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return std::to_string(value);
}

HostAndPort SplitHostAndPort(std::string_view text) {
    HostAndPort out;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            out.error = "unterminated or empty [ in the host";
            return out;
        }
        out.host = std::string(text.substr(1, close - 1));
        const std::string_view after = text.substr(close + 1);
        if (after.empty()) return out;
        if (after.front() != ':' || !(out.port = PortText(after.substr(1)))) {
            out.host.clear();
            out.error = "the port after ] must be :1-65535";
        }
        return out;
    }
    const auto colon = text.find(':');
    // Two colons or more: an IPv6 address written without brackets, and no port.
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
        out.host = std::string(text);
        return out;
    }
    out.host = std::string(text.substr(0, colon));
    if (out.host.empty() || !(out.port = PortText(text.substr(colon + 1)))) {
        out.host.clear();
        out.error = "HOST:PORT needs a host and a port 1-65535";
    }
    return out;
}

ParsedUrl ParseFtpUrl(std::string_view text) {
    constexpr std::string_view kScheme = "ftp://";
    constexpr std::string_view kSecureScheme = "ftps://";
    bool implicitTls = false;
    if (text.size() >= kSecureScheme.size() && EqualsIgnoreCase(text.substr(0, kSecureScheme.size()), kSecureScheme)) {
        implicitTls = true;
        text.remove_prefix(kSecureScheme.size());
    } else if (text.size() >= kScheme.size() && EqualsIgnoreCase(text.substr(0, kScheme.size()), kScheme)) {
        text.remove_prefix(kScheme.size());
    } else {
        return {};
    }

    const auto slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    std::string_view rawPath =
        slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);

    FtpUrl url;
    url.implicitTls = implicitTls;
    // The last '@' ends the user part: a password with a raw '@' in it still parses.
    const auto at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        const auto colon = userInfo.find(':');
        const auto user = PercentDecode(userInfo.substr(0, colon));
        if (!user) return Fail("bad %-escape, NUL, CR or LF in the user name");
        url.user = *user;
        if (colon != std::string_view::npos) {
            const auto password = PercentDecode(userInfo.substr(colon + 1));
            if (!password) return Fail("bad %-escape, NUL, CR or LF in the password");
            url.password = *password;
        }
    }

    std::string_view host, port;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return Fail("unterminated [ in the host");
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return Fail("text after the ] of the host");
            hasPort = true;
            port = after.substr(1);
        }
        if (host.empty()) return Fail("no host");
        for (char c : host)
            if (!IsIpv6Character(c)) return Fail("bad character in the IPv6 address");
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            hasPort = true;
            port = authority.substr(colon + 1);
        }
        if (host.empty()) return Fail("no host");
        for (char c : host)
            if (!IsHostNameCharacter(c)) return Fail("bad character in the host");
    }
    url.host = std::string(host);

    // "host:" with nothing after the colon means the default port, as for http.
    if (hasPort && !port.empty()) {
        unsigned value = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return Fail("the port must be decimal digits");
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 65535) return Fail("the port must be 1-65535");
        }
        if (value == 0) return Fail("the port must be 1-65535");
        url.port = std::to_string(value);
    }
    if (implicitTls && !url.port) url.port = "990";

    // The type suffix is looked for before decoding: an escaped ";" is part of a name.
    if (rawPath.size() >= 7) {
        const std::string_view suffix = rawPath.substr(rawPath.size() - 7);
        if (EqualsIgnoreCase(suffix.substr(0, 6), ";type=") &&
            std::string_view("aidAID").find(suffix[6]) != std::string_view::npos)
            rawPath.remove_suffix(7);
    }
    const auto path = PercentDecode(rawPath);
    if (!path) return Fail("bad %-escape, NUL, CR or LF in the path");
    url.path = *path;
    return {std::move(url), {}};
}

std::string PercentEncode(std::string_view text, bool keepSlash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 && u < 0x80) out += c;
        else if (c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) out += c;
        else out += std::string{'%', kHex[u >> 4], kHex[u & 15]};
    }
    return out;
}

}  // namespace tarselftp
