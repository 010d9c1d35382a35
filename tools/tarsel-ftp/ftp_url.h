// ftp:// URLs given on tarsel-ftp's command line. Pure text processing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarselftp {

/// The parts of an ftp:// URL, decoded.
struct FtpUrl {
    /// Empty when the URL names no user.
    std::string user;
    /// Present (perhaps empty) when the URL has "USER:...@".
    std::optional<std::string> password;
    /// A name or address; an IPv6 address without its brackets.
    std::string host;
    /// Decimal digits of a port in 1-65535, without leading zeros.
    std::optional<std::string> port;
    std::string path;
    /// ftps://: TLS from the first byte (implicit), on port 990 unless the URL names one.
    bool implicitTls = false;
};

/// Result of ParseFtpUrl. Neither set: the text is no ftp:// URL.
struct ParsedUrl {
    std::optional<FtpUrl> url;
    /// What is wrong with an ftp:// URL. It never quotes the URL, which may hold a password.
    std::string error;
};

/// ftp://[USER[:PASSWORD]@]HOST[:PORT][/PATH]. Scheme case-insensitive; USER, PASSWORD and
/// PATH percent-decoded (a %00 or a decoded CR/LF is an error: it would smuggle a command);
/// HOST may be [IPv6] (brackets kept off in `host`); PORT 1-65535 digits only; `path` is the
/// decoded text after the first '/' after the authority (so "ftp://h/pub/x" -> "pub/x",
/// "ftp://h//abs" -> "/abs", "ftp://h" and "ftp://h/" -> ""); a trailing ";type=a|i|d" is
/// stripped. Anything not starting with "ftp://" -> url empty, error empty (not a URL).
ParsedUrl ParseFtpUrl(std::string_view text);

/// Text as a URL part: every byte but letters, digits and -._~ (and '/' with `keepSlash`)
/// written %XX.
std::string PercentEncode(std::string_view text, bool keepSlash = false);

/// A host as `open` takes it: "NAME", "NAME:PORT", "[IPv6]" or "[IPv6]:PORT" (a bare IPv6
/// address, with its colons, is a host without port). Empty on a malformed text, with
/// `error` saying why.
struct HostAndPort {
    std::string host;
    std::optional<std::string> port;
    std::string error;
};
HostAndPort SplitHostAndPort(std::string_view text);

}  // namespace tarselftp
