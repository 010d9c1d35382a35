// The user's ~/.netrc: the login and password stored for a host.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarselftp {

/// What a netrc file stores for one machine (or for `default`).
struct NetrcEntry {
    std::string login;
    std::optional<std::string> password;
    std::optional<std::string> account;
};

/// Pure: the entry for `host` in netrc text (tokens separated by blanks/newlines; machine,
/// default, login, password, account, macdef NAME skipped up to the next blank line;
/// quoted tokens "a b" allowed). When `login` is given, only an entry with that login
/// matches; `default` is used when no machine matches. nullopt when nothing matches.
/// Host names compare without regard to case. An entry that names no login matches any
/// `login` and is returned with that login filled in.
std::optional<NetrcEntry> FindNetrcEntry(std::string_view text, std::string_view host,
                                         std::optional<std::string_view> login);

/// Result of LookUpNetrc: an entry, nothing (no file, no match), or why the file was refused.
struct NetrcLookup {
    std::optional<NetrcEntry> entry;
    std::string error;
};

/// Reads the file (I/O here only): missing file -> {nullopt, ""}; a file that holds a
/// password (or account) for the chosen entry but can be read or written by group or
/// others, or is not owned by the user -> a "~/.netrc: permissions too open (chmod 600)"
/// style message and no entry, as the classic clients refuse it.
NetrcLookup LookUpNetrc(const std::string& path, std::string_view host,
                        std::optional<std::string_view> login);

}  // namespace tarselftp
