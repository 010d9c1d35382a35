// Lines of a server's directory listing, as mirror and mget read them. Pure text processing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarselftp {

/// One entry of a remote directory.
struct RemoteEntry {
    enum class Kind { File, Directory, Link, Other };
    std::string name;
    Kind kind = Kind::Other;
    /// Absent when the line gives none, or one too large for 64 bits.
    std::optional<std::uint64_t> size;
};

/// One line of a Unix `ls -l` style LIST reply (vsftpd, proftpd, pure-ftpd, pyftpdlib
/// formats; with or without the group column; "HH:MM" or year; names with spaces; links
/// "name -> target" give name only). nullopt for "total N", blank and unreadable lines, and
/// for the "." and ".." entries of `ls -la` style listings, which name no child.
std::optional<RemoteEntry> ParseUnixListLine(std::string_view line);

/// One MLSD line: "fact=value;fact=value; name" (facts case-insensitive; type=file|dir|
/// cdir|pdir|OS.unix=slink...; size=N). cdir/pdir entries -> nullopt.
std::optional<RemoteEntry> ParseMlsdLine(std::string_view line);

/// A name from a server that may be used as one local path component: not empty, not
/// "." or "..", no '/', no NUL, no other control characters (0x00-0x1F, 0x7F). Mirror
/// skips every other name, so a hostile listing cannot write outside the target dir.
bool IsSafeEntryName(std::string_view name);

}  // namespace tarselftp
