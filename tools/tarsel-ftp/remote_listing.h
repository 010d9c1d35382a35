// The entries of a server's directory listing as mget and mirror read them, and which names
// may be created locally. Pure text processing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tarsel/listing.h>

namespace tarselftp {

/// One entry of a remote directory (name as UTF-8).
using RemoteEntry = tarselctl::ListingEntryUtf8;
using RemoteType = tarselctl::ListingEntryType;

/// One line of a listing the session asked for with MLSD (`mlsd`) or LIST, whose Unix or
/// MS-DOS form is told by its shape. `now` (seconds since 1970, UTC) dates the year-less
/// lines of ls. Empty for lines that name no child ("total", ".", "..", cdir, pdir).
std::optional<RemoteEntry> ParseRemoteListingLine(std::string_view line, bool mlsd, std::int64_t now);
/// Every line of a listing that reads as an entry, in order; the year of a date without one
/// is taken from the present. `unreadable`, where given, counts the lines that gave no entry
/// though they may name one (see NamesNoEntry).
std::vector<RemoteEntry> ParseRemoteListing(const std::vector<std::string>& lines, bool mlsd,
                                            std::size_t* unreadable = nullptr);

/// Whether a line that gave no entry names none for sure: blank, "total N", "." or "..",
/// MLSD's cdir and pdir. Any other such line could not be read, and may name a file.
bool NamesNoEntry(std::string_view line);

/// Whether a listed time is exact enough to compare with a local file's: MLSD's UTC seconds
/// are, the minutes or days of ls on the server's clock are not.
bool HasExactTime(const RemoteEntry& entry);

/// A name from a server that may be used as one local path component: not empty, not
/// "." or "..", no '/', no NUL, no other control characters (0x00-0x1F, 0x7F). Mirror
/// skips every other name, so a hostile listing cannot write outside the target dir.
bool IsSafeEntryName(std::string_view name);

/// The directory of a 257 reply's text: "/a ""b""" is the current directory -> /a "b".
std::optional<std::string> QuotedDirectory(std::string_view text);

}  // namespace tarselftp
