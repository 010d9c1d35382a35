#include "netrc_file.h"

#include "ascii_case.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace tarselftp {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Reads the netrc text token by token; a macro body is raw text, so it is skipped by lines.
class NetrcTokens {
public:
    explicit NetrcTokens(std::string_view text) : m_Text(text) {}

    /// The next token, unquoted; nullopt at the end of the text. A quoted token runs to its
    /// closing quote (\" and \\ inside), or to the end of the text when there is none.
    std::optional<std::string> Next() {
        while (m_Pos < m_Text.size() && IsBlank(m_Text[m_Pos])) ++m_Pos;
        if (m_Pos == m_Text.size()) return std::nullopt;
        std::string token;
        if (m_Text[m_Pos] == '"') {
            ++m_Pos;
            while (m_Pos < m_Text.size() && m_Text[m_Pos] != '"') {
                if (m_Text[m_Pos] == '\\' && m_Pos + 1 < m_Text.size()) ++m_Pos;
                token += m_Text[m_Pos++];
            }
            if (m_Pos < m_Text.size()) ++m_Pos;  // the closing quote
            return token;
        }
        while (m_Pos < m_Text.size() && !IsBlank(m_Text[m_Pos])) token += m_Text[m_Pos++];
        return token;
    }

    /// Skips the rest of the macdef line and the macro's lines up to and including the
    /// first empty line (or to the end of the text).
    void SkipMacroBody() {
        auto lineEnd = m_Text.find('\n', m_Pos);
        while (lineEnd != std::string_view::npos) {
            const std::size_t next = lineEnd + 1;
            std::size_t end = m_Text.find('\n', next);
            std::string_view line = m_Text.substr(next, end == std::string_view::npos ? end : end - next);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty()) {
                m_Pos = end == std::string_view::npos ? m_Text.size() : end + 1;
                return;
            }
            lineEnd = end;
        }
        m_Pos = m_Text.size();
    }

private:
    std::string_view m_Text;
    std::size_t m_Pos = 0;
};

struct ParsedEntry {
    bool isDefault = false;
    std::string machine;
    std::optional<std::string> login;
    NetrcEntry fields;
};

bool Matches(const ParsedEntry& entry, std::optional<std::string_view> login) {
    return !login || !entry.login || *entry.login == *login;
}

NetrcEntry Chosen(ParsedEntry entry, std::optional<std::string_view> login) {
    entry.fields.login = entry.login ? *entry.login : login ? std::string(*login) : std::string();
    return std::move(entry.fields);
}

}  // namespace

std::optional<NetrcEntry> FindNetrcEntry(std::string_view text, std::string_view host,
                                         std::optional<std::string_view> login) {
    NetrcTokens tokens(text);
    std::optional<ParsedEntry> current, fallback;
    // Ends the entry being read: the first machine entry that matches is the answer, and
    // the first matching default is kept in case none does.
    auto finish = [&]() -> bool {
        if (!current) return false;
        if (Matches(*current, login)) {
            if (!current->isDefault && EqualsIgnoreCase(current->machine, host)) return true;
            if (current->isDefault && !fallback) fallback = std::move(current);
        }
        current.reset();
        return false;
    };
    while (auto token = tokens.Next()) {
        if (*token == "machine" || *token == "default") {
            if (finish()) return Chosen(std::move(*current), login);
            current.emplace();
            if (*token == "default") {
                current->isDefault = true;
            } else {
                auto name = tokens.Next();
                if (!name) break;
                current->machine = std::move(*name);
            }
        } else if (*token == "macdef") {
            tokens.Next();  // the macro's name
            tokens.SkipMacroBody();
        } else if (*token == "login" || *token == "password" || *token == "account") {
            auto value = tokens.Next();
            if (!value) break;
            if (!current) continue;  // before the first machine: belongs to no entry
            if (*token == "login") current->login = std::move(*value);
            else if (*token == "password") current->fields.password = std::move(*value);
            else current->fields.account = std::move(*value);
        }
        // Any other word is ignored, as the classic clients do.
    }
    if (finish()) return Chosen(std::move(*current), login);
    if (fallback) return Chosen(std::move(*fallback), login);
    return std::nullopt;
}

NetrcLookup LookUpNetrc(const std::string& path, std::string_view host,
                        std::optional<std::string_view> login) {
    // A netrc is a few lines; a bigger file is no netrc, and is not read whole into memory.
    constexpr std::size_t kMaxSize = 1024 * 1024;
    // O_NONBLOCK: opening a FIFO for reading waits for a writer, which would hang the
    // program before it has done anything; the type check below then refuses it. On a
    // regular file the flag changes nothing.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        return {std::nullopt, path + ": " + std::strerror(errno)};
    }
    // Mode and owner are taken from the file that was opened, not from the path again.
    struct stat info {};
    std::string text;
    std::string error;
    if (::fstat(fd, &info) != 0) {
        error = path + ": " + std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file; it is not read";
    } else if (static_cast<std::uint64_t>(info.st_size) > kMaxSize) {
        error = path + ": too large for a netrc file";
    } else {
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = path + ": " + std::strerror(errno);
                break;
            }
            if (n == 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > kMaxSize) {
                error = path + ": too large for a netrc file";
                break;
            }
        }
    }
    ::close(fd);
    if (!error.empty()) return {std::nullopt, error};

    auto entry = FindNetrcEntry(text, host, login);
    if (!entry) return {};
    // A secret in a file others can read or change is refused, as the classic clients do;
    // a login alone is no secret.
    if (entry->password || entry->account) {
        if (info.st_uid != ::geteuid())
            return {std::nullopt, path + ": not owned by you (chown it, chmod 600)"};
        if (info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH))
            return {std::nullopt, path + ": permissions too open (chmod 600)"};
    }
    return {std::move(entry), {}};
}

}  // namespace tarselftp
