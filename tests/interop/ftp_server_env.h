// The real FTP servers that scripts/ftp-servers.sh runs on loopback, as its `env` command
// exports them: TARSEL_<NAME>_PORT, _HOST, _USER, _PASS, _ROOT, _UPLOAD for NAME VSFTPD,
// PUREFTPD, PROFTPD and PYFTPDLIB. A server without a port variable is not running, and a
// test that needs it calls GTEST_SKIP().
//
// What the servers allow (tests that write must keep to it):
// - vsftpd, proftpd: anonymous login (USER then 331, PASS); uploads, MKD, RNFR/RNTO, DELE and
//   RMD inside `upload`; the login root itself is read-only. vsftpd answers any other user
//   with 530.
// - pureftpd: anonymous login answered 230 straight after USER; a multi-line 220 greeting.
//   Anonymous users may upload new files and make directories in `upload`, but every
//   overwrite, DELE, RNFR and RMD is refused with 550: use a fresh name for each upload.
// - pyftpdlib: user tarsel/tarsel with full write access; anonymous is refused.
// `root` is the login root on this machine's disk, so a test may place its fixtures there
// directly (the tests run as the same user as the servers' start script); files must be
// world-readable for the anonymous servers to send them.
#pragma once

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

/// One running server and the login that works on it.
struct FtpServer {
    std::string name;    ///< "vsftpd", "pureftpd", "proftpd" or "pyftpdlib"
    std::string host;    ///< address to connect to (127.0.0.1)
    std::string port;    ///< control port, as text (the control's `port` property is text)
    std::string user;
    std::string pass;
    std::string root;    ///< local directory served as the login root "/"
    std::string upload;  ///< writable directory, relative to the login root
};

namespace ftp_server_env_detail {

inline std::string EnvOr(const std::string& name, const char* fallback) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::string(value) : std::string(fallback);
}

// Server names are matched ignoring case and dashes, so "pure-ftpd" finds "pureftpd".
inline std::string NameKey(const char* name) {
    std::string key;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p != '-' && *p != '_') key += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return key;
}

}  // namespace ftp_server_env_detail

/// A server that scripts/ftp-servers.sh runs: one of the four plain ones or one beside them ("vsftpd_tls",
/// "vsftpd_implicit", "proftpd_tls", "pureftpd_tls", "vsftpd_ipv6", "pyftpdlib_ipv6"), read
/// from TARSEL_<NAME>_*; std::nullopt when it is not running. `name` is its full name.
inline std::optional<FtpServer> FtpServerVariant(const std::string& name) {
    std::string prefix = "TARSEL_";
    for (char c : name) prefix += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    prefix += '_';
    const std::string port = ftp_server_env_detail::EnvOr(prefix + "PORT", "");
    if (port.empty()) return std::nullopt;
    FtpServer server;
    server.name = name;
    server.host = ftp_server_env_detail::EnvOr(prefix + "HOST", "127.0.0.1");
    server.port = port;
    server.user = ftp_server_env_detail::EnvOr(prefix + "USER", "anonymous");
    server.pass = ftp_server_env_detail::EnvOr(prefix + "PASS", "guest@");
    server.root = ftp_server_env_detail::EnvOr(prefix + "ROOT", "");
    server.upload = ftp_server_env_detail::EnvOr(prefix + "UPLOAD", "upload");
    return server;
}

/// Every server whose TARSEL_<NAME>_PORT is set and not empty, in a fixed order.
inline std::vector<FtpServer> AvailableFtpServers() {
    static const char* const kNames[] = {"vsftpd", "pureftpd", "proftpd", "pyftpdlib"};
    std::vector<FtpServer> servers;
    for (const char* name : kNames)
        if (std::optional<FtpServer> server = FtpServerVariant(name)) servers.push_back(*server);
    return servers;
}

/// The named server when it is running; std::nullopt otherwise.
inline std::optional<FtpServer> FtpServerNamed(const char* name) {
    const std::string key = ftp_server_env_detail::NameKey(name);
    for (FtpServer& server : AvailableFtpServers()) {
        if (server.name == key) return server;
    }
    return std::nullopt;
}
